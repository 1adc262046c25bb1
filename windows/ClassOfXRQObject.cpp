// ClassOfXRQObject: construction, binding, the host's notices and the
// members with logic of their own. The plain forwarders are in
// ClassOfXRQObject_Forward.cpp.
#include "ClassOfXRQObject.h"

#include <new>

namespace {

VS_CHAR g_SelfName[64];

// The host's notice that the wrapper's object moved (NewObject its new
// address) or was freed (NULL). Registered with the wrapper as parameter.
void ClassOfXRQObject_ReMallocNotify(void *OldObject, VS_UWORD Para, void *NewObject)
{
    (void)OldObject;
    ClassOfXRQObject *Wrap = (ClassOfXRQObject *)(uintptr_t)Para;
    if (Wrap == nullptr)
        return;
    Wrap->RawObject = NewObject;
    if (NewObject != nullptr)
        return;
    // The object is gone: nothing is left to unregister or free.
    if (Wrap->AutoReleaseSelf)
        Wrap->Release();
    else
        Wrap->UnWrapObject();
}

inline VS_UWORD ParaOf(ClassOfXRQObject *Wrap)
{
    return (VS_UWORD)(uintptr_t)Wrap;
}

} // namespace

ClassOfXRQObject::ClassOfXRQObject()
    : WrapFlag(0), AppClassLayer(0), RawObject(nullptr), XRQInterface(nullptr), AutoReleaseObject(0),
      AutoReleaseSelf(0)
{
}

ClassOfXRQObject::ClassOfXRQObject(const ClassOfXRQObject &Other)
    : WrapFlag(Other.WrapFlag), AppClassLayer(Other.AppClassLayer), RawObject(Other.RawObject),
      XRQInterface(Other.XRQInterface), AutoReleaseObject(Other.AutoReleaseObject),
      AutoReleaseSelf(Other.AutoReleaseSelf)
{
}

ClassOfXRQObject &ClassOfXRQObject::operator=(const ClassOfXRQObject &Other)
{
    WrapFlag = Other.WrapFlag;
    AppClassLayer = Other.AppClassLayer;
    RawObject = Other.RawObject;
    XRQInterface = Other.XRQInterface;
    AutoReleaseObject = Other.AutoReleaseObject;
    AutoReleaseSelf = Other.AutoReleaseSelf;
    return *this;
}

ClassOfXRQObject::~ClassOfXRQObject()
{
    LetGo(true);
}

void ClassOfXRQObject::Release()
{
    delete this;
}

VS_CHAR *ClassOfXRQObject::GetSelfName()
{
    g_SelfName[0] = 0;
    return g_SelfName;
}

void ClassOfXRQObject::LetGo(bool FreeIt)
{
    if (RawObject == nullptr || WrapFlag != 1 || XRQInterface == nullptr)
        return;
    XRQInterface->UnRegReMallocCallBack(RawObject, ClassOfXRQObject_ReMallocNotify, ParaOf(this));
    XRQInterface->SetAppClass(RawObject, AppClassLayer, nullptr);
    if (FreeIt && AutoReleaseObject == 1)
        XRQInterface->FreeObject(RawObject);
}

void ClassOfXRQObject::WrapObject(ClassOfXRQInterface *HostInterface, bool AutoReleaseObjectFlag,
                                  bool AutoReleaseSelfFlag, void *Object, VS_ULONG ClassLayer)
{
    ClassOfXRQInterfaceEx *Interface = static_cast<ClassOfXRQInterfaceEx *>(HostInterface);
    if (Object != nullptr && ClassLayer == XRQ_OWNLAYER && Interface != nullptr)
        ClassLayer = Interface->GetLayer(Object);
    if (Object != nullptr && Interface != nullptr && ClassLayer == AppClassLayer &&
        Interface->GetAppClass(Object, ClassLayer) == (void *)this) {
        AutoReleaseObject = AutoReleaseObjectFlag ? 1 : 0;
        AutoReleaseSelf = AutoReleaseSelfFlag ? 1 : 0;
        return;
    }
    // Moving to another layer of the same object must not free the object
    // that the wrapper is about to register on.
    LetGo(Object != RawObject);
    XRQInterface = Interface;
    ReleaseAttachClass(Object, ClassLayer);
    AppClassLayer = ClassLayer;
    WrapFlag = 1;
    RawObject = Object;
    AutoReleaseObject = AutoReleaseObjectFlag ? 1 : 0;
    AutoReleaseSelf = AutoReleaseSelfFlag ? 1 : 0;
    if (Object != nullptr && Interface != nullptr) {
        Interface->RegReMallocCallBack(Object, ClassOfXRQObject_ReMallocNotify, ParaOf(this));
        Interface->SetAppClass(Object, ClassLayer, this);
    }
}

void ClassOfXRQObject::ReleaseAttachClass(void *Object, VS_ULONG ClassLayer)
{
    if (Object == nullptr || XRQInterface == nullptr)
        return;
    ClassOfXRQObject *Other = (ClassOfXRQObject *)XRQInterface->GetAppClass(Object, ClassLayer);
    if (Other == nullptr || Other == this)
        return;
    ClassOfXRQInterfaceEx *OtherInterface = Other->XRQInterface != nullptr ? Other->XRQInterface : XRQInterface;
    OtherInterface->SetAppClass(Other->RawObject, ClassLayer, nullptr);
    Other->AutoReleaseObject = 0;
    OtherInterface->UnRegReMallocCallBack(Other->RawObject, ClassOfXRQObject_ReMallocNotify, ParaOf(Other));
    Other->RawObject = nullptr;
    Other->WrapFlag = 0;
    if (Other->AutoReleaseSelf)
        Other->Release();
}

void ClassOfXRQObject::UnWrapObject()
{
    LetGo(true);
    WrapFlag = 0;
    AutoReleaseObject = 0;
    RawObject = nullptr;
}

void ClassOfXRQObject::ProcessObject(ClassOfXRQInterface *HostInterface, void *Object)
{
    ClassOfXRQInterfaceEx *Interface = static_cast<ClassOfXRQInterfaceEx *>(HostInterface);
    // The registration is withdrawn before the flag drops: left in place it
    // would keep pointing the host at a wrapper that no longer answers for it.
    LetGo(true);
    WrapFlag = 0;
    XRQInterface = Interface;
    RawObject = Object;
    AutoReleaseObject = 0;
}

ClassOfXRQObject *ClassOfXRQObject::GetXRQWrap(ClassOfXRQInterface *HostInterface, void *Object,
                                               VS_ULONG ClassLayer)
{
    ClassOfXRQInterfaceEx *Interface = static_cast<ClassOfXRQInterfaceEx *>(HostInterface);
    if (Interface == nullptr || Object == nullptr)
        return nullptr;
    if (ClassLayer == XRQ_OWNLAYER)
        ClassLayer = Interface->GetLayer(Object);
    ClassOfXRQObject *Wrap = (ClassOfXRQObject *)Interface->GetAppClass(Object, ClassLayer);
    if (Wrap != nullptr)
        return Wrap;
    Wrap = new (std::nothrow) ClassOfXRQObject();
    if (Wrap == nullptr)
        return nullptr;
    Wrap->WrapObject(Interface, false, true, Object, ClassLayer);
    return Wrap;
}

ClassOfXRQObject *ClassOfXRQObject::XRQObjectWrap(void *Object)
{
    if (Object == nullptr || XRQInterface == nullptr)
        return nullptr;
    return GetXRQWrap(XRQInterface, Object, XRQ_OWNLAYER);
}

// ---------------------------------------------------------------------------
// Accessors
// ---------------------------------------------------------------------------

void *ClassOfXRQObject::GetXRQObject()
{
    return RawObject;
}

ClassOfXRQInterface *ClassOfXRQObject::GetXRQInterface()
{
    return XRQInterface;
}

bool ClassOfXRQObject::GetAutoReleaseObject()
{
    return AutoReleaseObject != 0;
}

void ClassOfXRQObject::SetAutoReleaseObject(bool Flag)
{
    AutoReleaseObject = Flag ? 1 : 0;
}

bool ClassOfXRQObject::GetAutoReleaseSelf()
{
    return AutoReleaseSelf != 0;
}

void ClassOfXRQObject::SetAutoReleaseSelf(bool Flag)
{
    AutoReleaseSelf = Flag ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Members that answer with wrappers
// ---------------------------------------------------------------------------

ClassOfXRQObject *ClassOfXRQObject::GetChildByID(VS_UINT8 AttributeIndex, VS_UINT16 ID)
{
    return XRQObjectWrap(XRQInterface->GetChildByID(RawObject, AttributeIndex, ID));
}

ClassOfXRQObject *ClassOfXRQObject::GetClass()
{
    return XRQObjectWrap(XRQInterface->GetClass(RawObject));
}

ClassOfXRQObject *ClassOfXRQObject::GetClientObject()
{
    return XRQObjectWrap(XRQInterface->GetClientObject());
}

ClassOfXRQObject *ClassOfXRQObject::GetNextEx()
{
    return XRQObjectWrap(XRQInterface->GetNextEx(RawObject));
}

ClassOfXRQObject *ClassOfXRQObject::GetParent()
{
    return XRQObjectWrap(XRQInterface->GetParent(RawObject));
}

ClassOfXRQObject *ClassOfXRQObject::GetPrevEx()
{
    return XRQObjectWrap(XRQInterface->GetPrevEx(RawObject));
}

ClassOfXRQObject *ClassOfXRQObject::LuaToObject(VS_INT32 Index)
{
    return XRQObjectWrap(XRQInterface->LuaToObject(Index));
}

ClassOfXRQObject *ClassOfXRQObject::QueryFirst(void *ParentObject)
{
    return XRQObjectWrap(XRQInterface->QueryFirst(ParentObject));
}

ClassOfXRQObject *ClassOfXRQObject::QueryNext()
{
    return XRQObjectWrap(XRQInterface->QueryNext(RawObject));
}

ClassOfXRQObject *ClassOfXRQObject::QueryPrev()
{
    return XRQObjectWrap(XRQInterface->QueryPrev(RawObject));
}

ClassOfXRQObject *ClassOfXRQObject::QueryFirstActiveChild(VS_UWORD *Context)
{
    return XRQObjectWrap(XRQInterface->QueryFirstActiveChild(RawObject, Context));
}

ClassOfXRQObject *ClassOfXRQObject::QueryNextActiveChild(VS_UWORD *Context)
{
    return XRQObjectWrap(XRQInterface->QueryNextActiveChild(Context));
}

ClassOfXRQObject *ClassOfXRQObject::QueryFirstInst(VS_QUERYRECORD *QueryRecord)
{
    return XRQObjectWrap(XRQInterface->QueryFirstInst(QueryRecord, RawObject));
}

ClassOfXRQObject *ClassOfXRQObject::QueryNextInst(VS_QUERYRECORD *QueryRecord)
{
    return XRQObjectWrap(XRQInterface->QueryNextInst(QueryRecord, RawObject));
}

// ---------------------------------------------------------------------------
// Members that take wrappers
// ---------------------------------------------------------------------------

VS_BOOL ClassOfXRQObject::IsChild(ClassOfXRQObject *Child)
{
    return XRQInterface->IsChild(RawObject, Child != nullptr ? Child->RawObject : nullptr);
}

VS_BOOL ClassOfXRQObject::ChangeParent(ClassOfXRQObject *Parent, VS_UINT8 AttributeIndex)
{
    return XRQInterface->ChangeParent(RawObject, Parent != nullptr ? Parent->RawObject : nullptr, AttributeIndex);
}

bool ClassOfXRQObject::ChangeParent(ClassOfXRQObject *Parent)
{
    if (Parent == nullptr) {
        XRQInterface->ChangeParent(RawObject, nullptr, 0);
        return true;
    }
    OBJECTATTRIBUTEINDEX Index = XRQInterface->AllocQueue(Parent->RawObject, RawObject);
    if (Index == XRQ_NO_QUEUE)
        return false;
    XRQInterface->ChangeParent(RawObject, Parent->RawObject, Index);
    return true;
}

// ---------------------------------------------------------------------------
// Members that add arguments
// ---------------------------------------------------------------------------

VS_BOOL ClassOfXRQObject::GetNameBoolValue(const VS_CHAR *Name, VS_BOOL Default)
{
    VS_BOOL Value = Default;
    XRQInterface->GetNameBoolValue(RawObject, Name, &Value, Default);
    return Value;
}

VS_INT32 ClassOfXRQObject::GetNameIntValue(const VS_CHAR *Name, VS_INT32 Default)
{
    VS_INT32 Value = Default;
    XRQInterface->GetNameIntValue(RawObject, Name, &Value, Default);
    return Value;
}

VS_DOUBLE ClassOfXRQObject::GetNameFloatValue(const VS_CHAR *Name, VS_DOUBLE Default)
{
    VS_DOUBLE Value = Default;
    XRQInterface->GetNameFloatValue(RawObject, Name, &Value, Default);
    return Value;
}

VS_BOOL ClassOfXRQObject::CreateOVLFunction(VS_UUID *FunctionID, void *Function)
{
    return XRQInterface->CreateOVLFunction(RawObject, FunctionID, Function, nullptr);
}

VS_BOOL ClassOfXRQObject::CreateOVLInEvent(VS_UUID *EventID, void *Function)
{
    return XRQInterface->CreateOVLInEvent(RawObject, EventID, Function, nullptr);
}

VS_BOOL ClassOfXRQObject::RegSysEventFunction(VS_ULONG EventID, void *Function)
{
    return XRQInterface->RegSysEventFunction(RawObject, EventID, Function, 0);
}

void ClassOfXRQObject::UnRegSysEventFunction(VS_ULONG EventID, void *Function)
{
    XRQInterface->UnRegSysEventFunction(RawObject, EventID, Function, 0);
}

VS_BOOL ClassOfXRQObject::RegSysEventFunctionEx(VS_ULONG EventID, void *Function, VS_UWORD Para)
{
    return XRQInterface->RegSysEventFunction(RawObject, EventID, Function, Para);
}

void ClassOfXRQObject::UnRegSysEventFunctionEx(VS_ULONG EventID, void *Function, VS_UWORD Para)
{
    XRQInterface->UnRegSysEventFunction(RawObject, EventID, Function, Para);
}

VS_BOOL ClassOfXRQObject::RegEventFunction(VS_UUID *EventID, void *Function)
{
    return XRQInterface->RegEventFunction(RawObject, EventID, RawObject, Function, 0);
}

VS_BOOL ClassOfXRQObject::RegEventFunctionEx(ClassOfXRQObject *Source, VS_UUID *EventID, void *Function,
                                             VS_UWORD Para)
{
    return XRQInterface->RegEventFunction(Source != nullptr ? Source->RawObject : nullptr, EventID, RawObject,
                                          Function, Para);
}

void ClassOfXRQObject::UnRegEventFunction(VS_UUID *EventID, void *Function)
{
    XRQInterface->UnRegEventFunction(RawObject, EventID, RawObject, Function, 0);
}

void ClassOfXRQObject::UnRegEventFunctionEx(ClassOfXRQObject *Source, VS_UUID *EventID, void *Function,
                                            VS_UWORD Para)
{
    XRQInterface->UnRegEventFunction(Source != nullptr ? Source->RawObject : nullptr, EventID, RawObject,
                                     Function, Para);
}

// ---------------------------------------------------------------------------
// Remote calls
// ---------------------------------------------------------------------------

VS_BOOL ClassOfXRQObject::RemoteCall(VS_ULONG ClientID, VS_UUID *FunctionID, ...)
{
    va_list Args;
    va_start(Args, FunctionID);
    VS_BOOL r = XRQInterface->RemoteCallVar(ClientID, RawObject, FunctionID, Args);
    va_end(Args);
    return r;
}

VS_UWORD ClassOfXRQObject::RemoteCallEx(VS_ULONG ClientID, VS_UUID *FunctionID, ...)
{
    va_list Args;
    va_start(Args, FunctionID);
    VS_UWORD r = XRQInterface->RemoteCallExVar(ClientID, RawObject, FunctionID, Args);
    va_end(Args);
    return r;
}

VS_UWORD ClassOfXRQObject::SRemoteCall(VS_ULONG WaitTime, VS_ULONG ClientID, VS_ULONG *RetCode,
                                       VS_UUID *FunctionID, ...)
{
    va_list Args;
    va_start(Args, FunctionID);
    VS_UWORD r = XRQInterface->SRemoteCallVar(WaitTime, ClientID, RetCode, RawObject, FunctionID, Args);
    va_end(Args);
    return r;
}

VS_BOOL ClassOfXRQObject::ARemoteCall(VS_ULONG WaitTime, VS_ULONG ClientID, VS_REMOTECALLRSP CallBack,
                                      VS_UWORD Para, VS_UUID *FunctionID, ...)
{
    va_list Args;
    va_start(Args, FunctionID);
    VS_BOOL r = XRQInterface->ARemoteCallVar(WaitTime, ClientID, CallBack, Para, RawObject, FunctionID, Args);
    va_end(Args);
    return r;
}

VS_BOOL ClassOfXRQObject::RemoteCallVar(VS_ULONG ClientID, VS_UUID *FunctionID, va_list Args)
{
    return XRQInterface->RemoteCallVar(ClientID, RawObject, FunctionID, Args);
}

VS_UWORD ClassOfXRQObject::RemoteCallExVar(VS_ULONG ClientID, VS_UUID *FunctionID, va_list Args)
{
    return XRQInterface->RemoteCallExVar(ClientID, RawObject, FunctionID, Args);
}

VS_UWORD ClassOfXRQObject::SRemoteCallVar(VS_ULONG WaitTime, VS_ULONG ClientID, VS_ULONG *RetCode,
                                          VS_UUID *FunctionID, va_list Args)
{
    return XRQInterface->SRemoteCallVar(WaitTime, ClientID, RetCode, RawObject, FunctionID, Args);
}

VS_BOOL ClassOfXRQObject::ARemoteCallVar(VS_ULONG WaitTime, VS_ULONG ClientID, VS_REMOTECALLRSP CallBack,
                                         VS_UWORD Para, VS_UUID *FunctionID, va_list Args)
{
    return XRQInterface->ARemoteCallVar(WaitTime, ClientID, CallBack, Para, RawObject, FunctionID, Args);
}

// ---------------------------------------------------------------------------
// System-event handlers: registered with the wrapper as parameter; nothing
// reads a registered handler back.
// ---------------------------------------------------------------------------

#define XRQ_EVENT_DEFINE(Event, ID)                                                                          \
    void ClassOfXRQObject::Put_E_##Event(VS_EVENTHANDLER Handler)                                            \
    {                                                                                                        \
        XRQInterface->RegSysEventFunction(RawObject, ID, (void *)Handler, ParaOf(this));                     \
    }                                                                                                        \
    VS_EVENTHANDLER ClassOfXRQObject::Get_E_##Event()                                                        \
    {                                                                                                        \
        return nullptr;                                                                                      \
    }
XRQ_SYSEVENTS(XRQ_EVENT_DEFINE)
#undef XRQ_EVENT_DEFINE
