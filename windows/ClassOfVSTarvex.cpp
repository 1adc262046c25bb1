// ClassOfVSTarvex: finding, loading and initialising the host core library,
// the list of live instances, the core's message callback, the install tree
// and private copies of libraries that are already loaded.
#include "ClassOfVSTarvex.h"

#include "xrq_loader_internal.h"
#include "xrq_uuidtext.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

ClassOfVSTarvex *TarvexCoreList = nullptr;
VS_MUTEX TarvexCoreListLock;
static VS_UINT8 TarvexCoreListReady = 0;
// Two first factory calls at once must not both make the lock.
static std::once_flag g_ListLockOnce;

namespace {

void EnsureListLock()
{
    std::call_once(g_ListLockOnce, [] {
        TarvexCoreList = nullptr;
        vs_mutex_init(&TarvexCoreListLock);
        TarvexCoreListReady = 1;
    });
}

struct ListGuard {
    ListGuard() { vs_mutex_lock(&TarvexCoreListLock); }
    ~ListGuard() { vs_mutex_unlock(&TarvexCoreListLock); }
};

// The basic interface through which private copies are registered: the
// newest live instance's.
ClassOfBasicXRQInterfaceEx *HeadBasic()
{
    return TarvexCoreList != nullptr ? TarvexCoreList->BasicInterface : nullptr;
}

bool FitsText(VS_CHAR *Buffer, size_t Size, int Written)
{
    if (Written < 0 || (size_t)Written >= Size) {
        if (Size > 0)
            Buffer[0] = 0;
        return false;
    }
    return true;
}

template <typename Proc> Proc Resolve(void *Module, const VS_CHAR *Name)
{
    return (Proc)vs_dll_sym(Module, Name);
}

void LinkAtHead(ClassOfVSTarvex *Instance)
{
    ListGuard Guard;
    Instance->Prev = nullptr;
    Instance->Next = TarvexCoreList;
    if (TarvexCoreList != nullptr)
        TarvexCoreList->Prev = Instance;
    TarvexCoreList = Instance;
}

ClassOfTarvexEx *NewLoading(VS_BOOL ServerFlag, VS_BOOL Flag, const VS_CHAR *Text1, VS_UINT16 Number1,
                          const VS_CHAR *Text2, VS_UINT16 Number2, VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara,
                          void *Config)
{
    EnsureListLock();
    ClassOfVSTarvex *Instance = new (std::nothrow) ClassOfVSTarvex();
    if (Instance == nullptr)
        return nullptr;
    {
        ListGuard Guard;
        if (!LoadCoreLibrary(Instance)) {
            delete Instance;
            return nullptr;
        }
        Instance->VSCore_RegisterCallBackInfo(CoreMessageCallback, (VS_UWORD)(uintptr_t)Instance);
        if (CallBack != nullptr)
            Instance->VSCore_RegisterCallBackInfo(CallBack, CallBackPara);
        Instance->InitResult = Instance->VSCore_Init(ServerFlag, Flag, Text1 != nullptr ? Text1 : "", Number1,
                                                     Text2 != nullptr ? Text2 : "", Number2, Config);
        if (Instance->InitResult == -1) {
            if (Instance->TempCorePath[0] != 0) {
                if (HeadBasic() != nullptr)
                    HeadBasic()->UnRegTempFile(Instance->TempCorePath);
                Instance->TempCorePath[0] = 0;
            }
            UnloadCoreLibrary(Instance);
            delete Instance;
            return nullptr;
        }
    }
    Instance->ControlInterface = Instance->VSCore_QueryControlInterface();
    Instance->BasicInterface =
        Instance->ControlInterface != nullptr ? Instance->ControlInterface->QueryBasicInterface(0) : nullptr;
    LinkAtHead(Instance);
    return Instance;
}

} // namespace

// ---------------------------------------------------------------------------
// Shared helpers of the loader
// ---------------------------------------------------------------------------

namespace xrq_loader {

bool CoreLibraryName(VS_CHAR Name[XRQ_MODULENAME_SIZE])
{
    // Read whole: a name that does not fit is refused, never cut into
    // another library's name.
    VS_CHAR Value[4096];
    if (!vs_get_env("XRQMODULE", Value, sizeof(Value)) || Value[0] == 0) {
        strcpy(Name, XRQ_CORE_LIBNAME);
        return true;
    }
    if (strlen(Value) >= XRQ_MODULENAME_SIZE) {
        Name[0] = 0;
        return false;
    }
    strcpy(Name, Value);
    return true;
}

bool CoreLibraryPath(VS_CHAR Path[XRQ_PATH_SIZE])
{
    VS_CHAR Name[XRQ_MODULENAME_SIZE];
    if (!CoreLibraryName(Name) || !GetCoreDirectory(Path, XRQ_PATH_SIZE))
        return false;
    std::string Dir = Path;
    return FitsText(Path, XRQ_PATH_SIZE,
                    snprintf(Path, XRQ_PATH_SIZE, "%s\\%s%s", Dir.c_str(), Name, XRQ_CORE_LIBSUFFIX));
}

bool PrivateCopy(const VS_CHAR *LibPath, ClassOfBasicXRQInterfaceEx *Basic, VS_CHAR TempPath[XRQ_PATH_SIZE],
                 bool *MadeNew)
{
    *MadeNew = false;
    TempPath[0] = 0;
    if (Basic != nullptr) {
        VS_CHAR Registered[XRQ_PATH_SIZE];
        Registered[0] = 0;
        const VS_CHAR *Found = Basic->GetRegTempFile(LibPath, Registered, sizeof(Registered));
        if (Found != nullptr && Found[0] != 0) {
            if (Found != Registered)
                snprintf(Registered, sizeof(Registered), "%s", Found);
            strcpy(TempPath, Registered);
            return true;
        }
    }
    VS_UUID Uuid;
    vs_uuid_create(&Uuid);
    VS_CHAR UuidText[XRQ_UUIDTEXT_SIZE];
    UuidToText(&Uuid, UuidText);
    VS_CHAR Dir[XRQ_PATH_SIZE];
    if (!GetInstallDirectory(XRQ_INSTALLDIR_SERVER, Dir, sizeof(Dir), true))
        return false;
    if (!FitsText(TempPath, XRQ_PATH_SIZE, snprintf(TempPath, XRQ_PATH_SIZE, "%s\\%s.so", Dir, UuidText)))
        return false;
    if (!vs_file_exist(LibPath) || vs_file_copy(LibPath, TempPath) != 0) {
        TempPath[0] = 0;
        return false;
    }
    *MadeNew = true;
    if (Basic != nullptr)
        Basic->RegTempFile(TempPath, LibPath);
    return true;
}

void DropPrivateCopy(ClassOfBasicXRQInterfaceEx *Basic, VS_CHAR TempPath[XRQ_PATH_SIZE], bool MadeNew)
{
    if (TempPath[0] == 0)
        return;
    if (Basic != nullptr)
        Basic->UnRegTempFile(TempPath);
    if (MadeNew)
        vs_file_delete(TempPath);
    TempPath[0] = 0;
}

} // namespace xrq_loader

// ---------------------------------------------------------------------------
// The instance
// ---------------------------------------------------------------------------

ClassOfVSTarvex::ClassOfVSTarvex()
    : Prev(nullptr), Next(nullptr), InitResult(-1), Wnd(nullptr), WndActive(0), CoreModule(nullptr),
      ControlInterface(nullptr), BasicInterface(nullptr), VSCore_RegisterCallBackInfo(nullptr),
      VSCore_UnRegisterCallBackInfo(nullptr), VSCore_HasInit(nullptr), VSCore_Init(nullptr),
      VSCore_TermEx(nullptr), VSCore_QueryControlInterface(nullptr), ServiceInterface(nullptr)
{
    TempCorePath[0] = 0;
}

ClassOfVSTarvex::~ClassOfVSTarvex()
{
    if (InitResult == -1 || CoreModule == nullptr)
        return;
    if (VSCore_UnRegisterCallBackInfo != nullptr)
        VSCore_UnRegisterCallBackInfo(CoreMessageCallback, (VS_UWORD)(uintptr_t)this);
    if (TempCorePath[0] != 0 && ControlInterface != nullptr)
        ControlInterface->UnRegTempFile(TempCorePath);
    if (BasicInterface != nullptr)
        BasicInterface->Release();
    if (ControlInterface != nullptr)
        ControlInterface->Release();
    BasicInterface = nullptr;
    ControlInterface = nullptr;
    if (VSCore_TermEx != nullptr)
        VSCore_TermEx();
    UnloadCoreLibrary(this);
}

void ClassOfVSTarvex::Release()
{
    EnsureListLock();
    ListGuard Guard;
    if (Prev != nullptr)
        Prev->Next = Next;
    if (Next != nullptr)
        Next->Prev = Prev;
    if (TarvexCoreList == this)
        TarvexCoreList = Next;
    delete this;
}

VS_INT32 ClassOfVSTarvex::GetInitResult()
{
    return InitResult;
}

void ClassOfVSTarvex::SetWnd(void *NewWnd)
{
    Wnd = NewWnd;
}

void ClassOfVSTarvex::SetWndActive(VS_BOOL Active)
{
    WndActive = Active ? 1 : 0;
}

ClassOfXRQInterfaceEx *ClassOfVSTarvex::CreateService(const VS_CHAR *ServiceName, VSImportServiceDef *ImportList)
{
    VS_UUID Zero;
    memset(&Zero, 0, sizeof(Zero));
    return CreateService2("", ServiceName, &Zero, "", 0, 0, 0, 0, 0, 0, ImportList);
}

ClassOfXRQInterfaceEx *ClassOfVSTarvex::CreateService1(const VS_CHAR *ServicePath, const VS_CHAR *ServiceName,
                                                     VS_UUID *ServiceID, const VS_CHAR *RootPass,
                                                     VSImportServiceDef *ImportList)
{
    return CreateService2(ServicePath, ServiceName, ServiceID, RootPass, 0, 0, 0, 0, 0, 0, ImportList);
}

ClassOfXRQInterfaceEx *ClassOfVSTarvex::CreateService2(const VS_CHAR *ServicePath, const VS_CHAR *ServiceName,
                                                     VS_UUID *ServiceID, const VS_CHAR *RootPass,
                                                     VS_INT32 FrameInterval, VS_INT32 NetPkgSize,
                                                     VS_INT32 UploadPkgSize, VS_INT32 DownloadPkgSize,
                                                     VS_INT32 DataUpPkgSize, VS_INT32 DataDownPkgSize,
                                                     VSImportServiceDef *ImportList)
{
    if (BasicInterface == nullptr)
        return nullptr;
    for (VSImportServiceDef *Import = ImportList; Import != nullptr && Import->ServiceName[0] != 0; Import++) {
        if (!BasicInterface->ImportService(Import->ServiceName, VS_TRUE))
            return nullptr;
    }
    if (!BasicInterface->CreateService(ServicePath, ServiceName, ServiceID, RootPass, FrameInterval, NetPkgSize,
                                       UploadPkgSize, DownloadPkgSize, DataUpPkgSize, DataDownPkgSize))
        return nullptr;
    ServiceInterface = BasicInterface->GetXRQInterface(ServiceName, "root", RootPass != nullptr ? RootPass : "");
    return ServiceInterface;
}

void ClassOfVSTarvex::Flush(VS_BOOL Wait)
{
    if (InitResult == -1 || ControlInterface == nullptr)
        return;
    while (ControlInterface->XRQDispatch(VS_FALSE))
        ;
    ControlInterface->XRQIdle();
    if (Wait)
        ControlInterface->XRQDispatch(VS_TRUE);
}

void ClassOfVSTarvex::MsgLoop(VS_BOOL (*ExitProc)())
{
    if (InitResult == -1 || ControlInterface == nullptr || BasicInterface == nullptr)
        return;
    if (ExitProc != nullptr && ExitProc())
        return;
    for (;;) {
        if (BasicInterface->QueryActiveService(nullptr) == nullptr)
            return;
        VS_BOOL Quit = VS_FALSE;
        if (ControlInterface->WinMsgLoop(&Quit)) {
            if (Quit)
                return;
        } else if (ControlInterface->IsAppActive()) {
            if (!ControlInterface->XRQDispatch(VS_FALSE))
                ControlInterface->XRQIdle();
        } else {
            ControlInterface->XRQDispatch(VS_TRUE);
            ControlInterface->XRQIdle();
        }
        if (ExitProc != nullptr && ExitProc())
            return;
    }
}

ClassOfXRQControlInterfaceEx *ClassOfVSTarvex::GetControlInterface()
{
    return ControlInterface;
}

ClassOfBasicXRQInterfaceEx *ClassOfVSTarvex::GetBasicInterface()
{
    return BasicInterface;
}

// ---------------------------------------------------------------------------
// Loading the core
// ---------------------------------------------------------------------------

bool LoadCoreLibrary(ClassOfVSTarvex *Instance)
{
    if (Instance == nullptr)
        return false;
    VS_CHAR Path[XRQ_PATH_SIZE];
    if (!xrq_loader::CoreLibraryPath(Path))
        return false;
    bool MadeNew = false;
    Instance->TempCorePath[0] = 0;
    // A core already loaded in this process runs its next instance from a
    // private copy: one library file holds one core.
    if (vs_dll_get(Path) != nullptr) {
        if (!xrq_loader::PrivateCopy(Path, HeadBasic(), Instance->TempCorePath, &MadeNew))
            return false;
        snprintf(Path, sizeof(Path), "%s", Instance->TempCorePath);
    }
    void *Module = vs_dll_open(Path);
    if (Module == nullptr) {
        xrq_loader::DropPrivateCopy(HeadBasic(), Instance->TempCorePath, MadeNew);
        return false;
    }
    Instance->CoreModule = Module;
    Instance->VSCore_RegisterCallBackInfo =
        Resolve<VSCore_RegisterCallBackInfoProc>(Module, "VSCore_RegisterCallBackInfo");
    Instance->VSCore_UnRegisterCallBackInfo =
        Resolve<VSCore_UnRegisterCallBackInfoProc>(Module, "VSCore_UnRegisterCallBackInfo");
    Instance->VSCore_HasInit = Resolve<VSCore_HasInitProc>(Module, "VSCore_HasInit");
    Instance->VSCore_Init = Resolve<VSCore_InitProc>(Module, "VSCore_Init");
    Instance->VSCore_TermEx = Resolve<VSCore_TermExProc>(Module, "VSCore_TermEx");
    Instance->VSCore_QueryControlInterface =
        Resolve<VSCore_QueryControlInterfaceProc>(Module, "VSCore_QueryControlInterface");
    if (Instance->VSCore_RegisterCallBackInfo == nullptr || Instance->VSCore_UnRegisterCallBackInfo == nullptr ||
        Instance->VSCore_HasInit == nullptr || Instance->VSCore_Init == nullptr || Instance->VSCore_TermEx == nullptr ||
        Instance->VSCore_QueryControlInterface == nullptr) {
        // Not a core this loader can drive: it would be called through NULL.
        Instance->VSCore_RegisterCallBackInfo = nullptr;
        Instance->VSCore_UnRegisterCallBackInfo = nullptr;
        Instance->VSCore_HasInit = nullptr;
        Instance->VSCore_Init = nullptr;
        Instance->VSCore_TermEx = nullptr;
        Instance->VSCore_QueryControlInterface = nullptr;
        UnloadCoreLibrary(Instance);
        xrq_loader::DropPrivateCopy(HeadBasic(), Instance->TempCorePath, MadeNew);
        return false;
    }
    return true;
}

void UnloadCoreLibrary(ClassOfVSTarvex *Instance)
{
    if (Instance == nullptr)
        return;
    if (Instance->CoreModule != nullptr)
        vs_dll_close(Instance->CoreModule);
    Instance->TempCorePath[0] = 0;
    Instance->CoreModule = nullptr;
}

VS_UWORD CoreMessageCallback(VS_ULONG Group, VS_ULONG Message, VS_UWORD Param1, VS_UWORD Param2,
                             VS_BOOL *Processed, VS_UWORD Para)
{
    (void)Group;
    (void)Param2;
    ClassOfVSTarvex *Instance = (ClassOfVSTarvex *)(uintptr_t)Para;
    if (Instance == nullptr || Instance->Wnd == nullptr)
        return 0;
    switch (Message) {
    case 7:
        if (Param1 != 0)
            *(void **)(uintptr_t)Param1 = Instance->Wnd;
        if (Processed != nullptr)
            *Processed = VS_TRUE;
        return 0;
    case 15:
        if (Processed != nullptr)
            *Processed = VS_TRUE;
        return Instance->WndActive == 1 ? 1 : 0;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Factories
// ---------------------------------------------------------------------------

ClassOfTarvexEx *NewTarvexCore(VS_BOOL Flag, VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, void *Config)
{
    return NewLoading(VS_FALSE, Flag, "", 0, "", 0, CallBack, CallBackPara, Config);
}

ClassOfTarvexEx *NewTarvexCoreEx(VS_BOOL Flag, const VS_CHAR *Text1, VS_UINT16 Number1, const VS_CHAR *Text2,
                               VS_UINT16 Number2, VS_MSGCALLBACK CallBack, VS_UWORD CallBackPara, void *Config)
{
    return NewLoading(VS_TRUE, Flag, Text1, Number1, Text2, Number2, CallBack, CallBackPara, Config);
}

ClassOfTarvexEx *NewTarvexCoreEx2(const VS_CHAR *Text1, VS_UINT16 Number1, const VS_CHAR *Text2, VS_UINT16 Number2,
                                void *Config)
{
    return NewLoading(VS_TRUE, VS_FALSE, Text1, Number1, Text2, Number2, nullptr, 0, Config);
}

ClassOfTarvexEx *NewTarvexCoreByConfig(void *Config)
{
    return NewLoading(VS_FALSE, VS_FALSE, "", 0, "", 0, nullptr, 0, Config);
}

ClassOfTarvexEx *NewTarvexCoreByInterface(ClassOfXRQControlInterfaceEx *Control, ClassOfBasicXRQInterfaceEx *Basic)
{
    EnsureListLock();
    ClassOfVSTarvex *Instance = new (std::nothrow) ClassOfVSTarvex();
    if (Instance == nullptr)
        return nullptr;
    Instance->InitResult = 0;
    LinkAtHead(Instance);
    Instance->ControlInterface = Control;
    Instance->BasicInterface = Basic;
    return Instance;
}

void ReleaseTarvexCore(ClassOfTarvexEx *Instance)
{
    if (Instance == nullptr)
        return;
    ClassOfXRQControlInterfaceEx *Control = Instance->GetControlInterface();
    ClassOfBasicXRQInterfaceEx *Basic = Instance->GetBasicInterface();
    if (Control != nullptr)
        Control->Release();
    if (Basic != nullptr)
        Basic->Release();
    Instance->Release();
}

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------

bool GetInstallDirectory(VS_UINT8 Kind, VS_CHAR *Buffer, VS_ULONG BufferSize, bool UseEnvironment)
{
    if (Buffer == nullptr || BufferSize == 0)
        return false;
    Buffer[0] = 0;
    VS_CHAR Base[4096];
    bool FromHome = UseEnvironment && vs_get_env("XRQHOME", Base, sizeof(Base)) && Base[0] != 0;
    // Without a base there is no install tree: a path under "" would name the
    // root of the current drive.
    if (!FromHome && (!vs_get_env("SystemDrive", Base, sizeof(Base)) || Base[0] == 0))
        return false;
    const VS_CHAR *Format;
    switch (Kind) {
    case XRQ_INSTALLDIR_SERVER:
        Format = "%s\\kestrix\\serverapp";
        break;
    case XRQ_INSTALLDIR_CLIENT:
        Format = "%s\\kestrix\\clientapp";
        break;
    case XRQ_INSTALLDIR_DEBUG:
        Format = "%s\\kestrix\\debug";
        break;
    case XRQ_INSTALLDIR_ROOT:
        Format = "%s\\kestrix";
        break;
    default:
        Format = "%s\\kestrix\\tools";
        break;
    }
    if (!FitsText(Buffer, BufferSize, snprintf(Buffer, BufferSize, Format, Base)))
        return false;
    if (FromHome)
        vs_dir_create(Buffer);
    return true;
}

bool GetCoreDirectory(VS_CHAR *Buffer, VS_ULONG BufferSize)
{
    VS_CHAR Windows[XRQ_PATH_SIZE];
    if (Buffer == nullptr || BufferSize == 0)
        return false;
    if (!xrq_loader::WindowsDirectory(Windows, sizeof(Windows))) {
        Buffer[0] = 0;
        return false;
    }
    return FitsText(Buffer, BufferSize, snprintf(Buffer, BufferSize, "%s\\system32", Windows));
}

// ---------------------------------------------------------------------------
// Private copies
// ---------------------------------------------------------------------------

namespace {

// Opens the private copy of the loaded library at LoadedPath through Basic's
// registrations; the path opened goes to Opened.
void *OpenPrivate(const VS_CHAR *LoadedPath, ClassOfBasicXRQInterfaceEx *Basic, VS_CHAR Opened[XRQ_PATH_SIZE])
{
    bool MadeNew = false;
    if (!xrq_loader::PrivateCopy(LoadedPath, Basic, Opened, &MadeNew))
        return nullptr;
    void *Module = vs_dll_open(Opened);
    if (Module == nullptr)
        xrq_loader::DropPrivateCopy(Basic, Opened, MadeNew);
    return Module;
}

} // namespace

void *LoadLibraryPrivate(ClassOfXRQControlInterfaceEx *ControlInterface, const VS_CHAR *LibraryName)
{
    if (LibraryName == nullptr)
        return nullptr;
    VS_CHAR Loaded[XRQ_PATH_SIZE];
    if (vs_dll_getex(LibraryName, Loaded, sizeof(Loaded)) == nullptr)
        return vs_dll_open(LibraryName);
    ClassOfBasicXRQInterfaceEx *Basic =
        ControlInterface != nullptr ? ControlInterface->QueryBasicInterface(0) : nullptr;
    VS_CHAR Opened[XRQ_PATH_SIZE];
    void *Module = OpenPrivate(Loaded, Basic, Opened);
    if (Basic != nullptr)
        Basic->Release();
    return Module;
}

void *LoadCorePrivate(VS_CHAR *PathBuffer, VS_ULONG BufferSize)
{
    if (PathBuffer != nullptr && BufferSize > 0)
        PathBuffer[0] = 0;
    VS_CHAR Path[XRQ_PATH_SIZE];
    if (!xrq_loader::CoreLibraryPath(Path))
        return nullptr;
    void *Module = nullptr;
    void *Loaded = vs_dll_get(Path);
    if (Loaded == nullptr) {
        Module = vs_dll_open(Path);
    } else {
        VSCore_QueryControlInterfaceProc Query =
            Resolve<VSCore_QueryControlInterfaceProc>(Loaded, "VSCore_QueryControlInterface");
        ClassOfXRQControlInterfaceEx *Control = Query != nullptr ? Query() : nullptr;
        ClassOfBasicXRQInterfaceEx *Basic = Control != nullptr ? Control->QueryBasicInterface(0) : nullptr;
        VS_CHAR Opened[XRQ_PATH_SIZE];
        Module = OpenPrivate(Path, Basic, Opened);
        if (Basic != nullptr)
            Basic->Release();
        if (Module != nullptr)
            snprintf(Path, sizeof(Path), "%s", Opened);
    }
    if (Module != nullptr && PathBuffer != nullptr && BufferSize > 0)
        snprintf(PathBuffer, BufferSize, "%s", Path);
    return Module;
}
