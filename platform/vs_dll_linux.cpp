// Shared libraries for Linux: loading, symbol lookup (registered procedures
// first) and finding a library that the process has already mapped.
#include "vs_internal.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

void *OpenLibrary(const VS_CHAR *Name, int Flags)
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
            n = snprintf(Path, sizeof(Path), "%s/%s", Cwd, Name);
        if (n < 0 || n >= (int)sizeof(Path) || access(Path, F_OK) != 0) {
            if (!vs_internal::CopyWhole(Path, sizeof(Path), Name)) {
                SetErrorText("library name too long");
                return nullptr;
            }
        }
    }
    void *Handle = dlopen(Path, Flags);
    if (Handle == nullptr)
        SetErrorText(dlerror());
    return Handle;
}

bool PrefixEqualNoCase(const VS_CHAR *a, const VS_CHAR *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (a[i] == 0 || b[i] == 0)
            return a[i] == b[i];
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i]))
            return false;
    }
    return true;
}

// Reads the process's own memory map and gives the path of the first mapped
// file that answers to Name.
bool FindMapped(const VS_CHAR *Name, std::string &Found)
{
    std::string Wanted = Name;
    bool ByPath = Wanted.find('/') != std::string::npos;
    if (ByPath) {
        char Resolved[PATH_MAX];
        if (realpath(Name, Resolved) != nullptr)
            Wanted = Resolved;
    }
    char MapsName[64];
    snprintf(MapsName, sizeof(MapsName), "/proc/%u/maps", (unsigned)getpid());
    FILE *Maps = fopen(MapsName, "r");
    if (Maps == nullptr)
        return false;
    // Lines are read whole, however long, and the path is the rest of the
    // line after the inode: paths may hold blanks.
    char *Line = nullptr;
    size_t Cap = 0;
    ssize_t Len;
    bool Ok = false;
    while ((Len = getline(&Line, &Cap, Maps)) > 0) {
        while (Len > 0 && (Line[Len - 1] == '\n' || Line[Len - 1] == '\r'))
            Line[--Len] = 0;
        char *p = Line;
        int Field = 0;
        for (; Field < 5; Field++) {
            while (*p == ' ' || *p == '\t')
                p++;
            if (*p == 0)
                break;
            char *Start = p;
            while (*p != 0 && *p != ' ' && *p != '\t')
                p++;
            if (Field == 4) {
                char *End;
                strtol(Start, &End, 10);
                if (End != p)
                    break;
            }
        }
        if (Field < 5)
            continue;
        while (*p == ' ' || *p == '\t')
            p++;
        if (*p == 0)
            continue;
        std::string Mapped = p;
        const VS_CHAR *Compare = Mapped.c_str();
        if (!ByPath) {
            size_t Slash = Mapped.rfind('/');
            if (Slash != std::string::npos)
                Compare += Slash + 1;
        }
        if (PrefixEqualNoCase(Wanted.c_str(), Compare, Wanted.size())) {
            Found = Mapped;
            Ok = true;
            break;
        }
    }
    free(Line);
    fclose(Maps);
    return Ok;
}

void *GetLoaded(const VS_CHAR *Name, VS_CHAR *PathOut, VS_INT32 Size)
{
    if (PathOut != nullptr && Size > 0)
        PathOut[0] = 0;
    if (Name == nullptr || Name[0] == 0)
        return nullptr;
    SetErrorText("");
    std::string Mapped;
    if (!FindMapped(Name, Mapped))
        return nullptr;
    // Opened by the mapped path, and only when the loader already holds it:
    // a file that is merely mapped must not be loaded (and at once unloaded
    // again, leaving a dangling handle).
    void *Handle = dlopen(Mapped.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD);
    if (Handle == nullptr) {
        SetErrorText(dlerror());
        return nullptr;
    }
    dlclose(Handle);
    if (PathOut != nullptr && Size > 0) {
        size_t n = Mapped.size() < (size_t)Size - 1 ? Mapped.size() : (size_t)Size - 1;
        memcpy(PathOut, Mapped.data(), n);
        PathOut[n] = 0;
    }
    return Handle;
}

} // namespace

extern "C" {

void *vs_dll_open(const VS_CHAR *Name)
{
    return OpenLibrary(Name, RTLD_NOW | RTLD_GLOBAL);
}

void *vs_dll_openex(const VS_CHAR *Name, VS_BOOL Global, VS_CHAR **ErrorText)
{
    void *Handle = OpenLibrary(Name, RTLD_NOW | (Global ? RTLD_GLOBAL : 0));
    if (ErrorText != nullptr)
        *ErrorText = g_DllErrorText;
    return Handle;
}

void vs_dll_close(void *Handle)
{
    if (Handle == nullptr || Handle == VS_INVALID_DLLHANDLE)
        return;
    dlclose(Handle);
}

void *vs_dll_sym(void *Handle, const VS_CHAR *Name)
{
    if (Name == nullptr)
        return nullptr;
    // A registered procedure answers for any handle, the failure value too.
    void *Proc = vs_internal::RegisteredProcFind(Name);
    if (Proc != nullptr)
        return Proc;
    if (Handle == VS_INVALID_DLLHANDLE)
        return nullptr;
    std::string Symbol = Name;
    for (char &c : Symbol)
        if (c == '\\')
            c = '/';
    return dlsym(Handle, Symbol.c_str());
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
    return GetLoaded(Name, nullptr, 0);
}

void *vs_dll_getex(const VS_CHAR *Name, VS_CHAR *Path, VS_INT32 Size)
{
    return GetLoaded(Name, Path, Size);
}

} // extern "C"
