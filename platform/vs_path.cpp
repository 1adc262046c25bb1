// Path text handling shared by every system: copies, absolute names and the
// name matching of the directory search.
#include "vs_internal.h"

#include <cstring>

namespace vs_internal {

static inline bool IsSep(VS_CHAR c)
{
    return c == '/' || c == '\\';
}

bool CopyWhole(VS_CHAR *Dst, size_t Size, const VS_CHAR *Src)
{
    if (Dst == nullptr || Src == nullptr || Size == 0)
        return false;
    size_t Len = strlen(Src);
    if (Len >= Size)
        return false;
    memcpy(Dst, Src, Len + 1);
    return true;
}

bool PathCopy(const VS_CHAR *Name, VS_CHAR *Out)
{
    if (!CopyWhole(Out, VS_MAX_PATH, Name))
        return false;
    vs_file_namechange(Out, kOtherSep, kPathSep);
    return true;
}

// Removes the last component of Work (and the separators before it); the
// root of an absolute path stays.
static void DropLastComponent(VS_CHAR *Work)
{
    size_t Len = strlen(Work);
    while (Len > 1 && IsSep(Work[Len - 1]))
        Len--;
    while (Len > 0 && !IsSep(Work[Len - 1]))
        Len--;
    while (Len > 1 && IsSep(Work[Len - 1]))
        Len--;
    Work[Len] = 0;
}

bool BuildFullName(const VS_CHAR *Base, const VS_CHAR *Path, VS_CHAR *Out)
{
    if (Base == nullptr || Path == nullptr || vs_dir_isfullname(Path))
        return false;
    VS_CHAR Work[VS_MAX_PATH];
    if (!CopyWhole(Work, sizeof(Work), Base))
        return false;
    if (strcmp(Path, ".") == 0)
        return CopyWhole(Out, VS_MAX_PATH, Work);

    const VS_CHAR *Rest = Path;
    for (;;) {
        if (Rest[0] == '.' && Rest[1] == '.' && (Rest[2] == 0 || IsSep(Rest[2]))) {
            DropLastComponent(Work);
            Rest += Rest[2] == 0 ? 2 : 3;
        } else if (Rest[0] == '.' && IsSep(Rest[1])) {
            size_t Len = strlen(Work);
            if (Len > 1 && IsSep(Work[Len - 1]))
                Work[Len - 1] = 0;
            Rest += 2;
        } else {
            break;
        }
    }
    if (IsSep(Rest[0]))
        return false;

    size_t Len = strlen(Work);
    size_t RestLen = strlen(Rest);
    bool AddSep = Len > 0 && !IsSep(Work[Len - 1]);
    if (Len + (AddSep ? 1 : 0) + RestLen >= VS_MAX_PATH)
        return false;
    if (AddSep)
        Work[Len++] = kPathSep;
    memcpy(Work + Len, Rest, RestLen + 1);
    return CopyWhole(Out, VS_MAX_PATH, Work);
}

bool FindSplitPattern(const VS_CHAR *FilePattern, VS_FINDDATA *Record)
{
    const VS_CHAR *Dot = strrchr(FilePattern, '.');
    size_t NameLen = Dot ? (size_t)(Dot - FilePattern) : strlen(FilePattern);
    if (NameLen >= VS_MAX_PATH)
        return false;
    memcpy(Record->NamePattern, FilePattern, NameLen);
    Record->NamePattern[NameLen] = 0;
    if (Dot) {
        if (!CopyWhole(Record->ExtPattern, VS_MAX_PATH, Dot + 1))
            return false;
    } else {
        Record->ExtPattern[0] = 0;
    }
    Record->AnyName = strcmp(Record->NamePattern, "*") == 0;
    Record->AnyExt = strcmp(Record->ExtPattern, "*") == 0;
    return true;
}

static bool EqualNoCase(const VS_CHAR *a, const VS_CHAR *b)
{
    for (;; a++, b++) {
        unsigned char ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z')
            ca = (unsigned char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z')
            cb = (unsigned char)(cb - 'A' + 'a');
        if (ca != cb)
            return false;
        if (ca == 0)
            return true;
    }
}

static bool NameMatches(const VS_CHAR *Pattern, const VS_CHAR *Name, size_t NameLen)
{
    for (size_t i = 0;; i++) {
        if (Pattern[i] == '*')
            return i < NameLen; // at least one character stands in its place
        VS_CHAR c = i < NameLen ? Name[i] : 0;
        if (Pattern[i] != c)
            return false;
        if (c == 0)
            return true;
    }
}

bool FindMatch(const VS_FINDDATA *Pattern, const VS_CHAR *EntryName)
{
    const VS_CHAR *Dot = strrchr(EntryName, '.');
    size_t NameLen = Dot ? (size_t)(Dot - EntryName) : strlen(EntryName);

    if (!Pattern->AnyName && !NameMatches(Pattern->NamePattern, EntryName, NameLen))
        return false;

    if (Pattern->AnyExt)
        return true;
    if (Pattern->ExtPattern[0] == 0) {
        if (Dot == nullptr)
            return true;
        return Pattern->AnyName && Dot[1] == 0;
    }
    return Dot != nullptr && EqualNoCase(Dot + 1, Pattern->ExtPattern);
}

} // namespace vs_internal

extern "C" {

VS_BOOL vs_dir_isfullname(const VS_CHAR *Name)
{
    if (Name == nullptr)
        return VS_FALSE;
    if (Name[0] == '/' || Name[0] == '\\')
        return VS_TRUE;
    return strchr(Name, ':') != nullptr ? VS_TRUE : VS_FALSE;
}

void vs_dir_toroot(VS_CHAR *Path)
{
    if (Path == nullptr || Path[0] == 0)
        return;
    Path[1] = 0;
}

} // extern "C"
