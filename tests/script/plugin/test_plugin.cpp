// A small plug-in module for the script engine's scenario tests: it registers
// two classes from XML templates and binds a handful of luafuncs that reach
// every path of the host's script surface (stack values, calls by name from
// inside a luafunc, hooks with index access, RegLuaFunc, packages, a worker
// thread that takes both locks).
//
// Built as test_plugin.so, loaded by `tarvex test_plugin.so SCRIPT.lua`.
// TP_REFUSE=1 in the environment makes quel_trelk_Init2 refuse.
#include "tarvex_api.h"

#include <lua.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

ClassOfBasicXRQInterface *g_basic = nullptr;
ClassOfXRQControlInterface *g_ctrl = nullptr;
ClassOfXRQInterface *g_svc = nullptr;
void *g_base = nullptr;    // class object TPBase
void *g_derived = nullptr; // class object TPDerived
std::atomic<int> g_freed{0};
std::atomic<int> g_created{0};

std::thread g_worker;
std::atomic<bool> g_workerDone{false};
std::atomic<int> g_workerResult{-1};
std::atomic<int> g_workerOk{0};

const char *kBaseTemplate = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<object>
  <TPBase ID="6C1A3E20-0B7D-4E51-9A3B-2D5C7E8F9A01">
    <attribute>
      <Count Type="VS_INT32" Default="7"/>
      <Flag Type="VS_BOOL" Default="true"/>
      <Label Type="VS_VSTRING" Default="base"/>
      <Ref Type="VS_UUID"/>
      <Big Type="VS_INT64" Default="5000000000"/>
      <Mask Type="VS_ULONG" Default="4294967295"/>
      <Ptr Type="void *"/>
      <Items Type="void *" Class=""/>
    </attribute>
    <function>
      <Add Type = "luafunc" Desc="VS_INT32 Add(VS_INT32 a, VS_INT32 b)"/>
      <Hello Type="luafunc" Desc="VS_CHAR *Hello()"/>
      <Strict Type="luafunc" Desc="VS_INT32 Strict(VS_INT32 n)"/>
      <Unbound Type="luafunc" Desc="void Unbound()"/>
      <Types Type="luafunc" Desc="VS_PARAPKGPTR Types(...)"/>
      <Echo Type="luafunc" Desc="... Echo(...)"/>
      <MakeVector Type="luafunc" Desc="void *MakeVector()"/>
      <GuardCount Type="luafunc" Desc="void GuardCount()"/>
      <RegOn Type="luafunc" Desc="void RegOn(VS_CHAR *name)"/>
      <SetRegValid Type="luafunc" Desc="void SetRegValid(VS_CHAR *name, VS_BOOL on)"/>
      <CallByName Type="luafunc" Desc="... CallByName(void *target, VS_CHAR *name, ...)"/>
      <CallTyped Type="luafunc" Desc="... CallTyped(void *target, VS_CHAR *name, VS_CHAR *typeText, ...)"/>
      <IsDefined Type="luafunc" Desc="void *IsDefined(void *target, VS_CHAR *name, VS_BOOL chain)"/>
      <AddSlot Type="luafunc" Desc="void AddSlot(void *target, VS_CHAR *name)"/>
      <MakeOwned Type="luafunc" Desc="void *MakeOwned()"/>
      <MakePkg Type="luafunc" Desc="VS_PARAPKGPTR MakePkg()"/>
      <PkgSum Type="luafunc" Desc="VS_INT32 PkgSum(VS_PARAPKGPTR p)"/>
      <SpawnWorker Type="luafunc" Desc="void SpawnWorker(void *target, VS_CHAR *name, VS_INT32 n)"/>
      <WorkerDone Type="luafunc" Desc="VS_BOOL WorkerDone()"/>
      <WorkerResult Type="luafunc" Desc="VS_INT32 WorkerResult()"/>
      <Dispatch Type="luafunc" Desc="VS_BOOL Dispatch()"/>
      <Counts Type="luafunc" Desc="VS_INT32 Counts()"/>
      <Report Type="luafunc" Desc="void Report(VS_CHAR *text)"/>
      <_QuelCall Type="luafunc" Desc="void *_QuelCall(...)"/>
      <_QuelToString Type="luafunc" Desc="VS_CHAR *_QuelToString()"/>
    </function>
  </TPBase>
</object>
)XML";

const char *kDerivedTemplate = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<object>
  <TPDerived ID="6C1A3E20-0B7D-4E51-9A3B-2D5C7E8F9A02" Class="TPBase">
    <attribute>
      <Extra Type="VS_INT32" Default="-3"/>
    </attribute>
    <function>
      <Twice Type="luafunc" Desc="VS_INT32 Twice(VS_INT32 n)"/>
    </function>
  </TPDerived>
</object>
)XML";

struct Rec {
    VS_INT32 Count;
    VS_BOOL Flag;
    VS_VSTRING Label;
    VS_UUID Ref;
    VS_INT64 Big;
    VS_ULONG Mask;
    void *Ptr;
    void *Items;
};

VS_INT32 handler(VS_UWORD, void *para) {
    VS_ULONG ev = g_svc->GetSysEventID(para);
    if (ev == VSEVENT_SYSTEMEVENT_ONCREATE) ++g_created;
    if (ev == VSEVENT_SYSTEMEVENT_ONDESTROY) ++g_freed;
    return 0;
}

// ---- luafuncs (self at 1) ----
VS_INT32 fAdd(void *) {
    g_svc->LuaPushInt(g_svc->LuaToInt(2) + g_svc->LuaToInt(3));
    return 1;
}

VS_INT32 fTwice(void *) {
    g_svc->LuaPushInt(2 * g_svc->LuaToInt(2));
    return 1;
}

VS_INT32 fHello(void *) {
    std::string s = std::string("hello from ") + g_svc->GetName(g_svc->LuaToObject(1));
    g_svc->LuaPushString(s.c_str());
    return 1;
}

// A plug-in written in plain C style may raise a script error itself: no C++
// object is alive in this frame when it does.
extern "C" VS_INT32 fStrict(void *L) {
    if (g_svc->LuaType(2) != VSLUATYPE_INT) {
        lua_State *S = (lua_State *)L;
        return luaL_error(S, "Strict: argument 1 must be an integer");
    }
    g_svc->LuaPushInt(2 * g_svc->LuaToInt(2));
    return 1;
}

VS_INT32 fTypes(void *) {
    VS_PARAPKGPTR p = g_svc->GetParaPkgInterface();
    int top = g_svc->LuaGetTop();
    for (int i = 2; i <= top; ++i) p->InsertInt(p->GetNumber(), g_svc->LuaType(i));
    g_svc->LuaPushParaPkg(p, VS_TRUE);
    return 1;
}

// Pushes back copies of its arguments made through the host's readers.
VS_INT32 fEcho(void *) {
    int top = g_svc->LuaGetTop();
    for (int i = 2; i <= top; ++i) {
        switch (g_svc->LuaType(i)) {
        case VSLUATYPE_NUMBER:
            g_svc->LuaPushNumber(g_svc->LuaToNumber(i));
            break;
        case VSLUATYPE_BOOL:
            g_svc->LuaPushBool(g_svc->LuaToBool(i));
            break;
        case VSLUATYPE_STRING: {
            VS_INT32 n = 0;
            const char *s = g_svc->LuaToLString(i, &n);
            g_svc->LuaPushLString(s, n);
            break;
        }
        case VSLUATYPE_OBJECT:
            g_svc->LuaPushObject(g_svc->LuaToObject(i));
            break;
        case VSLUATYPE_PARAPKG:
            g_svc->LuaPushParaPkg(g_svc->LuaToParaPkg(i), VS_FALSE);
            break;
        case VSLUATYPE_BINBUF:
            g_svc->LuaPushBinBuf(g_svc->LuaToBinBuf(i), VS_FALSE);
            break;
        case VSLUATYPE_INT:
            g_svc->LuaPushInt(g_svc->LuaToInt(i));
            break;
        case VSLUATYPE_INT64:
            g_svc->LuaPushInt64(g_svc->LuaToInt64(i));
            break;
        default:
            g_svc->LuaPushNil();
        }
    }
    return top - 1;
}

// Vector objects: index access through the get and set hooks, 16 integers in
// a private buffer, and a "Size" name.
const VS_ULONG kVecIndex = 77;

VS_INT32 *vecData(void *obj) {
    return (VS_INT32 *)g_svc->GetPrivateBuf(obj, g_svc->GetLayer(obj), kVecIndex, nullptr);
}

bool vecSlot(const char *name, int *i) {
    if (name[0] != '"') return false;
    char *end = nullptr;
    long v = strtol(name + 1, &end, 10);
    if (!*(name + 1) || *end) return false;
    if (v < 0 || v >= 16) return false;
    *i = (int)v;
    return true;
}

VS_BOOL vecGet(void *obj, void *forWhich, VS_CHAR *name, VS_UWORD para, VS_BOOL) {
    if (obj != forWhich || para != 5) return VS_FALSE;
    int i;
    if (strcmp(name, "Size") == 0) {
        g_svc->LuaPushInt(16);
        return VS_TRUE;
    }
    if (!vecSlot(name, &i)) return VS_FALSE;
    g_svc->LuaPushInt(vecData(obj)[i]);
    return VS_TRUE;
}

VS_BOOL vecSet(void *obj, void *, VS_CHAR *name, VS_INT32 index, VS_UWORD) {
    int i;
    if (!vecSlot(name, &i)) return VS_FALSE;
    if (g_svc->LuaType(index) != VSLUATYPE_INT) return VS_FALSE;
    vecData(obj)[i] = g_svc->LuaToInt(index);
    return VS_TRUE;
}

VS_INT32 fMakeVector(void *) {
    VS_UUID id = g_svc->GetID(g_base);
    void *o = g_svc->MallocObjectL(&id, 0, nullptr);
    g_svc->MallocPrivateBuf(o, g_svc->GetLayer(o), kVecIndex, 16 * sizeof(VS_INT32));
    g_svc->RegLuaGetValueFunc(o, vecGet, 5);
    g_svc->RegLuaSetValueFunc(o, vecSet, 6);
    g_svc->LuaPushObject(o);
    g_svc->ReleaseOwnerEx(o);
    return 1;
}

VS_BOOL countGuard(void *, VS_UWORD, OBJECTATTRIBUTEINDEX idx, VS_INT8 *newValue, VS_INT32) {
    if (idx != 0) return VS_TRUE; // Count is the first attribute
    VS_INT32 v;
    memcpy(&v, newValue, sizeof v);
    return v >= 0 ? VS_TRUE : VS_FALSE;
}

VS_INT32 fGuardCount(void *) {
    g_svc->RegBeforeChangeCallBack(g_svc->LuaToObject(1), countGuard, 0, 0);
    return 0;
}

// Registered with RegLuaFunc: Para (up-value 2) plus its argument.
VS_INT32 fReg(void *) {
    VS_UWORD para = g_svc->LuaToUWord(g_svc->LuaUpValueIndex(2));
    g_svc->LuaPushInt64((VS_INT64)para + g_svc->LuaToInt(2));
    return 1;
}

VS_INT32 fRegOn(void *) {
    g_svc->LuaPushBool(g_svc->RegLuaFunc(g_svc->LuaToObject(1), g_svc->LuaToString(2), fReg, 1000));
    return 1;
}

VS_INT32 fSetRegValid(void *) {
    void *o = g_svc->LuaToObject(1);
    const char *name = g_svc->LuaToString(2);
    VS_BOOL r = g_svc->LuaToBool(3) ? g_svc->ValidRegLuaFunc(o, name, fReg) : g_svc->InValidRegLuaFunc(o, name, fReg);
    g_svc->LuaPushBool(r);
    return 1;
}

// CallByName(target, name, args...): ExecNameScript(target, name, nargs, 2)
// from inside a luafunc. Returns: found, last error, depth change, result 1,
// result 2, error text.
VS_INT32 fCallByName(void *) {
    void *target = g_svc->LuaToObject(2);
    std::string name = g_svc->LuaToString(3) ? g_svc->LuaToString(3) : "";
    int top = g_svc->LuaGetTop();
    int nargs = top - 3;
    g_svc->GetLastError(); // read and drop
    // The arguments already are the top nargs values.
    VS_BOOL found = g_svc->ExecNameScript(target, name.c_str(), nargs, 2);
    int err = g_svc->GetLastError();
    int after = g_svc->LuaGetTop();
    VS_ULONG line = 0;
    const VS_CHAR *src = nullptr;
    const VS_CHAR *info = err >= 1 && err <= 4 ? g_svc->GetLastErrorInfo(&line, &src) : nullptr;
    std::string text = info ? std::string(src) + ":" + std::to_string(line) + ":" + info : "";
    // results are at after-1, after; report them after the bookkeeping
    g_svc->LuaPushBool(found);
    g_svc->LuaInsert(-3);
    g_svc->LuaPushInt(err);
    g_svc->LuaInsert(-3);
    g_svc->LuaPushInt(after - (top - nargs)); // values left by the call: always 2
    g_svc->LuaInsert(-3);
    g_svc->LuaPushString(text.c_str());
    return 6;
}

// CallTyped(target, name, typeText, args...) for the forms "(s)s", "(o)z",
// "()o", "(s)o", "(o)": returns ok, result.
VS_INT32 fCallTyped(void *) {
    void *target = g_svc->LuaToObject(2);
    std::string name = g_svc->LuaToString(3) ? g_svc->LuaToString(3) : "";
    std::string tt = g_svc->LuaToString(4) ? g_svc->LuaToString(4) : "";
    int before = g_svc->LuaGetTop();
    VS_BOOL ok = VS_FALSE;
    VS_UWORD r = 0;
    char res = 0;
    if (tt == "(s)s") {
        r = g_svc->ScriptCall(target, &ok, name.c_str(), tt.c_str(), g_svc->LuaToString(5));
        res = 's';
    } else if (tt == "(o)z") {
        r = g_svc->ScriptCall(target, &ok, name.c_str(), tt.c_str(), g_svc->LuaToObject(5));
        res = 'z';
    } else if (tt == "()o") {
        r = g_svc->ScriptCall(target, &ok, name.c_str(), tt.c_str());
        res = 'o';
    } else if (tt == "(s)o") {
        r = g_svc->ScriptCall(target, &ok, name.c_str(), tt.c_str(), g_svc->LuaToString(5));
        res = 'o';
    } else if (tt == "(o)") {
        r = g_svc->ScriptCall(target, &ok, name.c_str(), tt.c_str(), g_svc->LuaToObject(5));
    } else if (tt == "(z)z") {
        r = g_svc->ScriptCall(target, &ok, name.c_str(), tt.c_str(), g_svc->LuaToInt(5));
        res = 'z';
    } else {
        r = g_svc->ScriptCall(target, &ok, name.c_str(), tt.c_str(), 1, 2, 3);
    }
    int err = g_svc->GetLastError();
    if (g_svc->LuaGetTop() != before) {
        g_svc->LuaPushString("stack changed");
        return 1;
    }
    g_svc->LuaPushBool(ok);
    if (res == 's')
        g_svc->LuaPushString((const char *)(uintptr_t)r);
    else if (res == 'o')
        g_svc->LuaPushObject((void *)(uintptr_t)r);
    else
        g_svc->LuaPushInt64((VS_INT64)r);
    g_svc->LuaPushInt(err);
    return 3;
}

VS_INT32 fIsDefined(void *) {
    g_svc->LuaPushObject(
        g_svc->LuaIsFunctionDefined(g_svc->LuaToObject(2), g_svc->LuaToString(3), g_svc->LuaToBool(4)));
    return 1;
}

VS_INT32 fAddSlot(void *) {
    void *atomic = g_svc->ObjectToAtomic(g_svc->LuaToObject(2));
    void *slot = g_svc->CreateAtomicLuaFunction(atomic, g_svc->LuaToString(3), nullptr, "");
    g_svc->LuaPushBool(g_svc->SetAtomicFunction(slot, fAdd));
    return 1;
}

VS_INT32 fMakeOwned(void *) {
    VS_UUID id = g_svc->GetID(g_derived);
    void *o = g_svc->MallocObjectL(&id, 0, nullptr);
    g_svc->LuaPushObject(o);
    g_svc->ReleaseOwnerEx(o);
    return 1;
}

VS_INT32 fMakePkg(void *) {
    VS_PARAPKGPTR p = g_svc->GetParaPkgInterface();
    p->InsertInt(0, 1);
    p->InsertStr(1, "two");
    VS_PARAPKGPTR sub = g_svc->GetParaPkgInterface();
    sub->InsertFloat(0, 3.5);
    p->InsertParaPackage(2, sub);
    sub->Release();
    p->InsertObject(3, g_svc->LuaToObject(1));
    g_svc->LuaPushParaPkg(p, VS_TRUE);
    return 1;
}

VS_INT32 fPkgSum(void *) {
    VS_PARAPKGPTR p = g_svc->LuaToParaPkg(2);
    VS_INT64 sum = 0;
    if (p)
        for (int i = 0; i < p->GetNumber(); ++i) sum += p->GetInt64(i);
    g_svc->LuaPushInt64(sum);
    return 1;
}

// The worker takes both locks (script lock first), calls a script function on
// the target by name with its own stack, and lets go.
VS_INT32 fSpawnWorker(void *) {
    if (g_worker.joinable()) g_worker.join();
    void *target = g_svc->LuaToObject(2);
    std::string name = g_svc->LuaToString(3) ? g_svc->LuaToString(3) : "";
    int n = g_svc->LuaToInt(4);
    g_workerDone = false;
    g_workerResult = -1;
    g_worker = std::thread([target, name, n]() {
        g_ctrl->CaptureScriptGIL();
        g_svc->XRQLock();
        VS_BOOL ok = VS_FALSE;
        VS_UWORD r = g_svc->ScriptCall(target, &ok, name.c_str(), "(z)z", n);
        g_workerOk = ok;
        g_workerResult = (int)r;
        g_ctrl->DetachCurrentThread();
        g_svc->XRQUnLock();
        g_ctrl->ReleaseScriptGIL();
        g_workerDone = true;
    });
    return 0;
}

VS_INT32 fWorkerDone(void *) {
    g_svc->LuaPushBool(g_workerDone.load());
    return 1;
}

VS_INT32 fWorkerResult(void *) {
    if (g_worker.joinable() && g_workerDone) g_worker.join();
    g_svc->LuaPushInt(g_workerOk ? g_workerResult.load() : -1);
    return 1;
}

VS_INT32 fDispatch(void *) {
    g_svc->LuaPushBool(g_ctrl->XRQDispatch(VS_FALSE));
    return 1;
}

VS_INT32 fCounts(void *) {
    g_svc->LuaPushInt(g_created);
    g_svc->LuaPushInt(g_freed);
    return 2;
}

VS_INT32 fReport(void *) {
    g_svc->ProcessError(6, "test_plugin", 42, "%s", g_svc->LuaToString(2) ? g_svc->LuaToString(2) : "");
    return 0;
}

// obj(n): a new object made from obj with Count = n.
VS_INT32 fQuelCall(void *) {
    void *self = g_svc->LuaToObject(1);
    void *o = g_svc->MallocObjectL(g_svc->GetIDEx(self), 0, nullptr);
    if (!o) {
        g_svc->LuaPushNil();
        return 1;
    }
    if (g_svc->LuaType(2) == VSLUATYPE_INT) ((Rec *)o)->Count = g_svc->LuaToInt(2);
    g_svc->LuaPushObject(o);
    g_svc->ReleaseOwnerEx(o);
    return 1;
}

VS_INT32 fQuelToString(void *) {
    void *self = g_svc->LuaToObject(1);
    std::string s = std::string("TP<") + g_svc->GetName(self) + ":" + std::to_string(((Rec *)self)->Count) + ">";
    g_svc->LuaPushString(s.c_str());
    return 1;
}

void *loadClass(void *root, const char *tmpl, const char *idText) {
    ClassOfXRQSXMLInterface *sx = g_svc->GetSXMLInterface();
    void *cls = nullptr;
    VS_UUID id;
    if (sx->LoadFromBuf(tmpl, 0) && g_svc->StringToUuid(idText, &id))
        cls = g_svc->XmlToObjectEx(sx, root, &id, handler, 0);
    sx->Release();
    return cls;
}

void bind(const char *cls, const char *name, VS_LUAFUNCPTR fn) {
    void *atomic = g_svc->GetAtomicObjectEx(nullptr, cls);
    g_svc->SetAtomicFunction(g_svc->GetAtomicFunctionByName(atomic, name), fn);
}

} // namespace

extern "C" __attribute__((visibility("default"))) VS_BOOL quel_trelk_Init2(ClassOfTarvex *tarvex,
                                                                           StructOfVSTarvexInterfaceTable *);
extern "C" __attribute__((visibility("default"))) void quel_trelk_Term2();

extern "C" __attribute__((visibility("default"))) VS_BOOL quel_trelk_Init2(ClassOfTarvex *tarvex,
                                                                           StructOfVSTarvexInterfaceTable *) {
    const char *refuse = getenv("TP_REFUSE");
    if (refuse && strcmp(refuse, "1") == 0) return VS_FALSE;
    g_basic = tarvex->GetBasicInterface();
    g_ctrl = g_basic->GetXRQControlInterface();
    g_svc = g_basic->GetXRQInterface(g_basic->QueryActiveService(nullptr), "", "");
    if (!g_svc || !g_ctrl) return VS_FALSE;
    g_svc->CreateSysRootItem("TestPlugin", "", nullptr, nullptr);
    void *root = g_svc->GetSysRootItem("TestPlugin");
    g_base = loadClass(root, kBaseTemplate, "6C1A3E20-0B7D-4E51-9A3B-2D5C7E8F9A01");
    g_derived = loadClass(root, kDerivedTemplate, "6C1A3E20-0B7D-4E51-9A3B-2D5C7E8F9A02");
    if (!g_base || !g_derived) return VS_FALSE;
    const struct {
        const char *name;
        VS_LUAFUNCPTR fn;
    } baseFns[] = {{"Add", fAdd},
                   {"Hello", fHello},
                   {"Strict", fStrict},
                   {"Types", fTypes},
                   {"Echo", fEcho},
                   {"MakeVector", fMakeVector},
                   {"GuardCount", fGuardCount},
                   {"RegOn", fRegOn},
                   {"SetRegValid", fSetRegValid},
                   {"CallByName", fCallByName},
                   {"CallTyped", fCallTyped},
                   {"IsDefined", fIsDefined},
                   {"AddSlot", fAddSlot},
                   {"MakeOwned", fMakeOwned},
                   {"MakePkg", fMakePkg},
                   {"PkgSum", fPkgSum},
                   {"SpawnWorker", fSpawnWorker},
                   {"WorkerDone", fWorkerDone},
                   {"WorkerResult", fWorkerResult},
                   {"Dispatch", fDispatch},
                   {"Counts", fCounts},
                   {"Report", fReport},
                   {"_QuelCall", fQuelCall},
                   {"_QuelToString", fQuelToString}};
    for (const auto &b : baseFns) bind("TPBase", b.name, b.fn);
    bind("TPDerived", "Twice", fTwice);
    return VS_TRUE;
}

extern "C" __attribute__((visibility("default"))) void quel_trelk_Term2() {
    if (g_worker.joinable()) {
        // A worker needs the locks we hold to finish.
        g_svc->XRQUnLock();
        g_ctrl->ReleaseScriptGIL();
        g_worker.join();
        g_ctrl->CaptureScriptGIL();
        g_svc->XRQLock();
    }
    if (g_svc) g_svc->Release();
    if (g_ctrl) g_ctrl->Release();
    g_svc = nullptr;
    g_ctrl = nullptr;
}
