// Shared libraries for Windows: loading with the system's error boxes off
// (and the altered search path when the plain load fails), symbol lookup
// (registered procedures first) and finding a module already loaded.
#include "vs_win_internal.h"

#include <cstdio>
#include <cstring>

using vs_internal::DllSetErrorText;

namespace {

void SetErrorCode(DWORD Code)
{
    VS_CHAR Text[64];
    snprintf(Text, sizeof(Text), "error code = %u\n", (unsigned)Code);
    DllSetErrorText(Text);
}

// Loads without the system's message box for a missing file or a failed
// dependency: a library that cannot be loaded is an answer, not a dialog.
HMODULE LoadQuietly(const VS_CHAR *Path, DWORD Flags)
{
    DWORD OldMode = 0;
    bool ThreadMode = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &OldMode) != 0;
    HMODULE Module = LoadLibraryExA(Path, nullptr, Flags);
    DWORD Error = GetLastError();
    if (ThreadMode)
        SetThreadErrorMode(OldMode, nullptr);
    SetLastError(Error);
    return Module;
}

} // namespace

bool vs_internal::DllFileExists(const VS_CHAR *Path)
{
    return GetFileAttributesA(Path) != INVALID_FILE_ATTRIBUTES;
}

// Every library's exports are visible to GetProcAddress: there is no local
// loading to choose, so Global is not looked at.
void *vs_internal::DllOpen(const VS_CHAR *Name, VS_BOOL Global)
{
    (void)Global;
    VS_CHAR Path[VS_MAX_PATH];
    if (!DllPath(Name, Path))
        return nullptr;
    HMODULE Module = LoadQuietly(Path, 0);
    // The altered search path finds the dependencies of a library that lies
    // beside them in its own directory.
    if (Module == nullptr && vs_dir_isfullname(Path))
        Module = LoadQuietly(Path, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (Module == nullptr)
        SetErrorCode(GetLastError());
    return (void *)Module;
}

void *vs_internal::DllGetLoaded(const VS_CHAR *Name, VS_CHAR *PathOut, VS_INT32 Size)
{
    if (PathOut != nullptr && Size > 0)
        PathOut[0] = 0;
    if (Name == nullptr || Name[0] == 0)
        return nullptr;
    VS_CHAR Path[VS_MAX_PATH];
    if (!vs_internal::PathCopy(Name, Path))
        return nullptr;
    DllSetErrorText("");
    // The system's own table of loaded modules: loads nothing and leaves the
    // module's reference count alone, like the mapped-library lookup elsewhere.
    HMODULE Module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, Path, &Module) || Module == nullptr)
        return nullptr;
    if (PathOut != nullptr && Size > 0) {
        DWORD n = GetModuleFileNameA(Module, PathOut, (DWORD)Size);
        if (n == 0 || n >= (DWORD)Size)
            PathOut[Size - 1] = 0;
    }
    return (void *)Module;
}

extern "C" {

void vs_dll_close(void *Handle)
{
    if (Handle == nullptr || Handle == VS_INVALID_DLLHANDLE)
        return;
    FreeLibrary((HMODULE)Handle);
}

void *vs_dll_sym(void *Handle, const VS_CHAR *Name)
{
    if (Name == nullptr)
        return nullptr;
    void *Proc = vs_internal::RegisteredProcFind(Name);
    if (Proc != nullptr)
        return Proc;
    if (Handle == nullptr || Handle == VS_INVALID_DLLHANDLE)
        return nullptr;
    return (void *)GetProcAddress((HMODULE)Handle, Name);
}

} // extern "C"
