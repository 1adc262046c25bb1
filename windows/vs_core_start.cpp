// One-call start of the host core: the state lives in the caller's record,
// which StopCoreService releases again, whatever step the start reached.
#include "ClassOfVSTarvex.h"

#include "xrq_loader_internal.h"

#include <cstdio>
#include <cstring>

namespace {

enum StartForm { kService, kServiceNoID, kBasic };

void ClearRecord(StructOfVSCoreRecord *Record)
{
    memset(Record, 0, sizeof(*Record));
}

// The core library's file: by name alone (the system's search), or from one
// of the configuration's two directories.
bool StartLibraryPath(const StructOfVSCoreConfig *Config, VS_CHAR Path[XRQ_PATH_SIZE])
{
    VS_CHAR Name[XRQ_MODULENAME_SIZE];
    if (!xrq_loader::CoreLibraryName(Name))
        return false;
    int n = -1;
    if (Config != nullptr && Config->CoreDirectory[0] != 0) {
        n = snprintf(Path, XRQ_PATH_SIZE, "%s/%s%s", Config->CoreDirectory, Name, XRQ_CORE_LIBSUFFIX);
        if (n >= 0 && n < XRQ_PATH_SIZE && vs_file_exist(Path))
            return true;
    }
    if (Config != nullptr && Config->ModuleDirectory[0] != 0)
        n = snprintf(Path, XRQ_PATH_SIZE, "%s/%s%s", Config->ModuleDirectory, Name, XRQ_CORE_LIBSUFFIX);
    else
        n = snprintf(Path, XRQ_PATH_SIZE, "%s%s%s", "", Name, XRQ_CORE_LIBSUFFIX);
    return n >= 0 && n < XRQ_PATH_SIZE;
}

void *Start(StructOfVSCoreRecord *Record, StructOfVSCoreConfig *Config, StartForm Form, const VS_CHAR *ServiceName,
            VS_UUID *ServiceID, const VS_CHAR *RootPass, VS_UINT16 InitNumber, VS_UINT16 WebPort,
            VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, va_list Imports)
{
    if (Record == nullptr)
        return nullptr;
    ClearRecord(Record);
    VS_CHAR Path[XRQ_PATH_SIZE];
    if (!StartLibraryPath(Config, Path))
        return nullptr;
    Record->CoreModule = vs_dll_open(Path);
    if (Record->CoreModule == nullptr)
        return nullptr;
    Record->VSCore_RegisterCallBackInfo =
        (VSCore_RegisterCallBackInfoProc)vs_dll_sym(Record->CoreModule, "VSCore_RegisterCallBackInfo");
    Record->VSCore_Init = (VSCore_InitProc)vs_dll_sym(Record->CoreModule, "VSCore_Init");
    Record->VSCore_TermEx = (VSCore_TermExProc)vs_dll_sym(Record->CoreModule, "VSCore_TermEx");
    Record->VSCore_QueryControlInterface =
        (VSCore_QueryControlInterfaceProc)vs_dll_sym(Record->CoreModule, "VSCore_QueryControlInterface");
    if (Record->VSCore_RegisterCallBackInfo == nullptr || Record->VSCore_Init == nullptr ||
        Record->VSCore_TermEx == nullptr || Record->VSCore_QueryControlInterface == nullptr) {
        // The library stays loaded with its handle in the record; nothing of
        // it was started, so nothing but the library is to be released.
        void *Module = Record->CoreModule;
        ClearRecord(Record);
        Record->CoreModule = Module;
        return nullptr;
    }
    if (Record->VSCore_Init(VS_TRUE, VS_TRUE, "", 0, "", InitNumber, Config) == -1) {
        vs_dll_close(Record->CoreModule);
        ClearRecord(Record);
        return nullptr;
    }
    if (CallBack != nullptr)
        Record->VSCore_RegisterCallBackInfo(CallBack, CallBackPara);
    Record->ControlInterface = Record->VSCore_QueryControlInterface();
    Record->BasicInterface =
        Record->ControlInterface != nullptr ? Record->ControlInterface->QueryBasicInterface(0) : nullptr;
    if (Record->BasicInterface == nullptr) {
        StopCoreService(Record);
        return nullptr;
    }
    for (;;) {
        const VS_CHAR *Import = va_arg(Imports, const VS_CHAR *);
        if (Import == nullptr)
            break;
        if (!Record->BasicInterface->ImportService(Import, VS_TRUE)) {
            StopCoreService(Record);
            return nullptr;
        }
    }
    if (Form == kBasic) {
        if (WebPort != 0)
            Record->BasicInterface->SetWebServerPort("", WebPort, 100, 2048);
        return Record->BasicInterface->Dup();
    }
    if (!Record->BasicInterface->CreateService("", ServiceName, Form == kService ? ServiceID : nullptr, RootPass, 5,
                                               10240, 10240, 10240, 10240, 10240)) {
        StopCoreService(Record);
        return nullptr;
    }
    if (WebPort != 0)
        Record->BasicInterface->SetWebServerPort("", WebPort, 100, 2048);
    return Record->BasicInterface->GetXRQInterface(ServiceName, "root", RootPass);
}

} // namespace

ClassOfXRQInterfaceEx *StartCoreService(StructOfVSCoreRecord *Record, const VS_CHAR *ServiceName, VS_UUID *ServiceID,
                                      const VS_CHAR *RootPass, VS_UINT16 InitNumber, VS_UINT16 WebPort,
                                      VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, ...)
{
    va_list Imports;
    va_start(Imports, CallBackPara);
    void *r = Start(Record, nullptr, kService, ServiceName, ServiceID, RootPass, InitNumber, WebPort, CallBack,
                    CallBackPara, Imports);
    va_end(Imports);
    return (ClassOfXRQInterfaceEx *)r;
}

ClassOfXRQInterfaceEx *StartCoreServiceNoID(StructOfVSCoreRecord *Record, const VS_CHAR *ServiceName,
                                          const VS_CHAR *RootPass, VS_UINT16 InitNumber, VS_UINT16 WebPort,
                                          VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, ...)
{
    va_list Imports;
    va_start(Imports, CallBackPara);
    void *r = Start(Record, nullptr, kServiceNoID, ServiceName, nullptr, RootPass, InitNumber, WebPort, CallBack,
                    CallBackPara, Imports);
    va_end(Imports);
    return (ClassOfXRQInterfaceEx *)r;
}

ClassOfBasicXRQInterfaceEx *StartCoreBasic(StructOfVSCoreRecord *Record, VS_UINT16 InitNumber, VS_UINT16 WebPort,
                                         VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, ...)
{
    va_list Imports;
    va_start(Imports, CallBackPara);
    void *r = Start(Record, nullptr, kBasic, nullptr, nullptr, nullptr, InitNumber, WebPort, CallBack, CallBackPara,
                    Imports);
    va_end(Imports);
    return (ClassOfBasicXRQInterfaceEx *)r;
}

ClassOfXRQInterfaceEx *StartCoreServiceByConfig(StructOfVSCoreRecord *Record, StructOfVSCoreConfig *Config,
                                              const VS_CHAR *ServiceName, VS_UUID *ServiceID,
                                              const VS_CHAR *RootPass, VS_UINT16 InitNumber, VS_UINT16 WebPort,
                                              VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, ...)
{
    va_list Imports;
    va_start(Imports, CallBackPara);
    void *r = Start(Record, Config, kService, ServiceName, ServiceID, RootPass, InitNumber, WebPort, CallBack,
                    CallBackPara, Imports);
    va_end(Imports);
    return (ClassOfXRQInterfaceEx *)r;
}

ClassOfXRQInterfaceEx *StartCoreServiceNoIDByConfig(StructOfVSCoreRecord *Record, StructOfVSCoreConfig *Config,
                                                  const VS_CHAR *ServiceName, const VS_CHAR *RootPass,
                                                  VS_UINT16 InitNumber, VS_UINT16 WebPort, VS_MSGCALLBACK CallBack,
                                                  VS_UWORD CallBackPara, ...)
{
    va_list Imports;
    va_start(Imports, CallBackPara);
    void *r = Start(Record, Config, kServiceNoID, ServiceName, nullptr, RootPass, InitNumber, WebPort, CallBack,
                    CallBackPara, Imports);
    va_end(Imports);
    return (ClassOfXRQInterfaceEx *)r;
}

ClassOfBasicXRQInterfaceEx *StartCoreBasicByConfig(StructOfVSCoreRecord *Record, StructOfVSCoreConfig *Config,
                                                 VS_UINT16 InitNumber, VS_UINT16 WebPort, VS_MSGCALLBACK CallBack,
                                                 VS_UWORD CallBackPara, ...)
{
    va_list Imports;
    va_start(Imports, CallBackPara);
    void *r = Start(Record, Config, kBasic, nullptr, nullptr, nullptr, InitNumber, WebPort, CallBack, CallBackPara,
                    Imports);
    va_end(Imports);
    return (ClassOfBasicXRQInterfaceEx *)r;
}

bool RunCoreService(StructOfVSCoreRecord *Record, VS_BOOL (*ExitProc)())
{
    if (Record == nullptr)
        return false;
    bool Exited = false;
    while (Record->ControlInterface != nullptr && Record->BasicInterface != nullptr) {
        if (ExitProc != nullptr && ExitProc()) {
            Exited = true;
            break;
        }
        if (Record->BasicInterface->QueryActiveService(nullptr) == nullptr)
            break;
        VS_BOOL Quit = VS_FALSE;
        if (Record->ControlInterface->WinMsgLoop(&Quit)) {
            if (Quit)
                break;
            continue;
        }
        Record->ControlInterface->XRQDispatch(VS_TRUE);
        Record->ControlInterface->XRQIdle();
    }
    StopCoreService(Record);
    return Exited;
}

void StopCoreService(StructOfVSCoreRecord *Record)
{
    if (Record == nullptr || Record->CoreModule == nullptr)
        return;
    if (Record->ControlInterface != nullptr)
        Record->ControlInterface->Release();
    if (Record->BasicInterface != nullptr)
        Record->BasicInterface->Release();
    // TermEx is left out of a record whose core was never initialised.
    if (Record->VSCore_TermEx != nullptr)
        Record->VSCore_TermEx();
    vs_dll_close(Record->CoreModule);
    ClearRecord(Record);
}

ClassOfXRQInterfaceEx *CreateServiceOnBasic(ClassOfBasicXRQInterfaceEx *BasicInterface, const VS_CHAR *ServiceName,
                                          VS_UUID *ServiceID, const VS_CHAR *RootPass, VS_INT32 FrameInterval,
                                          VS_INT32 NetPkgSize, VS_INT32 UploadPkgSize, VS_INT32 DownloadPkgSize,
                                          VS_INT32 DataUpPkgSize, VS_INT32 DataDownPkgSize, ...)
{
    if (BasicInterface == nullptr)
        return nullptr;
    if (!BasicInterface->CreateService("", ServiceName, ServiceID, RootPass, FrameInterval, NetPkgSize,
                                       UploadPkgSize, DownloadPkgSize, DataUpPkgSize, DataDownPkgSize))
        return nullptr;
    ClassOfXRQInterfaceEx *Service = BasicInterface->GetXRQInterface(ServiceName, "root", RootPass);
    if (Service == nullptr)
        return nullptr;
    va_list Items;
    va_start(Items, DataDownPkgSize);
    for (;;) {
        const VS_CHAR *Name = va_arg(Items, const VS_CHAR *);
        if (Name == nullptr)
            break;
        Service->CreateSysRootItem(Name, nullptr, nullptr, nullptr);
    }
    va_end(Items);
    return Service;
}
