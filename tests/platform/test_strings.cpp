// String functions: missing arguments, bounded formatting and ASCII-only
// case folding.
#include "vs_platform.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

TEST(VsString, StrlenAndStrcmpTreatNullAsMissing)
{
    EXPECT_EQ(vs_string_strlen(nullptr), 0);
    EXPECT_EQ(vs_string_strlen(""), 0);
    EXPECT_EQ(vs_string_strlen("abc"), 3);

    struct {
        const char *a, *b;
        int sign;
    } Cases[] = {
        {nullptr, nullptr, -1}, {nullptr, "x", -1}, {"x", nullptr, 1}, {"a", "a", 0},
        {"a", "b", -1},         {"b", "a", 1},      {"", "", 0},        {"ab", "a", 1},
    };
    for (auto &c : Cases) {
        int r = vs_string_strcmp(c.a, c.b);
        int sign = r < 0 ? -1 : (r > 0 ? 1 : 0);
        EXPECT_EQ(sign, c.sign) << (c.a ? c.a : "NULL") << " vs " << (c.b ? c.b : "NULL");
    }
}

TEST(VsString, SnprintfAlwaysTerminatesAndReturnsFullLength)
{
    char Buf[8];
    memset(Buf, 'x', sizeof(Buf));
    EXPECT_EQ(vs_string_snprintf(Buf, sizeof(Buf), "%s-%d", "abcdef", 12345), 12);
    EXPECT_STREQ(Buf, "abcdef-");

    memset(Buf, 'x', sizeof(Buf));
    EXPECT_EQ(vs_string_snprintf(Buf, 0, "%d", 42), 2);
    EXPECT_EQ(Buf[0], 'x') << "size 0 writes nothing";

    // A negative size must not reach the C library as a huge one.
    EXPECT_EQ(vs_string_snprintf(Buf, -5, "%s", "hello"), 5);
    EXPECT_EQ(Buf[0], 'x');

    EXPECT_EQ(vs_string_snprintf(nullptr, 100, "%d", 7), 1);
    EXPECT_EQ(vs_string_snprintf(Buf, sizeof(Buf), nullptr), -1);
    EXPECT_EQ(Buf[0], 0);

    std::string Big(20000, 'y');
    char Large[10240];
    EXPECT_EQ(vs_string_snprintf(Large, sizeof(Large), "%s", Big.c_str()), 20000);
    EXPECT_EQ(strlen(Large), sizeof(Large) - 1);
}

TEST(VsString, StristrFoldsOnlyAsciiLetters)
{
    const char *s = "Hello World.TXT";
    struct {
        const char *s, *t;
        int offset; // -1 = NULL
    } Cases[] = {
        {s, "world", 6}, {s, "WORLD", 6}, {s, ".txt", 11}, {s, "", 0},       {s, "worlds", -1},
        {"", "", -1},    {"", "a", -1},   {nullptr, "a", -1}, {s, nullptr, -1}, {"aaab", "AAB", 1},
        {"\xC4x", "\xE4x", -1}, // bytes outside A-Z compare exactly
    };
    for (auto &c : Cases) {
        char *r = vs_string_stristr(c.s, c.t);
        if (c.offset < 0)
            EXPECT_EQ(r, nullptr) << (c.t ? c.t : "NULL");
        else
            EXPECT_EQ(r, c.s + c.offset) << c.t;
    }
}

TEST(VsString, FileStrchrTreatsBothSeparatorsAlike)
{
    const char *p = "a\\b/c\\d.e.f";
    EXPECT_EQ(vs_file_strchr(p, '/'), p + 1);
    EXPECT_EQ(vs_file_strchr(p, '\\'), p + 1);
    EXPECT_EQ(vs_file_strrchr(p, '/'), p + 5);
    EXPECT_EQ(vs_file_strrchr(p, '\\'), p + 5);
    EXPECT_EQ(vs_file_strchr(p, '.'), p + 7);
    EXPECT_EQ(vs_file_strrchr(p, '.'), p + 9);
    EXPECT_EQ(vs_file_strchr(p, 'z'), nullptr);
    EXPECT_EQ(vs_file_strchr(nullptr, '/'), nullptr);
    EXPECT_EQ(vs_file_strrchr(nullptr, 'a'), nullptr);

    char Name[] = "x\\y\\z";
    vs_file_namechange(Name, '\\', '/');
    EXPECT_STREQ(Name, "x/y/z");
    vs_file_namechange(nullptr, 'a', 'b');
}

TEST(VsString, MemsetMemcpyAndAtoi)
{
    unsigned char Buf[16];
    memset(Buf, 0, sizeof(Buf));
    vs_memset(Buf, 0x1AB, 4);
    EXPECT_EQ(Buf[0], 0xAB);
    EXPECT_EQ(Buf[3], 0xAB);
    EXPECT_EQ(Buf[4], 0);
    vs_memset(Buf, 0xFF, 0);
    vs_memset(Buf, 0xFF, -3);
    vs_memset(nullptr, 0, 10);
    EXPECT_EQ(Buf[0], 0xAB);

    alignas(8) unsigned char Src[24], Dst[24];
    for (int i = 0; i < 24; i++)
        Src[i] = (unsigned char)i;
    for (int Offset : {0, 1, 3}) { // aligned and unaligned paths
        memset(Dst, 0, sizeof(Dst));
        vs_memcpy(Dst + Offset, Src, 16);
        EXPECT_EQ(memcmp(Dst + Offset, Src, 16), 0) << Offset;
        EXPECT_EQ(Dst[Offset + 16], 0);
    }

    struct {
        const char *s;
        VS_INT64 v;
    } Cases[] = {{"42", 42}, {"-17x", -17}, {"  9000000000", 9000000000LL}, {"abc", 0}, {nullptr, 0}};
    for (auto &c : Cases)
        EXPECT_EQ(vs_atoi(c.s), c.v) << (c.s ? c.s : "NULL");
}

TEST(VsString, Htonl64SwapsEachHalfInPlace)
{
    EXPECT_EQ(vs_htonl64(0x0102030405060708ULL), 0x0403020108070605ULL);
    EXPECT_EQ(vs_ntohl64(0x0102030405060708ULL), 0x0403020108070605ULL);
    EXPECT_EQ(vs_ntohl64(vs_htonl64(0xDEADBEEFCAFEF00DULL)), 0xDEADBEEFCAFEF00DULL);
    EXPECT_EQ(vs_htonl64(0), 0u);
}
