// Shared libraries for Linux: loading, symbol lookup (registered procedures
// first) and finding a library that the process has already mapped.
#include "vs_internal.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using vs_internal::DllSetErrorText;

namespace {

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

} // namespace

bool vs_internal::DllFileExists(const VS_CHAR *Path)
{
    return access(Path, F_OK) == 0;
}

void *vs_internal::DllOpen(const VS_CHAR *Name, VS_BOOL Global)
{
    VS_CHAR Path[VS_MAX_PATH];
    if (!DllPath(Name, Path))
        return nullptr;
    void *Handle = dlopen(Path, RTLD_NOW | (Global ? RTLD_GLOBAL : 0));
    if (Handle == nullptr)
        DllSetErrorText(dlerror());
    return Handle;
}

void *vs_internal::DllGetLoaded(const VS_CHAR *Name, VS_CHAR *PathOut, VS_INT32 Size)
{
    if (PathOut != nullptr && Size > 0)
        PathOut[0] = 0;
    if (Name == nullptr || Name[0] == 0)
        return nullptr;
    DllSetErrorText("");
    std::string Mapped;
    if (!FindMapped(Name, Mapped))
        return nullptr;
    // Opened by the mapped path, and only when the loader already holds it:
    // a file that is merely mapped must not be loaded (and at once unloaded
    // again, leaving a dangling handle).
    void *Handle = dlopen(Mapped.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD);
    if (Handle == nullptr) {
        DllSetErrorText(dlerror());
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

extern "C" {

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

} // extern "C"
