// Where every template attribute lies in its record, one line each. Built
// natively it writes the table (--write FILE); built for Windows and given
// that file, it checks that the DLL lays out every record the same way (the
// host lays the records out from the same templates on either system).
#include "trelk_records.h"

#include <cstddef>
#include <cstdio>
#include <string>

// Derived records are not standard-layout; GCC lays them out as plain C
// structs all the same.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include "trelk_layout_fields.h" // the field table of tests/layout, extracted by the build

static_assert(offsetof(StructOfQZDataInputContainer, DataQueue) == 64, "DataQueue must lie at offset 64");

static std::string Table()
{
    std::string Out;
    char Line[256];
#define TRELK_DUMP_ROW(Cls, Attr, Member)                                                                    \
    snprintf(Line, sizeof(Line), "%s.%s %zu %zu\n", #Cls, #Attr, offsetof(StructOf##Cls, Member),          \
             sizeof(static_cast<StructOf##Cls *>(nullptr)->Member));                                         \
    Out += Line;
    TRELK_LAYOUT_FIELDS(TRELK_DUMP_ROW)
#undef TRELK_DUMP_ROW
    return Out;
}

int main(int argc, char **argv)
{
    std::string Mine = Table();
    if (argc == 3 && std::string(argv[1]) == "--write") {
        FILE *Out = fopen(argv[2], "wb");
        if (Out == nullptr || fwrite(Mine.data(), 1, Mine.size(), Out) != Mine.size()) {
            fprintf(stderr, "cannot write %s\n", argv[2]);
            return 2;
        }
        return fclose(Out) == 0 ? 0 : 2;
    }
    if (argc != 2) {
        fprintf(stderr, "usage: %s --write FILE | %s FILE\n", argv[0], argv[0]);
        return 2;
    }
    FILE *f = fopen(argv[1], "rb");
    if (f == nullptr) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    std::string Expected;
    char Buf[4096];
    size_t n;
    while ((n = fread(Buf, 1, sizeof(Buf), f)) > 0)
        Expected.append(Buf, n);
    fclose(f);
    if (Expected == Mine) {
        printf("%zu bytes of layout agree\n", Mine.size());
        return 0;
    }
    fprintf(stderr, "record layouts differ\n--- native\n%s--- this build\n%s", Expected.c_str(), Mine.c_str());
    return 1;
}
