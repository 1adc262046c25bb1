// Files, directories and directory search for Linux.
#include "vs_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using vs_internal::Exists;
using vs_internal::FindAdvance;
using vs_internal::PathCopy;

VS_INT32 vs_internal::StatRaw(const VS_CHAR *Name, VS_STATBUF *Info)
{
    if (Name == nullptr)
        return VS_FS_ERRNO;
    struct stat St;
    if (stat(Name, &St) != 0)
        return VS_FS_ERRNO;
    if (Info != nullptr) {
        Info->Mode = (VS_UINT16)St.st_mode;
        Info->Size = (VS_ULONG)(VS_UWORD)St.st_size;
        Info->ATime = (VS_INT64)St.st_atime;
        Info->MTime = (VS_INT64)St.st_mtime;
        Info->CTime = (VS_INT64)St.st_ctime;
    }
    return 0;
}

bool vs_internal::Exists(const VS_CHAR *Path)
{
    struct stat St;
    return stat(Path, &St) == 0;
}

extern "C" {

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

VS_BOOL vs_file_isdir(const VS_CHAR *Name)
{
    VS_STATBUF Info;
    if (vs_file_stat(Name, &Info) != 0)
        return VS_FALSE;
    return S_ISDIR(Info.Mode) ? VS_TRUE : VS_FALSE;
}

VS_INT32 vs_file_delete(const VS_CHAR *Name)
{
    if (Name == nullptr)
        return -1;
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return VS_FS_ERRNO;
    if (!Exists(Path))
        return -1;
    return unlink(Path) == 0 ? 0 : VS_FS_ERRNO;
}

VS_INT32 vs_file_rename(const VS_CHAR *OldName, const VS_CHAR *NewName)
{
    VS_CHAR OldPath[VS_MAX_PATH], NewPath[VS_MAX_PATH];
    if (!PathCopy(OldName, OldPath) || !PathCopy(NewName, NewPath))
        return -1;
    return rename(OldPath, NewPath) == 0 ? 0 : -1;
}

VS_BOOL vs_file_chmod(const VS_CHAR *Name, VS_ULONG Mode)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return VS_FALSE;
    return chmod(Path, (mode_t)(Mode & 0xFFFF)) == 0 ? VS_TRUE : VS_FALSE;
}

VS_INT32 vs_file_settime(const VS_CHAR *Name, VS_ULONG AccessTime, VS_ULONG ModifyTime)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return -1;
    struct timeval Times[2];
    Times[0].tv_sec = (time_t)AccessTime;
    Times[0].tv_usec = 0;
    Times[1].tv_sec = (time_t)ModifyTime;
    Times[1].tv_usec = 0;
    return utimes(Path, Times) == 0 ? 0 : -1;
}

VS_INT32 vs_file_copy(const VS_CHAR *From, const VS_CHAR *To)
{
    VS_CHAR FromPath[VS_MAX_PATH], ToPath[VS_MAX_PATH];
    if (!PathCopy(From, FromPath) || !PathCopy(To, ToPath))
        return -1;
    struct stat FromSt, ToSt;
    if (stat(FromPath, &FromSt) != 0)
        return -1;
    // Opening the target for writing would empty the source when both name
    // the same file.
    if (stat(ToPath, &ToSt) == 0 && ToSt.st_dev == FromSt.st_dev && ToSt.st_ino == FromSt.st_ino)
        return -1;
    FILE *In = vs_file_fopen(FromPath, "rb");
    if (In == nullptr)
        return -1;
    FILE *Out = vs_file_fopen(ToPath, "wb");
    if (Out == nullptr) {
        fclose(In);
        return -1;
    }
    if (!vs_internal::CopyStream(In, Out)) {
        // A cut copy must not pass for a whole one; only a plain file is
        // removed (never a device, pipe or link that the caller named).
        struct stat Left;
        if (lstat(ToPath, &Left) == 0 && S_ISREG(Left.st_mode))
            unlink(ToPath);
        return -1;
    }
    chmod(ToPath, FromSt.st_mode & 07777);
    return 0;
}

// ---------------------------------------------------------------------------
// Directories and paths
// ---------------------------------------------------------------------------

// Path is a private, converted copy that may be cut in place.
static bool CreateDir(VS_CHAR *Path, mode_t Mode)
{
    if (Exists(Path))
        return true;
    if (mkdir(Path, Mode) != 0) {
        VS_CHAR *Slash = strrchr(Path, '/');
        if (Slash == nullptr)
            return false;
        VS_CHAR Parent[VS_MAX_PATH];
        size_t Len = (size_t)(Slash - Path);
        if (Len == 0)
            return false; // the parent is the root
        memcpy(Parent, Path, Len);
        Parent[Len] = 0;
        if (Exists(Parent))
            return false; // the failure had another cause
        if (!CreateDir(Parent, Mode))
            return false;
        if (mkdir(Path, Mode) != 0)
            return false;
    }
    chmod(Path, Mode);
    return true;
}

VS_BOOL vs_dir_createex(const VS_CHAR *Name, VS_ULONG Mode)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path) || Path[0] == 0)
        return VS_FALSE;
    // A trailing separator names the same directory; left on, the second
    // attempt after making the parents would find it existing and fail.
    size_t Len = strlen(Path);
    while (Len > 1 && Path[Len - 1] == '/')
        Path[--Len] = 0;
    if (strcmp(Path, "/") == 0)
        return VS_FALSE;
    return CreateDir(Path, (mode_t)(Mode & 0xFFFF)) ? VS_TRUE : VS_FALSE;
}

VS_BOOL vs_dir_delete(const VS_CHAR *Name)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return VS_FALSE;
    return rmdir(Path) == 0 ? VS_TRUE : VS_FALSE;
}

VS_BOOL vs_dir_getcwd(VS_CHAR *Buf, VS_INT32 Size)
{
    if (Buf == nullptr || Size <= 0)
        return VS_FALSE;
    if (getcwd(Buf, (size_t)Size) == nullptr) {
        Buf[0] = 0;
        return VS_FALSE;
    }
    return VS_TRUE;
}

VS_BOOL vs_dir_chdir(const VS_CHAR *Name)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return VS_FALSE;
    return chdir(Path) == 0 ? VS_TRUE : VS_FALSE;
}

// ---------------------------------------------------------------------------
// Directory search
// ---------------------------------------------------------------------------

} // extern "C"

bool vs_internal::FindAdvance(VS_FINDDATA *Handle, VS_FINDDATA *Record)
{
    DIR *Dir = (DIR *)Handle->DirStream;
    for (;;) {
        struct dirent *Entry = readdir(Dir);
        if (Entry == nullptr)
            return false;
        if (!vs_internal::FindMatch(Handle, Entry->d_name))
            continue;
        if (!vs_internal::CopyWhole(Handle->FileName, VS_MAX_PATH, Entry->d_name))
            continue;
        memcpy(Record, Handle, sizeof(*Record));
        Record->DirStream = nullptr;
        return true;
    }
}

extern "C" {

VS_FINDHANDLE vs_file_findfirst(const VS_CHAR *Pattern, VS_FINDDATA *Record)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (Record == nullptr || !PathCopy(Pattern, Path))
        return VS_INVALID_FINDHANDLE;
    VS_FINDDATA *Handle = (VS_FINDDATA *)malloc(sizeof(VS_FINDDATA));
    if (Handle == nullptr)
        return VS_INVALID_FINDHANDLE;
    memset(Handle, 0, sizeof(*Handle));
    const VS_CHAR *FilePattern;
    VS_CHAR *Slash = strrchr(Path, '/');
    if (Slash != nullptr) {
        *Slash = 0;
        strcpy(Handle->DirName, Path[0] != 0 ? Path : "/");
        FilePattern = Slash + 1;
    } else {
        if (!vs_dir_getcwd(Handle->DirName, VS_MAX_PATH))
            strcpy(Handle->DirName, ".");
        FilePattern = Path;
    }
    if (!vs_internal::FindSplitPattern(FilePattern, Handle)) {
        free(Handle);
        return VS_INVALID_FINDHANDLE;
    }
    DIR *Dir = opendir(Handle->DirName);
    if (Dir == nullptr) {
        free(Handle);
        return VS_INVALID_FINDHANDLE;
    }
    Handle->DirStream = Dir;
    if (!FindAdvance(Handle, Record)) {
        closedir(Dir);
        free(Handle);
        return VS_INVALID_FINDHANDLE;
    }
    return Handle;
}

VS_BOOL vs_file_findclose(VS_FINDHANDLE Handle)
{
    if (Handle == nullptr || Handle == VS_INVALID_FINDHANDLE)
        return VS_FALSE;
    if (Handle->DirStream != nullptr)
        closedir((DIR *)Handle->DirStream);
    free(Handle);
    return VS_TRUE;
}

VS_BOOL vs_file_isfinddir(const VS_FINDDATA *Record)
{
    if (Record == nullptr)
        return VS_FALSE;
    VS_CHAR Full[VS_MAX_PATH];
    int n = snprintf(Full, sizeof(Full), "%s/%s", Record->DirName, Record->FileName);
    if (n < 0 || n >= (int)sizeof(Full))
        return VS_FALSE;
    struct stat St;
    return (stat(Full, &St) == 0 && S_ISDIR(St.st_mode)) ? VS_TRUE : VS_FALSE;
}

} // extern "C"
