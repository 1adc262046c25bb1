// The host-core loader: lets a Windows program start the host core library
// in its own process (ClassOfVSTarvex and its factories, the one-call start
// functions, the install tree and private copies of loaded libraries).
// Carried by the DLL, not exported; nothing in the module calls it.
#ifndef CLASSOFVSTARVEX_H
#define CLASSOFVSTARVEX_H

#include "xrq_sdk.h"

#include "vs_platform.h"

// The core library's file name without ".dll", unless "XRQMODULE" names
// another one.
#define XRQ_CORE_LIBNAME "libtarvex"
#define XRQ_CORE_LIBSUFFIX ".dll"
// Longest "XRQMODULE" value taken (a longer one is refused, never cut).
#define XRQ_MODULENAME_SIZE 128
#define XRQ_PATH_SIZE 512

// Entry points of the core library.
typedef void (*VSCore_RegisterCallBackInfoProc)(VS_MSGCALLBACK CallBack, VS_UWORD Para);
typedef void (*VSCore_UnRegisterCallBackInfoProc)(VS_MSGCALLBACK CallBack, VS_UWORD Para);
typedef VS_BOOL (*VSCore_HasInitProc)();
typedef VS_INT32 (*VSCore_InitProc)(VS_BOOL ServerFlag, VS_BOOL ShowFlag, const VS_CHAR *Text1, VS_UINT16 Number1,
                                   const VS_CHAR *Text2, VS_UINT16 Number2, void *Config);
typedef void (*VSCore_TermExProc)();
typedef ClassOfXRQControlInterfaceEx *(*VSCore_QueryControlInterfaceProc)();

// The core's configuration record, as far as the loader reads it: two
// directories where the core library may lie (the later one is tried first).
struct StructOfVSCoreConfig {
    VS_CHAR ModuleDirectory[XRQ_PATH_SIZE];
    VS_CHAR CoreDirectory[XRQ_PATH_SIZE];
    VS_UWORD Reserved[16];
};

class ClassOfVSTarvex : public ClassOfTarvexEx {
  public:
    ClassOfVSTarvex();
    ~ClassOfVSTarvex() override;

    void Release() override;
    VS_INT32 GetInitResult() override;
    void SetWnd(void *Wnd) override;
    void SetWndActive(VS_BOOL Active) override;
    ClassOfXRQInterfaceEx *CreateService(const VS_CHAR *ServiceName, VSImportServiceDef *ImportList) override;
    ClassOfXRQInterfaceEx *CreateService1(const VS_CHAR *ServicePath, const VS_CHAR *ServiceName, VS_UUID *ServiceID,
                                        const VS_CHAR *RootPass, VSImportServiceDef *ImportList) override;
    ClassOfXRQInterfaceEx *CreateService2(const VS_CHAR *ServicePath, const VS_CHAR *ServiceName, VS_UUID *ServiceID,
                                        const VS_CHAR *RootPass, VS_INT32 FrameInterval, VS_INT32 NetPkgSize,
                                        VS_INT32 UploadPkgSize, VS_INT32 DownloadPkgSize, VS_INT32 DataUpPkgSize,
                                        VS_INT32 DataDownPkgSize, VSImportServiceDef *ImportList) override;
    void Flush(VS_BOOL Wait) override;
    void MsgLoop(VS_BOOL (*ExitProc)()) override;
    ClassOfXRQControlInterfaceEx *GetControlInterface() override;
    ClassOfBasicXRQInterfaceEx *GetBasicInterface() override;

    // Fields, in order.
    ClassOfVSTarvex *Prev; // towards the list head (newer)
    ClassOfVSTarvex *Next; // away from the head (older)
    VS_INT32 InitResult;   // -1: not initialised or failed
    void *Wnd;
    VS_UINT8 WndActive;
    void *CoreModule;
    ClassOfXRQControlInterfaceEx *ControlInterface;
    ClassOfBasicXRQInterfaceEx *BasicInterface;
    VSCore_RegisterCallBackInfoProc VSCore_RegisterCallBackInfo;
    VSCore_UnRegisterCallBackInfoProc VSCore_UnRegisterCallBackInfo;
    VSCore_HasInitProc VSCore_HasInit;
    VSCore_InitProc VSCore_Init;
    VSCore_TermExProc VSCore_TermEx;
    VSCore_QueryControlInterfaceProc VSCore_QueryControlInterface;
    ClassOfXRQInterfaceEx *ServiceInterface;
    VS_CHAR TempCorePath[XRQ_PATH_SIZE];
};

// The live instances, newest first, and their lock.
extern ClassOfVSTarvex *TarvexCoreList;
extern VS_MUTEX TarvexCoreListLock;

// ---- factories: an initialised instance or NULL ----
ClassOfTarvexEx *NewTarvexCore(VS_BOOL Flag, VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, void *Config);
ClassOfTarvexEx *NewTarvexCoreEx(VS_BOOL Flag, const VS_CHAR *Text1, VS_UINT16 Number1, const VS_CHAR *Text2,
                               VS_UINT16 Number2, VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, void *Config);
ClassOfTarvexEx *NewTarvexCoreEx2(const VS_CHAR *Text1, VS_UINT16 Number1, const VS_CHAR *Text2, VS_UINT16 Number2,
                                void *Config);
ClassOfTarvexEx *NewTarvexCoreByConfig(void *Config);
// Loads nothing: an instance over interfaces the caller already has.
ClassOfTarvexEx *NewTarvexCoreByInterface(ClassOfXRQControlInterfaceEx *Control, ClassOfBasicXRQInterfaceEx *Basic);

// Finds and loads the core library (or a private copy of it) and resolves
// its six entry points; false, with nothing left loaded, when any step fails.
bool LoadCoreLibrary(ClassOfVSTarvex *Instance);
void UnloadCoreLibrary(ClassOfVSTarvex *Instance);
// Releases both interfaces, then the instance (for NewTarvexCoreByInterface).
void ReleaseTarvexCore(ClassOfTarvexEx *Instance);
// The core's message callback, registered with the instance as parameter.
VS_UWORD CoreMessageCallback(VS_ULONG Group, VS_ULONG Message, VS_UWORD Param1, VS_UWORD Param2,
                             VS_BOOL *Processed, VS_UWORD Para);

// ---- paths ----
#define XRQ_INSTALLDIR_SERVER 0
#define XRQ_INSTALLDIR_CLIENT 1
#define XRQ_INSTALLDIR_DEBUG 4
#define XRQ_INSTALLDIR_ROOT 128
// Directory Kind of the install tree under "XRQHOME" (when UseEnvironment)
// or else "SystemDrive"; only a directory under "XRQHOME" is created. False
// (Buffer empty) when neither variable is set or the path does not fit.
bool GetInstallDirectory(VS_UINT8 Kind, VS_CHAR *Buffer, VS_ULONG BufferSize, bool UseEnvironment);
// The Windows directory followed by "\system32".
bool GetCoreDirectory(VS_CHAR *Buffer, VS_ULONG BufferSize);

// ---- private copies of libraries already loaded ----
void *LoadLibraryPrivate(ClassOfXRQControlInterfaceEx *ControlInterface, const VS_CHAR *LibraryName);
void *LoadCorePrivate(VS_CHAR *PathBuffer, VS_ULONG BufferSize);

// ---- one-call start: state in the caller's record ----
struct StructOfVSCoreRecord {
    void *CoreModule;
    ClassOfXRQControlInterfaceEx *ControlInterface;
    ClassOfBasicXRQInterfaceEx *BasicInterface;
    VSCore_RegisterCallBackInfoProc VSCore_RegisterCallBackInfo;
    VSCore_InitProc VSCore_Init;
    VSCore_TermExProc VSCore_TermEx;
    VSCore_QueryControlInterfaceProc VSCore_QueryControlInterface;
};

// Import names follow as texts up to a NULL.
ClassOfXRQInterfaceEx *StartCoreService(StructOfVSCoreRecord *Record, const VS_CHAR *ServiceName, VS_UUID *ServiceID,
                                      const VS_CHAR *RootPass, VS_UINT16 InitNumber, VS_UINT16 WebPort,
                                      VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, ...);
ClassOfXRQInterfaceEx *StartCoreServiceNoID(StructOfVSCoreRecord *Record, const VS_CHAR *ServiceName,
                                          const VS_CHAR *RootPass, VS_UINT16 InitNumber, VS_UINT16 WebPort,
                                          VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, ...);
ClassOfBasicXRQInterfaceEx *StartCoreBasic(StructOfVSCoreRecord *Record, VS_UINT16 InitNumber, VS_UINT16 WebPort,
                                         VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, ...);
ClassOfXRQInterfaceEx *StartCoreServiceByConfig(StructOfVSCoreRecord *Record, StructOfVSCoreConfig *Config,
                                              const VS_CHAR *ServiceName, VS_UUID *ServiceID,
                                              const VS_CHAR *RootPass, VS_UINT16 InitNumber, VS_UINT16 WebPort,
                                              VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, ...);
ClassOfXRQInterfaceEx *StartCoreServiceNoIDByConfig(StructOfVSCoreRecord *Record, StructOfVSCoreConfig *Config,
                                                  const VS_CHAR *ServiceName, const VS_CHAR *RootPass,
                                                  VS_UINT16 InitNumber, VS_UINT16 WebPort, VS_MSGCALLBACK CallBack,
                                                  VS_UWORD CallBackPara, ...);
ClassOfBasicXRQInterfaceEx *StartCoreBasicByConfig(StructOfVSCoreRecord *Record, StructOfVSCoreConfig *Config,
                                                 VS_UINT16 InitNumber, VS_UINT16 WebPort, VS_MSGCALLBACK CallBack,
                                                 VS_UWORD CallBackPara, ...);
// Runs the core's loop until ExitProc answers true (true) or no service is
// active, then stops the core as StopCoreService does.
bool RunCoreService(StructOfVSCoreRecord *Record, VS_BOOL (*ExitProc)());
// Releases what the record holds, and only that.
void StopCoreService(StructOfVSCoreRecord *Record);
// Creates a service on a basic interface and the named service roots (texts
// up to a NULL).
ClassOfXRQInterfaceEx *CreateServiceOnBasic(ClassOfBasicXRQInterfaceEx *BasicInterface, const VS_CHAR *ServiceName,
                                          VS_UUID *ServiceID, const VS_CHAR *RootPass, VS_INT32 FrameInterval,
                                          VS_INT32 NetPkgSize, VS_INT32 UploadPkgSize, VS_INT32 DownloadPkgSize,
                                          VS_INT32 DataUpPkgSize, VS_INT32 DataDownPkgSize, ...);

#endif
