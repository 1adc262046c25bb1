// Files, directories and directory search: the parts that read the same on
// every system. The per-system sources supply the stat, the existence test
// and the stepping of a directory search.
#include "vs_internal.h"

#include <cstring>

namespace vs_internal {

bool CopyStream(FILE *In, FILE *Out)
{
    bool Ok = true;
    char Buf[1024];
    for (;;) {
        size_t n = fread(Buf, 1, sizeof(Buf), In);
        if (n == 0)
            break;
        if (fwrite(Buf, 1, n, Out) != n) {
            Ok = false;
            break;
        }
    }
    if (ferror(In))
        Ok = false;
    fclose(In);
    if (fclose(Out) != 0)
        Ok = false;
    return Ok;
}

} // namespace vs_internal

using vs_internal::PathCopy;
using vs_internal::StatRaw;

extern "C" {

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

VS_INT32 vs_fs_errno_get()
{
    return VS_FS_ERRNO;
}

VS_INT32 vs_file_stat(const VS_CHAR *Name, VS_STATBUF *Info)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return VS_FS_ERRNO;
    return StatRaw(Path, Info);
}

VS_BOOL vs_file_exist(const VS_CHAR *Name)
{
    return vs_file_stat(Name, nullptr) == 0 ? VS_TRUE : VS_FALSE;
}

VS_INT32 _vs_file_stat(const VS_CHAR *Name, VS_STATBUF *Info)
{
    return StatRaw(Name, Info);
}

VS_BOOL _vs_file_exist(const VS_CHAR *Name)
{
    return StatRaw(Name, nullptr) == 0 ? VS_TRUE : VS_FALSE;
}

VS_ULONG vs_file_size(const VS_CHAR *Name)
{
    if (Name == nullptr)
        return (VS_ULONG)-1;
    VS_STATBUF Info;
    if (vs_file_stat(Name, &Info) != 0)
        return 0;
    return Info.Size;
}

FILE *vs_file_fopenex(const VS_CHAR *Name, const VS_CHAR *Mode, VS_ULONG Permission)
{
    if (Name == nullptr || Mode == nullptr)
        return nullptr;
    while (*Name == ' ' || *Name == '\t')
        Name++;
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return nullptr;
    if (!vs_internal::Exists(Path) && (strchr(Mode, 'a') != nullptr || strchr(Mode, 'w') != nullptr)) {
        FILE *f = fopen(Path, "a");
        if (f == nullptr)
            return nullptr;
        fclose(f);
        vs_file_chmod(Path, Permission);
    }
    return fopen(Path, Mode);
}

FILE *vs_file_fopen(const VS_CHAR *Name, const VS_CHAR *Mode)
{
    return vs_file_fopenex(Name, Mode, 0777);
}

void vs_file_log(const VS_CHAR *Name, const VS_CHAR *Format, ...)
{
    if (Name == nullptr || Format == nullptr)
        return;
    FILE *f = vs_file_fopen(Name, vs_file_exist(Name) ? "a" : "wt");
    if (f == nullptr)
        return;
    va_list Args;
    va_start(Args, Format);
    vfprintf(f, Format, Args);
    va_end(Args);
    fclose(f);
}

// ---------------------------------------------------------------------------
// Directories and paths
// ---------------------------------------------------------------------------

VS_BOOL vs_dir_create(const VS_CHAR *Name)
{
    return vs_dir_createex(Name, 0777);
}

void vs_dir_tofullnameex(const VS_CHAR *Base, VS_CHAR *Path, VS_INT32 Size)
{
    if (Path == nullptr || Size <= 0 || vs_dir_isfullname(Path))
        return;
    VS_CHAR Cwd[VS_MAX_PATH];
    if (Base == nullptr || Base[0] == 0) {
        if (!vs_dir_getcwd(Cwd, sizeof(Cwd)))
            return;
        Base = Cwd;
    }
    VS_CHAR Full[VS_MAX_PATH];
    if (!vs_internal::BuildFullName(Base, Path, Full))
        return;
    // A result that does not fit leaves the path as it was rather than cut.
    vs_internal::CopyWhole(Path, (size_t)Size, Full);
}

void vs_dir_tofullname(VS_CHAR *Path, VS_INT32 Size)
{
    vs_dir_tofullnameex(nullptr, Path, Size);
}

// ---------------------------------------------------------------------------
// Directory search
// ---------------------------------------------------------------------------

VS_BOOL vs_file_findnext(VS_FINDHANDLE Handle, VS_FINDDATA *Record)
{
    if (Handle == nullptr || Handle == VS_INVALID_FINDHANDLE || Record == nullptr)
        return VS_FALSE;
    return vs_internal::FindAdvance(Handle, Record) ? VS_TRUE : VS_FALSE;
}

} // extern "C"
