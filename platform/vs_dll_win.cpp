// Shared libraries for Windows: loading with the system's error boxes off
// (and the altered search path when the plain load fails), symbol lookup
// (registered procedures first) and finding a module already loaded.
#include "vs_win_internal.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

VS_CHAR g_DllErrorText[256];
VS_CHAR g_DllTempPath[VS_MAX_PATH];
std::mutex g_DllTextLock;

void SetErrorText(const VS_CHAR *Text)
{
    std::lock_guard<std::mutex> Guard(g_DllTextLock);
    if (Text == nullptr)
        Text = "";
    size_t Len = strlen(Text);
    if (Len > sizeof(g_DllErrorText) - 1)
        Len = sizeof(g_DllErrorText) - 1;
    memcpy(g_DllErrorText, Text, Len);
    g_DllErrorText[Len] = 0;
}

void SetErrorCode(DWORD Code)
{
    VS_CHAR Text[64];
    snprintf(Text, sizeof(Text), "error code = %u\n", (unsigned)Code);
    SetErrorText(Text);
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

void *OpenLibrary(const VS_CHAR *Name)
{
    SetErrorText("");
    if (Name == nullptr || Name[0] == 0) {
        SetErrorText("no library name given");
        return nullptr;
    }
    VS_CHAR Path[VS_MAX_PATH];
    if (strchr(Name, '/') != nullptr || strchr(Name, '\\') != nullptr) {
        if (!vs_internal::PathCopy(Name, Path)) {
            SetErrorText("library name too long");
            return nullptr;
        }
    } else {
        // A bare name is first looked for in the current directory, then left
        // to the system's library search.
        VS_CHAR Cwd[VS_MAX_PATH];
        int n = -1;
        if (vs_dir_getcwd(Cwd, sizeof(Cwd)))
            n = snprintf(Path, sizeof(Path), "%s\\%s", Cwd, Name);
        if (n < 0 || n >= (int)sizeof(Path) || GetFileAttributesA(Path) == INVALID_FILE_ATTRIBUTES) {
            if (!vs_internal::CopyWhole(Path, sizeof(Path), Name)) {
                SetErrorText("library name too long");
                return nullptr;
            }
        }
    }
    HMODULE Module = LoadQuietly(Path, 0);
    // The altered search path finds the dependencies of a library that lies
    // beside them in its own directory.
    if (Module == nullptr && vs_dir_isfullname(Path))
        Module = LoadQuietly(Path, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (Module == nullptr)
        SetErrorCode(GetLastError());
    return (void *)Module;
}

void *GetLoaded(const VS_CHAR *Name, VS_CHAR *PathOut, VS_INT32 Size)
{
    if (PathOut != nullptr && Size > 0)
        PathOut[0] = 0;
    if (Name == nullptr || Name[0] == 0)
        return nullptr;
    VS_CHAR Path[VS_MAX_PATH];
    if (!vs_internal::PathCopy(Name, Path))
        return nullptr;
    SetErrorText("");
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

} // namespace

extern "C" {

void *vs_dll_open(const VS_CHAR *Name)
{
    return OpenLibrary(Name);
}

void *vs_dll_openex(const VS_CHAR *Name, VS_BOOL Global, VS_CHAR **ErrorText)
{
    // Every library's exports are visible to GetProcAddress: there is no
    // local loading to choose.
    (void)Global;
    void *Handle = OpenLibrary(Name);
    if (ErrorText != nullptr)
        *ErrorText = g_DllErrorText;
    return Handle;
}

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

void vs_dll_settemppath(const VS_CHAR *Path)
{
    std::lock_guard<std::mutex> Guard(g_DllTextLock);
    if (Path == nullptr || !vs_internal::CopyWhole(g_DllTempPath, sizeof(g_DllTempPath), Path))
        g_DllTempPath[0] = 0;
}

void *vs_dll_get(const VS_CHAR *Name)
{
    return GetLoaded(Name, nullptr, 0);
}

void *vs_dll_getex(const VS_CHAR *Name, VS_CHAR *Path, VS_INT32 Size)
{
    return GetLoaded(Name, Path, Size);
}

} // extern "C"
