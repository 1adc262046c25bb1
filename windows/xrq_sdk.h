// The host SDK as the Windows-only classes see it. The host's interface
// classes are those of host/include/tarvex_api.h, defined once for the whole
// DLL; what the wrapper and the loader use beyond the module's contract is
// declared here on classes of their own that extend them (the "Ex" classes):
// the per-object operations that ClassOfXRQObject forwards, and the entry,
// control and basic interfaces of a host core the loader starts. A host
// object handed to these classes implements the extended interface. Each
// forwarded method is declared once, in ClassOfXRQObject_Forwards.h (those
// the module's contract already has, on ClassOfXRQInterface itself).
#ifndef XRQ_SDK_H
#define XRQ_SDK_H

#include "tarvex_api.h"
#include "vs_types.h"

#include <cstdarg>
#include <cstddef>

// Exported by the DLL on Windows; a plain class where the wrapper is built
// for the native tests.
#if defined(_WIN32)
#define XRQ_SDK_EXPORT __declspec(dllexport)
#else
#define XRQ_SDK_EXPORT
#endif

#define XRQ_NO_QUEUE ((OBJECTATTRIBUTEINDEX)255)

// Host records handed through untouched.
struct VS_EVENTPARAM;
struct StructOfVSEventParamRunParam;
struct StructOfLocalVString;
struct VS_UPDOWNFILEMSG;
struct VS_ATTRIBUTEINDEXMAP;
struct StructOfVSRunEnv;

typedef void (*VS_CHANGECALLBACK)(void *Object, VS_UWORD Para, OBJECTATTRIBUTEINDEX AttributeIndex,
                                  VS_INT8 *OldValue);
typedef void (*VS_NAMEVALUECHANGECALLBACK)(void *Object, VS_UWORD Para, const VS_CHAR *Name);
// The host's notice that an object moved (NewObject its new address) or was
// freed (NewObject NULL).
typedef void (*VS_REMALLOCCALLBACK)(void *OldObject, VS_UWORD Para, void *NewObject);
typedef VS_BOOL (*VS_RUNENVCALLBACK)(void *Object, VS_UWORD Para, StructOfVSRunEnv *RunEnv);
typedef void (*VS_TIMERPROC)(void *Object, VS_ULONG TimerID, VS_UWORD Para);
typedef void (*VS_OBJECTFREENOTIFY)(void *Object, VS_UWORD Para);
typedef void (*VS_OBJECTIDCHANGENOTIFY)(void *Object, VS_UWORD Para, VS_UUID *NewObjectID);
typedef void (*VS_REMOTECALLRSP)(void *Object, VS_UWORD Para, VS_ULONG RetCode, VS_UWORD Result);
// A system-event handler registered for one object (Put_E_...).
typedef VS_INT32 (*VS_EVENTHANDLER)(VS_UWORD Para, void *EventPara);
// The host core's message callback: group, message, two parameters, the
// caller's processed flag and the registered parameter.
typedef VS_UWORD (*VS_MSGCALLBACK)(VS_ULONG Group, VS_ULONG Message, VS_UWORD Param1, VS_UWORD Param2,
                                   VS_BOOL *Processed, VS_UWORD Para);

#define XRQ_TAIL(...) __VA_OPT__(, ) __VA_ARGS__

// ---------------------------------------------------------------------------
// Service interface: the per-object operations of the host beyond the
// module's contract.
// ---------------------------------------------------------------------------
class ClassOfXRQInterfaceEx : public ClassOfXRQInterface {
  public:
#define XRQ_OBJ(R, Name, Params, Args) virtual R Name(void *Object XRQ_TAIL Params) = 0;
#define XRQ_GEN(R, Member, Host, HostParams, HostArgs, MemberParams, CallArgs) virtual R Host HostParams = 0;
#define XRQ_API_OBJ(R, Name, Params, Args)
#define XRQ_API_GEN(R, Member, Host, HostParams, HostArgs, MemberParams, CallArgs)
#include "ClassOfXRQObject_Forwards.h"
#undef XRQ_OBJ
#undef XRQ_GEN
#undef XRQ_API_OBJ
#undef XRQ_API_GEN

    // Application classes: at most one per object and layer.
    virtual void SetAppClass(void *Object, VS_ULONG ClassLayer, void *AppClass) = 0;
    virtual void *GetAppClass(void *Object, VS_ULONG ClassLayer) = 0;

    // Objects the wrapper hands back wrapped (beside GetClass, GetParent,
    // LuaToObject, QueryFirst, QueryNext, QueryFirstInst and QueryNextInst
    // of ClassOfXRQInterface).
    virtual void *GetChildByID(void *Object, OBJECTATTRIBUTEINDEX AttributeIndex, VS_UINT16 ID) = 0;
    virtual void *GetClientObject() = 0;
    virtual void *GetNextEx(void *Object) = 0;
    virtual void *GetPrevEx(void *Object) = 0;
    virtual void *QueryPrev(void *Object) = 0;
    virtual void *QueryFirstActiveChild(void *Object, VS_UWORD *Context) = 0;
    virtual void *QueryNextActiveChild(VS_UWORD *Context) = 0;

    // Parents and queues (beside ChangeParent of ClassOfXRQInterface).
    virtual VS_BOOL IsChild(void *Object, void *ChildObject) = 0;
    // The queue of ParentObject that can take Object; XRQ_NO_QUEUE when none.
    virtual OBJECTATTRIBUTEINDEX AllocQueue(void *ParentObject, void *Object) = 0;

    // Name values read into the caller's variable.
    virtual VS_BOOL GetNameBoolValue(void *Object, const VS_CHAR *Name, VS_BOOL *Value, VS_BOOL Default) = 0;
    virtual VS_BOOL GetNameIntValue(void *Object, const VS_CHAR *Name, VS_INT32 *Value, VS_INT32 Default) = 0;
    virtual VS_BOOL GetNameFloatValue(void *Object, const VS_CHAR *Name, VS_DOUBLE *Value, VS_DOUBLE Default) = 0;

    // Overloads and events.
    virtual VS_BOOL CreateOVLFunction(void *Object, VS_UUID *FunctionID, void *Function, VS_UUID *NewFunctionID) = 0;
    virtual VS_BOOL CreateOVLInEvent(void *Object, VS_UUID *EventID, void *Function, VS_UUID *NewEventID) = 0;
    virtual VS_BOOL RegSysEventFunction(void *Object, VS_ULONG EventID, void *Function, VS_UWORD Para) = 0;
    virtual void UnRegSysEventFunction(void *Object, VS_ULONG EventID, void *Function, VS_UWORD Para) = 0;
    virtual VS_BOOL RegEventFunction(void *SrcObject, VS_UUID *EventID, void *Object, void *Function,
                                     VS_UWORD Para) = 0;
    virtual void UnRegEventFunction(void *SrcObject, VS_UUID *EventID, void *Object, void *Function,
                                    VS_UWORD Para) = 0;

    // Remote calls with their arguments as a list.
    virtual VS_BOOL RemoteCallVar(VS_ULONG ClientID, void *Object, VS_UUID *FunctionID, va_list Args) = 0;
    virtual VS_UWORD RemoteCallExVar(VS_ULONG ClientID, void *Object, VS_UUID *FunctionID, va_list Args) = 0;
    virtual VS_UWORD SRemoteCallVar(VS_ULONG WaitTime, VS_ULONG ClientID, VS_ULONG *RetCode, void *Object,
                                    VS_UUID *FunctionID, va_list Args) = 0;
    virtual VS_BOOL ARemoteCallVar(VS_ULONG WaitTime, VS_ULONG ClientID, VS_REMOTECALLRSP CallBack,
                                   VS_UWORD Para, void *Object, VS_UUID *FunctionID, va_list Args) = 0;

  protected:
    ~ClassOfXRQInterfaceEx() override {}
};

// ---------------------------------------------------------------------------
// Control interface of a loaded host core.
// ---------------------------------------------------------------------------
class ClassOfBasicXRQInterfaceEx;
class ClassOfXRQControlInterfaceEx : public ClassOfXRQControlInterface {
  public:
    virtual ClassOfBasicXRQInterfaceEx *QueryBasicInterface(VS_UWORD Reserved) = 0;
    virtual void XRQIdle() = 0;
    // TRUE when it handled a window message; Quit tells whether it asked to end.
    virtual VS_BOOL WinMsgLoop(VS_BOOL *Quit) = 0;
    virtual VS_BOOL IsAppActive() = 0;
    virtual void UnRegTempFile(const VS_CHAR *TempFile) = 0;

  protected:
    ~ClassOfXRQControlInterfaceEx() override {}
};

// ---------------------------------------------------------------------------
// Basic interface: services, private copies of libraries, the web server.
// ---------------------------------------------------------------------------
class ClassOfBasicXRQInterfaceEx : public ClassOfBasicXRQInterface {
  public:
    // A new reference to the same interface.
    virtual ClassOfBasicXRQInterfaceEx *Dup() = 0;
    ClassOfXRQInterfaceEx *GetXRQInterface(const VS_CHAR *ServiceName, const VS_CHAR *UserName,
                                           const VS_CHAR *Password) override = 0;
    virtual VS_BOOL ImportService(const VS_CHAR *ServiceName, VS_BOOL LoadRunModule) = 0;
    virtual VS_BOOL CreateService(const VS_CHAR *ServicePath, const VS_CHAR *ServiceName, VS_UUID *ServiceID,
                                  const VS_CHAR *RootPass, VS_INT32 FrameInterval, VS_INT32 NetPkgSize,
                                  VS_INT32 UploadPkgSize, VS_INT32 DownloadPkgSize, VS_INT32 DataUpPkgSize,
                                  VS_INT32 DataDownPkgSize) = 0;
    virtual VS_BOOL SetWebServerPort(const VS_CHAR *Host, VS_UINT16 Port, VS_INT32 ConnectionNumber,
                                     VS_ULONG PostSize) = 0;
    // Private copies of loaded libraries: which copy stands for a path.
    virtual void RegTempFile(const VS_CHAR *TempFile, const VS_CHAR *OriFile) = 0;
    // The copy registered for OriFile into Buf; NULL when there is none.
    virtual const VS_CHAR *GetRegTempFile(const VS_CHAR *OriFile, VS_CHAR *Buf, VS_INT32 BufSize) = 0;
    virtual void UnRegTempFile(const VS_CHAR *TempFile) = 0;

  protected:
    ~ClassOfBasicXRQInterfaceEx() override {}
};

// ---------------------------------------------------------------------------
// The host's entry object: what a program gets back from starting the core.
// ---------------------------------------------------------------------------
struct VSImportServiceDef {
    VS_CHAR ServiceName[40];
};

class ClassOfTarvexEx : public ClassOfTarvex {
  public:
    virtual void Release() = 0;
    virtual VS_INT32 GetInitResult() = 0;
    virtual void SetWnd(void *Wnd) = 0;
    virtual void SetWndActive(VS_BOOL Active) = 0;
    virtual ClassOfXRQInterfaceEx *CreateService(const VS_CHAR *ServiceName, VSImportServiceDef *ImportList) = 0;
    virtual ClassOfXRQInterfaceEx *CreateService1(const VS_CHAR *ServicePath, const VS_CHAR *ServiceName,
                                                  VS_UUID *ServiceID, const VS_CHAR *RootPass,
                                                  VSImportServiceDef *ImportList) = 0;
    virtual ClassOfXRQInterfaceEx *CreateService2(const VS_CHAR *ServicePath, const VS_CHAR *ServiceName,
                                                  VS_UUID *ServiceID, const VS_CHAR *RootPass,
                                                  VS_INT32 FrameInterval, VS_INT32 NetPkgSize,
                                                  VS_INT32 UploadPkgSize, VS_INT32 DownloadPkgSize,
                                                  VS_INT32 DataUpPkgSize, VS_INT32 DataDownPkgSize,
                                                  VSImportServiceDef *ImportList) = 0;
    virtual void Flush(VS_BOOL Wait) = 0;
    virtual void MsgLoop(VS_BOOL (*ExitProc)()) = 0;
    virtual ClassOfXRQControlInterfaceEx *GetControlInterface() = 0;
    ClassOfBasicXRQInterfaceEx *GetBasicInterface() override = 0;

  protected:
    ~ClassOfTarvexEx() override {}
};

#endif
