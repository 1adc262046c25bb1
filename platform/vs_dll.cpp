// Shared libraries: the parts that read the same on every system (the error
// text, the temporary path, the resolution of a library's name). The
// per-system sources load, close, look up and find loaded libraries.
#include "vs_internal.h"

#include <cstring>
#include <mutex>

namespace {

VS_CHAR g_DllErrorText[256];
VS_CHAR g_DllTempPath[VS_MAX_PATH];
std::mutex g_DllTextLock;

} // namespace

namespace vs_internal {

void DllSetErrorText(const VS_CHAR *Text)
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

bool DllPath(const VS_CHAR *Name, VS_CHAR *Path)
{
    DllSetErrorText("");
    if (Name == nullptr || Name[0] == 0) {
        DllSetErrorText("no library name given");
        return false;
    }
    if (strchr(Name, '/') != nullptr || strchr(Name, '\\') != nullptr) {
        if (!PathCopy(Name, Path)) {
            DllSetErrorText("library name too long");
            return false;
        }
        return true;
    }
    // A bare name is first looked for in the current directory, then left to
    // the system's library search.
    VS_CHAR Cwd[VS_MAX_PATH];
    int n = -1;
    if (vs_dir_getcwd(Cwd, sizeof(Cwd)))
        n = snprintf(Path, VS_MAX_PATH, "%s%c%s", Cwd, kPathSep, Name);
    if (n < 0 || n >= (int)VS_MAX_PATH || !DllFileExists(Path)) {
        if (!CopyWhole(Path, VS_MAX_PATH, Name)) {
            DllSetErrorText("library name too long");
            return false;
        }
    }
    return true;
}

} // namespace vs_internal

extern "C" {

void *vs_dll_open(const VS_CHAR *Name)
{
    return vs_internal::DllOpen(Name, VS_TRUE);
}

void *vs_dll_openex(const VS_CHAR *Name, VS_BOOL Global, VS_CHAR **ErrorText)
{
    void *Handle = vs_internal::DllOpen(Name, Global);
    if (ErrorText != nullptr)
        *ErrorText = g_DllErrorText;
    return Handle;
}

void vs_dll_settemppath(const VS_CHAR *Path)
{
    std::lock_guard<std::mutex> Guard(g_DllTextLock);
    // An over-long path is not kept cut: the slot is emptied instead.
    if (Path == nullptr || !vs_internal::CopyWhole(g_DllTempPath, sizeof(g_DllTempPath), Path))
        g_DllTempPath[0] = 0;
}

void *vs_dll_get(const VS_CHAR *Name)
{
    return vs_internal::DllGetLoaded(Name, nullptr, 0);
}

void *vs_dll_getex(const VS_CHAR *Name, VS_CHAR *Path, VS_INT32 Size)
{
    return vs_internal::DllGetLoaded(Name, Path, Size);
}

} // extern "C"
