// Runs a Lua scenario inside the stand-in host with the module loaded, after
// binding this area's luafuncs onto the QZDataBase class: the same functions
// that the class's binding table names, so binding them again changes
// nothing once the table carries them.
//
//   trelk_data2_run SCRIPT.lua [args...]
#include "quel_trelk.h"
#include "tarvex_host.h"
#include "trelk_data2.h"

#include <cstdio>
#include <string>
#include <vector>

static const StructOfTrelkLuaFuncEntry Data2LuaFuncs[] = {
    {"SaveZelDataProperty", QZDataBase_SaveZelDataProperty},
    {"RestoreZelDataProperty", QZDataBase_RestoreZelDataProperty},
    {"ClearZelDataProperty", QZDataBase_ClearZelDataProperty},
    {"SetCache", QZDataBase_SetCache},
    {"GetCache", QZDataBase_GetCache},
    {"ClearCache", QZDataBase_ClearCache},
    {"RunString", QZDataBase_RunString},
    {"RunProc", QZDataBase_RunProc},
    {"CreateProperty", QZDataBase_CreateProperty},
    {"IsProperty", QZDataBase_IsProperty},
    {"HasProperty", QZDataBase_HasProperty},
    {"GetDataSetBase", QZDataBase_GetDataSetBase},
    {"GetObjectDataBase", QZDataBase_GetObjectDataBase},
    {"GetBufDataBase", QZDataBase_GetBufDataBase},
    {"Wrap", QZDataBase_Wrap},
    {"SetReadOnly", QZDataBase_SetReadOnly},
    {nullptr, nullptr},
};

static bool BindData2()
{
    ClassOfXRQInterface *X = QZObject_XRQInterface;
    void *Atomic = X != nullptr && QZDataBaseClass != nullptr ? X->ObjectToAtomic(QZDataBaseClass) : nullptr;
    if (Atomic == nullptr) return false;
    for (const StructOfTrelkLuaFuncEntry *Entry = Data2LuaFuncs; Entry->Name != nullptr; Entry++) {
        void *Slot = X->GetAtomicFunctionByName(Atomic, Entry->Name);
        if (Slot == nullptr || !X->SetAtomicFunction(Slot, Entry->Func)) return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s SCRIPT.lua [args...]\n", argc > 0 ? argv[0] : "trelk_data2_run");
        return 64;
    }
    tvh::HostOptions Options;
    Options.verbose = getenv("TRELK_VERBOSE") != nullptr;
    if (!tvh::start(Options)) {
        fprintf(stderr, "the host did not start\n");
        return 2;
    }
    std::string Error;
    if (!tvh::loadModule(TRELK_MODULE_PATH, &Error)) {
        fprintf(stderr, "cannot start the module: %s\n", Error.c_str());
        tvh::stop();
        return 2;
    }
    tvh::lockBoth();
    bool Bound = BindData2();
    tvh::unlockBoth();
    int Status = 0;
    if (!Bound) {
        fprintf(stderr, "cannot bind the data luafuncs\n");
        Status = 2;
    } else if (!tvh::runFile(argv[1], std::vector<std::string>(argv + 2, argv + argc), &Error)) {
        fprintf(stderr, "%s\n", Error.c_str());
        Status = 1;
    }
    fflush(stdout);
    // Module shutdown's part: indexes that attribute lists still hold.
    tvh::lockBoth();
    QZDataBase_ReleaseParkedIndexes();
    tvh::unlockBoth();
    tvh::unloadModule();
    tvh::stop();
    return Status;
}
