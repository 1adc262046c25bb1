// Table of registered procedures: names that vs_dll_sym answers without
// asking the system. The same on every system.
#include "vs_internal.h"

#include <cstring>
#include <mutex>

namespace {

struct RegisteredProc {
    void *Proc;
    VS_CHAR Name[VS_REGISTERPROC_NAMESIZE];
};

RegisteredProc g_Table[VS_MAX_REGISTERPROC];
int g_Count = 0;
// Registrations may come from any thread; the table is shifted on removal.
std::mutex g_TableLock;

int FindIndex(const VS_CHAR *Name)
{
    for (int i = 0; i < g_Count; i++)
        if (strcmp(g_Table[i].Name, Name) == 0)
            return i;
    return -1;
}

} // namespace

namespace vs_internal {

void *RegisteredProcFind(const VS_CHAR *Name)
{
    if (Name == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> Guard(g_TableLock);
    int i = FindIndex(Name);
    return i < 0 ? nullptr : g_Table[i].Proc;
}

} // namespace vs_internal

extern "C" {

void *vs_dll_registerproc(const VS_CHAR *Name, void *Proc)
{
    if (Name == nullptr || Name[0] == 0 || strlen(Name) >= VS_REGISTERPROC_NAMESIZE)
        return nullptr;
    std::lock_guard<std::mutex> Guard(g_TableLock);
    int i = FindIndex(Name);
    if (Proc != nullptr) {
        if (i >= 0) {
            void *Old = g_Table[i].Proc;
            g_Table[i].Proc = Proc;
            return Old;
        }
        // A full table refuses only new names: replacing and removing must
        // stay possible, or a stale pointer could never be taken out.
        if (g_Count >= VS_MAX_REGISTERPROC)
            return nullptr;
        g_Table[g_Count].Proc = Proc;
        strcpy(g_Table[g_Count].Name, Name);
        g_Count++;
        return nullptr;
    }
    if (i < 0)
        return nullptr;
    void *Old = g_Table[i].Proc;
    memmove(&g_Table[i], &g_Table[i + 1], sizeof(RegisteredProc) * (size_t)(g_Count - i - 1));
    g_Count--;
    return Old;
}

} // extern "C"
