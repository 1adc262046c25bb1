// ClassOfXRQObject: a host object bound to the service interface that owns
// it, with the host's per-object operations as members. Exported by the
// Windows DLL for host-side programs; nothing in the module uses it.
//
// One wrapper per object and layer is registered with the host as the
// object's application class; the host tells the registered wrapper when it
// moves or frees the object.
#ifndef CLASSOFXRQOBJECT_H
#define CLASSOFXRQOBJECT_H

#include "xrq_sdk.h"

// Layer argument meaning "the object's own layer" (the host's GetLayer).
#define XRQ_OWNLAYER 0xFFFFFFFFu

// The system events a wrapper registers handlers for (Put_E_<event>), with
// their host identifiers.
#define XRQ_SYSEVENTS(X)                                                                                     \
    X(OnBeforeFirstCreate, 1)                                                                                \
    X(OnFirstCreate, 2)                                                                                      \
    X(OnMalloc, 3)                                                                                           \
    X(OnFree, 4)                                                                                             \
    X(OnCreate, 5)                                                                                           \
    X(OnDestory, 6)                                                                                          \
    X(OnCreateChild, 7)                                                                                      \
    X(OnDestoryChild, 8)                                                                                     \
    X(OnActivating, 9)                                                                                       \
    X(OnDeactivating, 16)                                                                                    \
    X(OnActivate, 17)                                                                                        \
    X(OnDeactivate, 18)                                                                                      \
    X(OnActivateChild, 19)                                                                                   \
    X(OnDeactivateChild, 20)                                                                                 \
    X(OnAttributeBeforeChange, 21)                                                                           \
    X(OnAttributeChange, 22)                                                                                 \
    X(OnParentBeforeChange, 23)                                                                              \
    X(OnParentChange, 24)                                                                                    \
    X(OnStaticChange, 25)                                                                                    \
    X(OnScriptChange, 26)                                                                                    \
    X(OnBeforeDestory, 27)                                                                                   \
    X(OnBecomeSync, 48)                                                                                      \
    X(OnSyncGroupChange, 64)                                                                                 \
    X(OnChildSyncGroupChange, 65)                                                                            \
    X(OnActiveSetChange, 66)                                                                                 \
    X(OnLoadMask, 82)                                                                                        \
    X(OnLoadFinish, 83)                                                                                      \
    X(OnRemoteSend, 96)                                                                                      \
    X(OnCall, 97)

class XRQ_SDK_EXPORT ClassOfXRQObject {
  public:
    ClassOfXRQObject();
    // Copies the fields as they stand; registers nothing.
    ClassOfXRQObject(const ClassOfXRQObject &Other);
    ClassOfXRQObject &operator=(const ClassOfXRQObject &Other);
    virtual ~ClassOfXRQObject();
    // Destroys the wrapper and frees its memory (it must come from new).
    virtual void Release();
    // The base answers an empty text (a shared static buffer).
    virtual VS_CHAR *GetSelfName();

    // ---- binding ----
    void WrapObject(ClassOfXRQInterface *Interface, bool AutoReleaseObject, bool AutoReleaseSelf, void *Object,
                    VS_ULONG ClassLayer);
    void UnWrapObject();
    // Binds without registering: a transient view of the object.
    void ProcessObject(ClassOfXRQInterface *Interface, void *Object);
    // The registered wrapper of the object at that layer, or a new one that
    // owns itself (never the object). NULL for a NULL interface or object.
    static ClassOfXRQObject *GetXRQWrap(ClassOfXRQInterface *Interface, void *Object, VS_ULONG ClassLayer);

    // ---- accessors ----
    void *GetXRQObject();
    ClassOfXRQInterface *GetXRQInterface();
    bool GetAutoReleaseObject();
    void SetAutoReleaseObject(bool Flag);
    bool GetAutoReleaseSelf();
    void SetAutoReleaseSelf(bool Flag);

    // ---- plain forwarders ----
#define XRQ_OBJ(R, Name, Params, Args) R Name Params;
#define XRQ_GEN(R, Member, Host, HostParams, HostArgs, MemberParams, CallArgs) R Member MemberParams;
#include "ClassOfXRQObject_Forwards.h"
#undef XRQ_OBJ
#undef XRQ_GEN

    // ---- forwarders that answer with the wrapper of the host's object ----
    ClassOfXRQObject *GetChildByID(VS_UINT8 AttributeIndex, VS_UINT16 ID);
    ClassOfXRQObject *GetClass();
    ClassOfXRQObject *GetClientObject();
    ClassOfXRQObject *GetNextEx();
    ClassOfXRQObject *GetParent();
    ClassOfXRQObject *GetPrevEx();
    ClassOfXRQObject *LuaToObject(VS_INT32 Index);
    ClassOfXRQObject *QueryFirst(void *ParentObject);
    ClassOfXRQObject *QueryNext();
    ClassOfXRQObject *QueryPrev();
    ClassOfXRQObject *QueryFirstActiveChild(VS_UWORD *Context);
    ClassOfXRQObject *QueryNextActiveChild(VS_UWORD *Context);
    ClassOfXRQObject *QueryFirstInst(VS_QUERYRECORD *QueryRecord);
    ClassOfXRQObject *QueryNextInst(VS_QUERYRECORD *QueryRecord);

    // ---- members that take wrappers ----
    VS_BOOL IsChild(ClassOfXRQObject *Child);
    VS_BOOL ChangeParent(ClassOfXRQObject *Parent, VS_UINT8 AttributeIndex);
    // Into the queue of Parent that the host chooses; false when none can
    // take the object. A NULL parent detaches.
    bool ChangeParent(ClassOfXRQObject *Parent);

    // ---- members that add arguments ----
    VS_BOOL GetNameBoolValue(const VS_CHAR *Name, VS_BOOL Default);
    VS_INT32 GetNameIntValue(const VS_CHAR *Name, VS_INT32 Default);
    VS_DOUBLE GetNameFloatValue(const VS_CHAR *Name, VS_DOUBLE Default);
    VS_BOOL CreateOVLFunction(VS_UUID *FunctionID, void *Function);
    VS_BOOL CreateOVLInEvent(VS_UUID *EventID, void *Function);
    VS_BOOL RegSysEventFunction(VS_ULONG EventID, void *Function);
    void UnRegSysEventFunction(VS_ULONG EventID, void *Function);
    VS_BOOL RegSysEventFunctionEx(VS_ULONG EventID, void *Function, VS_UWORD Para);
    void UnRegSysEventFunctionEx(VS_ULONG EventID, void *Function, VS_UWORD Para);
    VS_BOOL RegEventFunction(VS_UUID *EventID, void *Function);
    VS_BOOL RegEventFunctionEx(ClassOfXRQObject *Source, VS_UUID *EventID, void *Function, VS_UWORD Para);
    void UnRegEventFunction(VS_UUID *EventID, void *Function);
    void UnRegEventFunctionEx(ClassOfXRQObject *Source, VS_UUID *EventID, void *Function, VS_UWORD Para);

    // ---- remote calls ----
    VS_BOOL RemoteCall(VS_ULONG ClientID, VS_UUID *FunctionID, ...);
    VS_UWORD RemoteCallEx(VS_ULONG ClientID, VS_UUID *FunctionID, ...);
    VS_UWORD SRemoteCall(VS_ULONG WaitTime, VS_ULONG ClientID, VS_ULONG *RetCode, VS_UUID *FunctionID, ...);
    VS_BOOL ARemoteCall(VS_ULONG WaitTime, VS_ULONG ClientID, VS_REMOTECALLRSP CallBack, VS_UWORD Para,
                        VS_UUID *FunctionID, ...);
    VS_BOOL RemoteCallVar(VS_ULONG ClientID, VS_UUID *FunctionID, va_list Args);
    VS_UWORD RemoteCallExVar(VS_ULONG ClientID, VS_UUID *FunctionID, va_list Args);
    VS_UWORD SRemoteCallVar(VS_ULONG WaitTime, VS_ULONG ClientID, VS_ULONG *RetCode, VS_UUID *FunctionID,
                            va_list Args);
    VS_BOOL ARemoteCallVar(VS_ULONG WaitTime, VS_ULONG ClientID, VS_REMOTECALLRSP CallBack, VS_UWORD Para,
                           VS_UUID *FunctionID, va_list Args);

    // ---- system-event handlers: Put_E_<event> registers, Get_E_<event> answers NULL ----
#define XRQ_EVENT_MEMBERS(Event, ID)                                                                         \
    void Put_E_##Event(VS_EVENTHANDLER Handler);                                                             \
    VS_EVENTHANDLER Get_E_##Event();
    XRQ_SYSEVENTS(XRQ_EVENT_MEMBERS)
#undef XRQ_EVENT_MEMBERS

    // ---- fields, in this order ----
    VS_UINT8 WrapFlag;        // registered with the host as RawObject's application class
    VS_ULONG AppClassLayer;   // the layer of that registration
    void *RawObject;          // the bound host object; NULL when unbound
    // The host's service interface, seen with the operations beyond the
    // module's contract: a host hands the wrapper its full interface.
    ClassOfXRQInterfaceEx *XRQInterface;
    VS_UINT8 AutoReleaseObject; // the wrapper frees RawObject when it lets go of it
    VS_UINT8 AutoReleaseSelf;   // the wrapper deletes itself when the object goes or its registration is taken

  private:
    // Detaches another wrapper registered for Object at ClassLayer.
    void ReleaseAttachClass(void *Object, VS_ULONG ClassLayer);
    // The registered wrapper of a result object, or a new self-owning one.
    ClassOfXRQObject *XRQObjectWrap(void *Object);
    // Unregisters from the host and frees the object when it is owned;
    // FreeIt false keeps the object alive whatever the flag.
    void LetGo(bool FreeIt);
};

#endif
