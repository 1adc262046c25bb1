// Proc runs from saved objects: RunString and RunStringEx, and their
// asynchronous forms, rebuild the procs of a saved object package (or of its
// JSON text) and run them as RunProc runs procs it is given.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"

struct StringRunForm {
    const VS_CHAR *NotText;    // missing or empty text
    const VS_CHAR *NotJSon;    // text that is no JSON
    const VS_CHAR *NotPackage; // missing package
    const VS_CHAR *NoProcs;    // nothing could be rebuilt
};

static const StringRunForm RunStringForm = {"call RunString failed, input is not string or empty",
                                            "call RunString failed, input is not json string", NULL,
                                            "call RunString failed, no procs can be restore from input string"};
static const StringRunForm RunStringExForm = {NULL, NULL, "call RunStringEx failed, input is not ParaPkg",
                                              "call RunStringEx failed, no procs can be restore from input ParaPkg"};
static const StringRunForm AsyncRunStringForm = {
    "call AsyncRunString failed, input is not string or empty", "call AsyncRunString failed, input is not json string",
    NULL, "call AsyncRunString failed, no procs can be restore from input string"};
static const StringRunForm AsyncRunStringExForm = {
    NULL, NULL, "call AsyncRunString failed, input is ParaPkg",
    "call AsyncRunString failed, no procs can be restore from input ParaPkg"};

static VS_INT32 Fail(StructOfQZRealmBase *Realm, const VS_CHAR *Text, VS_BOOL IsAsync)
{
    if (Realm != NULL && Text != NULL)
        QZRealmBase_RaiseException(Realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "%s", Text);
    if (IsAsync)
        return Trelk_PushBool(VS_FALSE);
    return QZRealmBase_RunProc_Return(NULL, VS_FALSE);
}

// Keeps exactly Count values on the stack: the arguments read, nil for the
// ones not given.
static void StackTo(VS_INT32 Count)
{
    VS_INT32 Top = SRV->LuaGetTop();
    if (Top > Count)
        SRV->LuaPop(Top - Count);
    for (; Top < Count; Top++)
        SRV->LuaPushNil();
}

// The saved objects are the argument after the input data and the expected
// outputs (and the requesting proc of an asynchronous run).
static VS_INT32 Run(const StringRunForm *Form, VS_BOOL IsText, VS_BOOL IsAsync)
{
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    if (Realm == NULL)
        return Fail(NULL, NULL, IsAsync);
    VS_INT32 Position = IsAsync ? 5 : 4;
    VS_PARAPKGPTR Saved = NULL;
    if (IsText) {
        const VS_CHAR *Text = SRV->LuaType(Position) == VSLUATYPE_STRING ? SRV->LuaToString(Position) : NULL;
        if (Text == NULL || Text[0] == 0)
            return Fail(Realm, Form->NotText, IsAsync);
        Saved = Trelk_GetParaPkgInterface(__LINE__);
        if (!Saved->FromJSon(Text)) {
            // The host's reason names where the text went wrong; without it
            // a long saved text is a guess.
            const VS_CHAR *Why = Saved->GetJSonError();
            QZRealmBase_RaiseException(Realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "%s (%s)", Form->NotJSon,
                                       Why != NULL ? Why : "the text does not read");
            Saved->Release();
            return Fail(NULL, NULL, IsAsync);
        }
    } else {
        Saved = SRV->LuaType(Position) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(Position) : NULL;
        if (Saved == NULL)
            return Fail(Realm, Form->NotPackage, IsAsync);
        Saved->AddRef();
    }
    VS_UUID RealmID = SRV->GetID(Realm);
    // The rebuilt objects keep the locks they were made with until they
    // are on the stack: a host may free an object at its last unlock.
    VS_PARAPKGPTR Objects = QZRealmBase_LoadObjectHeld_Internal(Realm, Saved, VS_FALSE);
    Saved->Release();
    // Loading runs creation events.
    Realm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    if (Objects == NULL || Objects->GetNumber() == 0 || !TrelkRealm_IsRealm(Realm)) {
        if (Objects != NULL) {
            QZRealmBase_LoadObject_LetGo_Internal(Objects);
            Objects->Release();
        }
        return Fail(TrelkRealm_IsRealm(Realm) ? Realm : NULL, Form->NoProcs, IsAsync);
    }
    // The rebuilt objects follow the arguments; their places on the stack
    // hold them through the run.
    StackTo(Position);
    for (VS_INT32 i = 0; i < Objects->GetNumber(); i++)
        SRV->LuaPushObject(Objects->GetType(i) == VSTYPE_OBJECT ? Objects->GetObject(i) : NULL);
    QZRealmBase_LoadObject_LetGo_Internal(Objects);
    Objects->Release();
    if (!IsAsync) {
        SRV->LuaPushNil();
        SRV->LuaInsert(2);
    }
    return QZRealmBase_RunProc_Internal(NULL, 6, VS_FALSE);
}

VS_INT32 QZRealmBase_RunString(void *L)
{
    (void)L;
    return Run(&RunStringForm, VS_TRUE, VS_FALSE);
}

VS_INT32 QZRealmBase_RunStringEx(void *L)
{
    (void)L;
    return Run(&RunStringExForm, VS_FALSE, VS_FALSE);
}

VS_INT32 QZRealmBase_AsyncRunString(void *L)
{
    (void)L;
    if (!TrelkRealm_RunProc_RequestOk("AsyncRunString"))
        return Trelk_PushBool(VS_FALSE);
    return Run(&AsyncRunStringForm, VS_TRUE, VS_TRUE);
}

VS_INT32 QZRealmBase_AsyncRunStringEx(void *L)
{
    (void)L;
    if (!TrelkRealm_RunProc_RequestOk("AsyncRunStringEx"))
        return Trelk_PushBool(VS_FALSE);
    return Run(&AsyncRunStringExForm, VS_FALSE, VS_TRUE);
}
