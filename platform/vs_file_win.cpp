// Files, directories and directory search for Windows. Names reach the
// system with backslashes; the directory search uses the shared matcher.
#include "vs_win_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/utime.h>

using vs_internal::Exists;
using vs_internal::FindAdvance;
using vs_internal::PathCopy;

VS_INT32 vs_internal::StatRaw(const VS_CHAR *Name, VS_STATBUF *Info)
{
    if (Name == nullptr)
        return VS_FS_ERRNO;
    struct _stat64 St;
    if (_stat64(Name, &St) != 0)
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
    return GetFileAttributesA(Path) != INVALID_FILE_ATTRIBUTES;
}

// True when both names lead to the same file (the system's file identity,
// since names may differ in case, separators or links).
static bool SameFile(const VS_CHAR *a, const VS_CHAR *b)
{
    HANDLE ha = CreateFileA(a, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (ha == INVALID_HANDLE_VALUE)
        return false;
    HANDLE hb = CreateFileA(b, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    bool Same = false;
    if (hb != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION ia, ib;
        if (GetFileInformationByHandle(ha, &ia) && GetFileInformationByHandle(hb, &ib))
            Same = ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
                   ia.nFileIndexLow == ib.nFileIndexLow;
        CloseHandle(hb);
    }
    CloseHandle(ha);
    return Same;
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
    return (Info.Mode & _S_IFMT) == _S_IFDIR ? VS_TRUE : VS_FALSE;
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
    return DeleteFileA(Path) ? 0 : VS_FS_ERRNO;
}

VS_INT32 vs_file_rename(const VS_CHAR *OldName, const VS_CHAR *NewName)
{
    VS_CHAR OldPath[VS_MAX_PATH], NewPath[VS_MAX_PATH];
    if (!PathCopy(OldName, OldPath) || !PathCopy(NewName, NewPath))
        return -1;
    // An existing target is replaced, as rename does on Linux.
    return MoveFileExA(OldPath, NewPath, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

VS_BOOL vs_file_chmod(const VS_CHAR *Name, VS_ULONG Mode)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return VS_FALSE;
    // The system keeps only the owner's read and write bits.
    return _chmod(Path, (int)(Mode & (_S_IREAD | _S_IWRITE))) == 0 ? VS_TRUE : VS_FALSE;
}

VS_INT32 vs_file_settime(const VS_CHAR *Name, VS_ULONG AccessTime, VS_ULONG ModifyTime)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return -1;
    struct __utimbuf64 Times;
    Times.actime = (__time64_t)AccessTime;
    Times.modtime = (__time64_t)ModifyTime;
    return _utime64(Path, &Times) == 0 ? 0 : -1;
}

VS_INT32 vs_file_copy(const VS_CHAR *From, const VS_CHAR *To)
{
    VS_CHAR FromPath[VS_MAX_PATH], ToPath[VS_MAX_PATH];
    if (!PathCopy(From, FromPath) || !PathCopy(To, ToPath))
        return -1;
    struct _stat64 FromSt;
    if (_stat64(FromPath, &FromSt) != 0)
        return -1;
    // Opening the target for writing would empty the source when both name
    // the same file.
    if (Exists(ToPath) && SameFile(FromPath, ToPath))
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
        // A cut copy must not pass for a whole one.
        DWORD Attr = GetFileAttributesA(ToPath);
        if (Attr != INVALID_FILE_ATTRIBUTES && (Attr & FILE_ATTRIBUTE_DIRECTORY) == 0)
            DeleteFileA(ToPath);
        return -1;
    }
    _chmod(ToPath, FromSt.st_mode & (_S_IREAD | _S_IWRITE));
    return 0;
}

// ---------------------------------------------------------------------------
// Directories and paths
// ---------------------------------------------------------------------------

static bool IsRoot(const VS_CHAR *Path)
{
    size_t Len = strlen(Path);
    if (Len == 1 && Path[0] == '\\')
        return true;
    // "C:" and "C:\" name a drive's root.
    return (Len == 2 || (Len == 3 && Path[2] == '\\')) && Path[1] == ':';
}

// Path is a private, converted copy that may be cut in place.
static bool CreateDir(VS_CHAR *Path, VS_ULONG Mode)
{
    if (Exists(Path))
        return true;
    if (_mkdir(Path) != 0) {
        VS_CHAR *Sep = strrchr(Path, '\\');
        if (Sep == nullptr)
            return false;
        VS_CHAR Parent[VS_MAX_PATH];
        size_t Len = (size_t)(Sep - Path);
        if (Len == 0)
            return false; // the parent is the root
        memcpy(Parent, Path, Len);
        Parent[Len] = 0;
        if (Exists(Parent) || IsRoot(Parent))
            return false; // the failure had another cause
        if (!CreateDir(Parent, Mode))
            return false;
        if (_mkdir(Path) != 0)
            return false;
    }
    _chmod(Path, (int)(Mode & (_S_IREAD | _S_IWRITE)));
    return true;
}

VS_BOOL vs_dir_createex(const VS_CHAR *Name, VS_ULONG Mode)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path) || Path[0] == 0)
        return VS_FALSE;
    size_t Len = strlen(Path);
    while (Len > 1 && Path[Len - 1] == '\\' && !(Len == 3 && Path[1] == ':'))
        Path[--Len] = 0;
    if (IsRoot(Path))
        return VS_FALSE;
    return CreateDir(Path, Mode) ? VS_TRUE : VS_FALSE;
}

VS_BOOL vs_dir_delete(const VS_CHAR *Name)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!PathCopy(Name, Path))
        return VS_FALSE;
    return _rmdir(Path) == 0 ? VS_TRUE : VS_FALSE;
}

VS_BOOL vs_dir_getcwd(VS_CHAR *Buf, VS_INT32 Size)
{
    if (Buf == nullptr || Size <= 0)
        return VS_FALSE;
    if (_getcwd(Buf, Size) == nullptr) {
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
    return _chdir(Path) == 0 ? VS_TRUE : VS_FALSE;
}

// ---------------------------------------------------------------------------
// Directory search: the system lists the directory, the shared matcher
// decides, so patterns mean the same on every system.
// ---------------------------------------------------------------------------

namespace {

struct FindStream {
    HANDLE Find;
    bool HavePending; // Data holds an entry not yet tested
    WIN32_FIND_DATAA Data;
};

} // namespace

} // extern "C"

bool vs_internal::FindAdvance(VS_FINDDATA *Handle, VS_FINDDATA *Record)
{
    FindStream *Stream = (FindStream *)Handle->DirStream;
    for (;;) {
        if (!Stream->HavePending && !FindNextFileA(Stream->Find, &Stream->Data))
            return false;
        Stream->HavePending = false;
        const VS_CHAR *Entry = Stream->Data.cFileName;
        if (!vs_internal::FindMatch(Handle, Entry))
            continue;
        if (!vs_internal::CopyWhole(Handle->FileName, VS_MAX_PATH, Entry))
            continue;
        memcpy(Record, Handle, sizeof(*Record));
        Record->DirStream = nullptr;
        return true;
    }
}

extern "C" {

static void FindRelease(VS_FINDDATA *Handle)
{
    FindStream *Stream = (FindStream *)Handle->DirStream;
    if (Stream != nullptr) {
        FindClose(Stream->Find);
        free(Stream);
    }
    free(Handle);
}

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
    VS_CHAR *Sep = strrchr(Path, '\\');
    if (Sep != nullptr) {
        *Sep = 0;
        strcpy(Handle->DirName, Path[0] != 0 ? Path : "\\");
        FilePattern = Sep + 1;
    } else {
        if (!vs_dir_getcwd(Handle->DirName, VS_MAX_PATH))
            strcpy(Handle->DirName, ".");
        FilePattern = Path;
    }
    VS_CHAR All[VS_MAX_PATH];
    size_t DirLen = strlen(Handle->DirName);
    bool EndsInSep = DirLen > 0 && Handle->DirName[DirLen - 1] == '\\';
    int n = snprintf(All, sizeof(All), EndsInSep ? "%s*" : "%s\\*", Handle->DirName);
    if (n < 0 || n >= (int)sizeof(All) || !vs_internal::FindSplitPattern(FilePattern, Handle)) {
        free(Handle);
        return VS_INVALID_FINDHANDLE;
    }
    FindStream *Stream = (FindStream *)malloc(sizeof(FindStream));
    if (Stream == nullptr) {
        free(Handle);
        return VS_INVALID_FINDHANDLE;
    }
    Stream->Find = FindFirstFileA(All, &Stream->Data);
    if (Stream->Find == INVALID_HANDLE_VALUE) {
        free(Stream);
        free(Handle);
        return VS_INVALID_FINDHANDLE;
    }
    Stream->HavePending = true;
    Handle->DirStream = Stream;
    if (!FindAdvance(Handle, Record)) {
        FindRelease(Handle);
        return VS_INVALID_FINDHANDLE;
    }
    return Handle;
}

VS_BOOL vs_file_findclose(VS_FINDHANDLE Handle)
{
    if (Handle == nullptr || Handle == VS_INVALID_FINDHANDLE)
        return VS_FALSE;
    FindRelease(Handle);
    return VS_TRUE;
}

VS_BOOL vs_file_isfinddir(const VS_FINDDATA *Record)
{
    if (Record == nullptr)
        return VS_FALSE;
    VS_CHAR Full[VS_MAX_PATH];
    int n = snprintf(Full, sizeof(Full), "%s\\%s", Record->DirName, Record->FileName);
    if (n < 0 || n >= (int)sizeof(Full))
        return VS_FALSE;
    DWORD Attr = GetFileAttributesA(Full);
    return (Attr != INVALID_FILE_ATTRIBUTES && (Attr & FILE_ATTRIBUTE_DIRECTORY) != 0) ? VS_TRUE : VS_FALSE;
}

} // extern "C"
