// The helper set shared by every subsystem (see trelk_helpers.h).
#include "trelk_helpers.h"

#include <atomic>
#include <cstdint>
#include <cstring>

const VS_CHAR *Trelk_Name(void *Object)
{
    const VS_CHAR *Name = (Object != NULL && SRV != NULL) ? SRV->GetName(Object) : NULL;
    return Name != NULL ? Name : "";
}

const VS_CHAR *Trelk_IDText(void *Object)
{
    VS_UUID *ID = (Object != NULL && SRV != NULL) ? SRV->GetIDEx(Object) : NULL;
    if (ID == NULL)
        return "00000000-0000-0000-0000-000000000000";
    const VS_CHAR *Text = SRV->UuidToString(ID);
    return Text != NULL ? Text : "";
}

VS_BOOL Trelk_IsZeroID(const VS_UUID *ID)
{
    static const VS_UUID Zero = {};
    return memcmp(ID, &Zero, sizeof(VS_UUID)) == 0 ? VS_TRUE : VS_FALSE;
}

VS_BOOL Trelk_IDEqual(const VS_UUID *a, const VS_UUID *b)
{
    return memcmp(a, b, sizeof(VS_UUID)) == 0 ? VS_TRUE : VS_FALSE;
}

VS_BOOL Trelk_IsInstOf(void *Object, void *ClassObject)
{
    if (Object == NULL || ClassObject == NULL || SRV == NULL)
        return VS_FALSE;
    VS_UUID *ClassID = SRV->GetIDEx(ClassObject);
    return ClassID != NULL && SRV->IsInst(ClassID, Object) ? VS_TRUE : VS_FALSE;
}

VS_BOOL Trelk_IsOf(void *Object, void *ClassObject)
{
    if (Object != NULL && Object == ClassObject)
        return VS_TRUE;
    return Trelk_IsInstOf(Object, ClassObject);
}

// Keyed by the class pointer and the name's address: every caller names its
// attribute with a literal, so one attribute asked from several places takes
// one slot per place. Open addressing over a table that is never full (a
// place that finds no free slot just asks the host).
#define TRELK_ATTRCACHE_SIZE 256
struct TrelkAttrCacheEntry {
    void *ClassObject;
    const VS_CHAR *Name;
    OBJECTATTRIBUTEINDEX Index;
};
static TrelkAttrCacheEntry g_AttrCache[TRELK_ATTRCACHE_SIZE];

static size_t AttrSlot(void *ClassObject, const VS_CHAR *Name)
{
    uintptr_t Key = (uintptr_t)ClassObject * 31u ^ (uintptr_t)Name;
    Key ^= Key >> 17;
    Key *= 0x9E3779B1u;
    return (size_t)(Key >> 8) % TRELK_ATTRCACHE_SIZE;
}

OBJECTATTRIBUTEINDEX Trelk_ClassAttrIndex(void *ClassObject, const VS_CHAR *Name)
{
    if (ClassObject == NULL || Name == NULL || SRV == NULL)
        return VS_INVALID_ATTRIBUTEINDEX;
    // Every caller holds the host lock, which the table shares.
    size_t Slot = AttrSlot(ClassObject, Name);
    for (int Probe = 0; Probe < 8; Probe++, Slot = (Slot + 1) % TRELK_ATTRCACHE_SIZE) {
        TrelkAttrCacheEntry &Entry = g_AttrCache[Slot];
        if (Entry.ClassObject == ClassObject && Entry.Name == Name)
            return Entry.Index;
        if (Entry.ClassObject != NULL)
            continue;
        OBJECTATTRIBUTEINDEX Index = SRV->GetAttributeIndex(ClassObject, Name);
        // Only what the class answers is kept: a name it lacks is asked again.
        if (Index != VS_INVALID_ATTRIBUTEINDEX)
            Entry = TrelkAttrCacheEntry{ClassObject, Name, Index};
        return Index;
    }
    return SRV->GetAttributeIndex(ClassObject, Name);
}

void Trelk_ForgetClassAttrIndexes()
{
    for (TrelkAttrCacheEntry &Entry : g_AttrCache)
        Entry = TrelkAttrCacheEntry{NULL, NULL, 0};
}

void *Trelk_ObjectArg(VS_INT32 Index)
{
    if (SRV->LuaGetTop() < Index || SRV->LuaType(Index) != VSLUATYPE_OBJECT)
        return NULL;
    return Trelk_FromRawObject(SRV->LuaToObject(Index));
}

const VS_CHAR *Trelk_StringArg(VS_INT32 Index)
{
    if (SRV->LuaGetTop() < Index || SRV->LuaType(Index) != VSLUATYPE_STRING)
        return NULL;
    return SRV->LuaToString(Index);
}

VS_INT32 Trelk_PushBool(VS_BOOL Value)
{
    SRV->LuaPushBool(Value);
    return 1;
}

void Trelk_PushHandOver(void *Object)
{
    SRV->LuaPushObject(Object);
    if (Object != NULL)
        SRV->UnLockGC(Object);
}

static VS_INT32 CallBackListFind(VS_PARAPKGPTR List, void *Target)
{
    for (VS_INT32 i = 0; List != NULL && Target != NULL && i < List->GetNumber(); i++)
        if (List->GetType(i) == VSTYPE_OBJECT && List->GetObject(i) == Target)
            return i;
    return -1;
}

void Trelk_CallBackListAdd(VS_PARAPKGPTR List, void *Target)
{
    if (List != NULL && Target != NULL && CallBackListFind(List, Target) < 0)
        List->InsertObject(List->GetNumber(), Target);
}

void Trelk_CallBackListRemove(VS_PARAPKGPTR List, void *Target)
{
    VS_INT32 i = CallBackListFind(List, Target);
    if (i >= 0)
        List->Del(i);
}

namespace {

void RaiseV(void *Object, const VS_CHAR *Format, va_list Args)
{
    // The caller's text follows the object's "[ID:name]"; the object's own
    // name must not be read as a format.
    VS_CHAR Text[VSALARMTEXTTEMPBUF_SIZE];
    vs_string_vsnprintf(Text, (VS_INT32)sizeof(Text), Format, Args);
    QZRealmBase_RaiseException(Object, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "[%s:%s]%s",
                               Trelk_IDText(Object), Trelk_Name(Object), Text);
}

} // namespace

void Trelk_Raise(void *Object, const VS_CHAR *Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    RaiseV(Object, Format, Args);
    va_end(Args);
}

void Trelk_RaiseText(const VS_CHAR *Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    QZRealmBase_RaiseExceptionV(NULL, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, Format, Args);
    va_end(Args);
}

VS_INT32 Trelk_Fail(void *Object, const VS_CHAR *Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    RaiseV(Object, Format, Args);
    va_end(Args);
    SRV->LuaPushNil();
    return 1;
}

VS_INT32 Trelk_FailFalse(void *Object, const VS_CHAR *Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    RaiseV(Object, Format, Args);
    va_end(Args);
    SRV->LuaPushBool(VS_FALSE);
    return 1;
}

VS_INT32 Trelk_FailText(const VS_CHAR *Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    QZRealmBase_RaiseExceptionV(NULL, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, Format, Args);
    va_end(Args);
    SRV->LuaPushNil();
    return 1;
}

// The child after the last one passed over, or the first; NULL when the
// passed-over child is gone or no longer under the queue's owner.
static void *DrainFront(TrelkDrain *Drain) {
    uint64_t Serial = Trelk_ScriptSerial();
    if (Serial != Drain->Serial) {
        // A script ran: the queue is read only while its owner lives.
        if (Drain->Owner == NULL || SRV->GetObject(&Drain->OwnerID) != Drain->Owner)
            return NULL;
        Drain->Serial = Serial;
    }
    if (Drain->Passed == NULL) return SRV->QueryFirst(Drain->QueueHead);
    if (SRV->GetObject(&Drain->PassedID) != Drain->Passed || SRV->GetParent(Drain->Passed) != Drain->Owner)
        return NULL;
    return SRV->QueryNext(Drain->Passed);
}

void *Trelk_DrainFirst(TrelkDrain *Drain, void *QueueHead) {
    Drain->QueueHead = QueueHead;
    Drain->Passed = NULL;
    vs_memset(&Drain->PassedID, 0, sizeof(VS_UUID));
    void *First = SRV != NULL && QueueHead != NULL ? SRV->QueryFirst(QueueHead) : NULL;
    Drain->Owner = First != NULL ? SRV->GetParent(First) : NULL;
    Drain->OwnerID = Drain->Owner != NULL ? SRV->GetID(Drain->Owner) : VS_UUID{};
    Drain->Serial = Trelk_ScriptSerial();
    return First;
}

void *Trelk_DrainNext(TrelkDrain *Drain, void *Done) {
    void *Front = DrainFront(Drain);
    if (Front != NULL && Front == Done) {
        Drain->Passed = Done;
        Drain->PassedID = SRV->GetID(Done);
        Front = SRV->QueryNext(Done);
    }
    return Front;
}

// A module worker (asynchronous proc, proc run, stepping) takes the locks
// first thing and gives them up last: its first take marks it. Shutdown
// waits for workers by their own registry and joins; only script threads,
// which came in with the locks and go back to their scripts with them, are
// counted while they are away.
static thread_local VS_BOOL t_ModuleThread = VS_FALSE;
static thread_local VS_INT32 t_Away = 0;
static std::atomic<VS_INT32> g_Away{0};
static std::atomic<bool> g_ShuttingDown{false};

static void GoAway()
{
    if (t_ModuleThread)
        return;
    t_Away++;
    g_Away.fetch_add(1);
}

static void ComeBack()
{
    if (t_Away == 0) {
        t_ModuleThread = VS_TRUE;
        return;
    }
    t_Away--;
    g_Away.fetch_sub(1);
}

void Trelk_UnlockForWait()
{
    if (SRV == NULL || QZObject_XRQControlInteface == NULL)
        return;
    GoAway();
    SRV->XRQUnLock();
    QZObject_XRQControlInteface->ReleaseScriptGIL();
}

VS_BOOL Trelk_RelockAfterWait()
{
    ClassOfXRQControlInterface *Control = QZObject_XRQControlInteface;
    if (SRV == NULL || Control == NULL)
        return VS_FALSE;
    Control->CaptureScriptGIL();
    // Shutdown runs with both locks: with the script lock taken, it has either
    // not ended or ended while this thread waited and let go of the host's
    // interfaces. The thread then keeps the script lock alone, for the script
    // it goes back to.
    ComeBack();
    ClassOfXRQInterface *Srv = QZObject_XRQInterface;
    if (Srv == NULL)
        return VS_FALSE;
    Srv->XRQLock();
    return VS_TRUE;
}

VS_BOOL Trelk_DispatchAll()
{
    ClassOfXRQControlInterface *Control = QZObject_XRQControlInteface;
    if (Control == NULL)
        return VS_FALSE;
    GoAway();
    while (Control->XRQDispatch(VS_FALSE) && QZObject_XRQInterface != NULL)
        ;
    ComeBack();
    return QZObject_XRQInterface != NULL ? VS_TRUE : VS_FALSE;
}

void Trelk_SetShuttingDown(VS_BOOL On)
{
    g_ShuttingDown.store(On != VS_FALSE);
}

VS_BOOL Trelk_ShuttingDown()
{
    return g_ShuttingDown.load() ? VS_TRUE : VS_FALSE;
}

VS_INT32 Trelk_WaitsAway()
{
    return g_Away.load();
}
