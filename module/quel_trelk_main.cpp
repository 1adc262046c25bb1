// Module entry: the two exported entry functions, start-up (registration of
// the 19 classes, their luafuncs and handlers, class-level buffers, the layout
// check and the calibration) and shutdown.
#include "quel_trelk.h"
#include "trelk_templates.h"
#include "trelk_upcalls.h"
#include "trelk_helpers.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

// ---------------------------------------------------------------------------
// Module globals
// ---------------------------------------------------------------------------
ClassOfXRQInterface *QZObject_XRQInterface = nullptr;
ClassOfXRQControlInterface *QZObject_XRQControlInteface = nullptr;
VS_PARAPKGPTR QZObject_SystemPackageInfo = nullptr;
void *QZObject_QuelObjectSpace = nullptr;

void *GlobalProcTypeIndexTree = nullptr;
void *GlobalDataTypeIndexTree = nullptr;
void *GlobalThreadIndexTree = nullptr;
void *GlobalProcPerformanceMemory = nullptr;
void *GlobalProcPerformanceIndexTree = nullptr;

VS_UUID QZRealmStubObjectID = {};
VS_BOOL QZRealStubObjectIsSet = VS_FALSE;
VS_INT64 LastNewTypeTickCount = 0;
VS_DOUBLE PerformanceBaseCount = 0.0;

void *QZObjectPointerClass = nullptr;
void *QZObjectPointerWithChangeFlagClass = nullptr;
void *QZRuleBaseClass = nullptr;
void *QZRuleAttachBaseClass = nullptr;
void *QZDataInputContainerClass = nullptr;
void *QZDataBaseClass = nullptr;
void *QZDataSetBaseClass = nullptr;
void *QZObjectDataBaseClass = nullptr;
void *QZBufDataBaseClass = nullptr;
void *QZRealmFrameData = nullptr;
void *QZDataOutputContainerClass = nullptr;
void *QZExceptionBaseClass = nullptr;
void *QZProcBaseClass = nullptr;
void *QZProcRemoteBaseClass = nullptr;
void *QZProcRunnerBaseClass = nullptr;
void *QZProcChainBaseClass = nullptr;
void *QZCellBaseClass = nullptr;
void *QZRealmStubBaseClass = nullptr;
void *QZRealmBaseClass = nullptr;

// The IDs the classes are registered under; code that runs before the class
// globals are set (a class's own creation event) recognises them by these.
const VS_UUID QZObjectPointer_ClassID = {0x2DEB27C2, 0x3D89, 0x4243, {0xBD, 0xFB, 0x7E, 0x08, 0xA3, 0xAD, 0x68, 0xF4}};
const VS_UUID QZObjectPointerWithChangeFlag_ClassID = {0xDA6CD5DC, 0x47CA, 0x4f00, {0x9F, 0xE8, 0xCA, 0x89, 0x2F, 0x3B, 0xFE, 0x3D}};
const VS_UUID QZRuleBase_ClassID = {0xE88FAD4D, 0x52CA, 0x4cee, {0x95, 0x98, 0xAE, 0x79, 0x2F, 0xE0, 0xB5, 0x76}};
const VS_UUID QZRuleAttachBase_ClassID = {0xD8B3D75B, 0x9CED, 0x4417, {0xA0, 0xE8, 0x42, 0xD7, 0x6B, 0x8E, 0xDC, 0x59}};
const VS_UUID QZDataInputContainer_ClassID = {0x19EBD4D6, 0x7F2D, 0x45ad, {0x95, 0x64, 0x6F, 0x02, 0x1F, 0xA9, 0x79, 0x3A}};
const VS_UUID QZDataBase_ClassID = {0xD5649A5F, 0x79B3, 0x4a7d, {0xBD, 0x1F, 0xDF, 0x0C, 0x0E, 0x4F, 0xE3, 0xBB}};
const VS_UUID QZDataSetBase_ClassID = {0x4396EAC4, 0xC1A4, 0x4c00, {0xA8, 0xAD, 0xCC, 0x95, 0x6C, 0x86, 0x03, 0xDD}};
const VS_UUID QZObjectDataBase_ClassID = {0xFC30C5EB, 0x7762, 0x4373, {0x92, 0xCA, 0xE5, 0xC6, 0xCB, 0x77, 0x70, 0x84}};
const VS_UUID QZBufDataBase_ClassID = {0x0A914F30, 0x940E, 0x48fd, {0xB0, 0x2F, 0x73, 0xEA, 0xC7, 0x97, 0x2F, 0x1D}};
const VS_UUID QZRealmFrameData_ClassID = {0x879ABE7B, 0x3A84, 0x4277, {0x99, 0x41, 0xE9, 0x05, 0xC6, 0x13, 0xE2, 0x88}};
const VS_UUID QZDataOutputContainer_ClassID = {0x513DF29F, 0xA6CD, 0x4821, {0x8F, 0x33, 0x07, 0xE4, 0x9E, 0x48, 0x5F, 0xF7}};
const VS_UUID QZExceptionBase_ClassID = {0xF51653E8, 0x32ED, 0x4de3, {0xA2, 0x66, 0x09, 0x26, 0x4B, 0x2B, 0x05, 0xA8}};
const VS_UUID QZProcBase_ClassID = {0x0CE3FA22, 0x9B7F, 0x4598, {0x9C, 0x44, 0x51, 0xA7, 0x68, 0x81, 0x8A, 0xEC}};
const VS_UUID QZProcRemoteBase_ClassID = {0x5F7E7457, 0x14E7, 0x43d2, {0x8F, 0x72, 0x2E, 0x6A, 0x0A, 0x02, 0xAA, 0xF9}};
const VS_UUID QZProcRunnerBase_ClassID = {0x42BD1CCB, 0x67E5, 0x4621, {0xA8, 0xEC, 0x87, 0xCA, 0x66, 0x4A, 0xBD, 0x98}};
const VS_UUID QZProcChainBase_ClassID = {0x7096EA8D, 0x5B59, 0x4248, {0xB2, 0xE7, 0x3E, 0xD4, 0x8B, 0xF7, 0x58, 0x08}};
const VS_UUID QZCellBase_ClassID = {0x240D0512, 0x49D4, 0x4bf7, {0x8E, 0xCC, 0xE7, 0x4A, 0xD4, 0xFD, 0x9A, 0x29}};
const VS_UUID QZRealmStubBase_ClassID = {0xD5656682, 0x2EE8, 0x4917, {0x85, 0xDE, 0x4A, 0x2B, 0x74, 0x87, 0x45, 0x45}};
const VS_UUID QZRealmBase_ClassID = {0x7A20E92F, 0xF609, 0x4c85, {0x86, 0xB0, 0x34, 0x11, 0x7B, 0xE9, 0x12, 0xEF}};

thread_local VS_CHAR FullClassNamePrintBuf[FULLCLASSNAMEPRINTBUF_SIZE];

namespace {

// The class table, in registration order.
struct TrelkClassEntry {
    const VS_CHAR *Name;
    const VS_UUID *ClassID;
    const VS_CHAR *Template;      // one-part templates
    const VS_CHAR *TemplatePart1; // two-part templates
    const VS_CHAR *TemplatePart2;
    VS_ULONG JoinBufSize;         // local buffer for the joined two parts
    const StructOfTrelkLuaFuncEntry *LuaFuncTable;
    const VS_SYSEVENTPTR *Handler;
    void **ClassGlobal;
    VS_ULONG PrivateBufSize; // class-level private buffer, 0 = none
};

#define TRELK_ONEPART(cls) cls##_Template, nullptr, nullptr, 0
#define TRELK_TWOPART(cls, size) nullptr, cls##_Template_Part1, cls##_Template_Part2, size
#define TRELK_BIND(cls) cls##_LuaFuncTable, &cls##_SysEventHandler

const TrelkClassEntry TrelkClassTable[] = {
    {"QZObjectPointer", &QZObjectPointer_ClassID, TRELK_ONEPART(QZObjectPointer),
     TRELK_BIND(QZObjectPointer), &QZObjectPointerClass, 0},
    {"QZObjectPointerWithChangeFlag", &QZObjectPointerWithChangeFlag_ClassID,
     TRELK_ONEPART(QZObjectPointerWithChangeFlag), TRELK_BIND(QZObjectPointerWithChangeFlag),
     &QZObjectPointerWithChangeFlagClass, 0},
    {"QZRuleBase", &QZRuleBase_ClassID, TRELK_ONEPART(QZRuleBase), TRELK_BIND(QZRuleBase),
     &QZRuleBaseClass, 0},
    {"QZRuleAttachBase", &QZRuleAttachBase_ClassID, TRELK_ONEPART(QZRuleAttachBase),
     TRELK_BIND(QZRuleAttachBase), &QZRuleAttachBaseClass, 0},
    {"QZDataInputContainer", &QZDataInputContainer_ClassID, TRELK_ONEPART(QZDataInputContainer),
     TRELK_BIND(QZDataInputContainer), &QZDataInputContainerClass, 0},
    {"QZDataBase", &QZDataBase_ClassID, TRELK_ONEPART(QZDataBase), TRELK_BIND(QZDataBase),
     &QZDataBaseClass, sizeof(StructOfQZDataBaseLocalBuf)},
    {"QZDataSetBase", &QZDataSetBase_ClassID, TRELK_ONEPART(QZDataSetBase),
     TRELK_BIND(QZDataSetBase), &QZDataSetBaseClass, 0},
    {"QZObjectDataBase", &QZObjectDataBase_ClassID, TRELK_ONEPART(QZObjectDataBase),
     TRELK_BIND(QZObjectDataBase), &QZObjectDataBaseClass, 0},
    {"QZBufDataBase", &QZBufDataBase_ClassID, TRELK_ONEPART(QZBufDataBase),
     TRELK_BIND(QZBufDataBase), &QZBufDataBaseClass, 0},
    {"QZRealmFrameData", &QZRealmFrameData_ClassID, TRELK_ONEPART(QZRealmFrameData),
     TRELK_BIND(QZRealmFrameData), &QZRealmFrameData, 0},
    {"QZDataOutputContainer", &QZDataOutputContainer_ClassID, TRELK_ONEPART(QZDataOutputContainer),
     TRELK_BIND(QZDataOutputContainer), &QZDataOutputContainerClass, 0},
    {"QZExceptionBase", &QZExceptionBase_ClassID, TRELK_ONEPART(QZExceptionBase),
     TRELK_BIND(QZExceptionBase), &QZExceptionBaseClass, 0},
    {"QZProcBase", &QZProcBase_ClassID, TRELK_TWOPART(QZProcBase, TRELK_TEMPLATE_JOINSIZE_PROC),
     TRELK_BIND(QZProcBase), &QZProcBaseClass, sizeof(StructOfQZProcBaseLocalBuf)},
    {"QZProcRemoteBase", &QZProcRemoteBase_ClassID, TRELK_ONEPART(QZProcRemoteBase),
     TRELK_BIND(QZProcRemoteBase), &QZProcRemoteBaseClass, 0},
    {"QZProcRunnerBase", &QZProcRunnerBase_ClassID, TRELK_ONEPART(QZProcRunnerBase),
     TRELK_BIND(QZProcRunnerBase), &QZProcRunnerBaseClass, 0},
    {"QZProcChainBase", &QZProcChainBase_ClassID, TRELK_ONEPART(QZProcChainBase),
     TRELK_BIND(QZProcChainBase), &QZProcChainBaseClass, sizeof(StructOfQZProcChainBaseLocalBuf)},
    {"QZCellBase", &QZCellBase_ClassID, TRELK_TWOPART(QZCellBase, TRELK_TEMPLATE_JOINSIZE_PROC),
     TRELK_BIND(QZCellBase), &QZCellBaseClass, 0},
    {"QZRealmStubBase", &QZRealmStubBase_ClassID, TRELK_ONEPART(QZRealmStubBase),
     TRELK_BIND(QZRealmStubBase), &QZRealmStubBaseClass, 0},
    {"QZRealmBase", &QZRealmBase_ClassID, TRELK_TWOPART(QZRealmBase, TRELK_TEMPLATE_JOINSIZE_REALM),
     TRELK_BIND(QZRealmBase), &QZRealmBaseClass, 0},
};

// The order in which shutdown frees the class objects: derived classes before
// their parents, so that no class outlives the class it was derived from.
void **const TrelkFreeOrder[] = {
    &QZObjectPointerClass,   &QZObjectPointerWithChangeFlagClass,
    &QZDataInputContainerClass,
    &QZRealmFrameData,       &QZDataSetBaseClass,
    &QZObjectDataBaseClass,  &QZBufDataBaseClass,
    &QZDataBaseClass,        &QZDataOutputContainerClass,
    &QZExceptionBaseClass,   &QZProcRemoteBaseClass,
    &QZCellBaseClass,        &QZProcBaseClass,
    &QZProcRunnerBaseClass,  &QZProcChainBaseClass,
    &QZRealmBaseClass,       &QZRuleBaseClass,
    &QZRuleAttachBaseClass,  &QZRealmStubBaseClass,
};

const VS_CHAR CalibrationText[] =
    "QZObject_XRQInterface->GetMemoryUsed(&KernelAllocSize, &DataAllocSize, &AppAllocSize, &ScriptMemoryUsed)";

void ReportStartFailure(const VS_CHAR *Text, const VS_CHAR *Name, const VS_CHAR *Detail) {
    QZObject_XRQInterface->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                        "trelk initialize failed, %s [%s]%s%s", Text, Name,
                                        Detail != nullptr ? " " : "", Detail != nullptr ? Detail : "");
}

// Loads one class from its template and binds its luafuncs; FALSE after a
// report when any step fails.
VS_BOOL RegisterClass(const TrelkClassEntry &Entry, void *RootItem) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    ClassOfXRQSXMLInterface *SXml = XRQ->GetSXMLInterface();
    if (SXml == nullptr) {
        ReportStartFailure("no template reader for class", Entry.Name, nullptr);
        return VS_FALSE;
    }
    VS_BOOL Loaded;
    if (Entry.Template != nullptr) {
        Loaded = SXml->LoadFromBuf(Entry.Template, 0);
    } else {
        size_t Len1 = strlen(Entry.TemplatePart1);
        size_t Len2 = strlen(Entry.TemplatePart2);
        if (Len1 + Len2 + 1 > Entry.JoinBufSize) {
            // A joined text that does not fit the local buffer would be cut
            // into invalid XML; refuse rather than load a truncated class.
            SXml->Release();
            ReportStartFailure("template is too long for class", Entry.Name, nullptr);
            return VS_FALSE;
        }
        VS_CHAR *Joined = (VS_CHAR *)XRQ->Malloc_Nor(Entry.JoinBufSize);
        if (Joined == nullptr) {
            SXml->Release();
            ReportStartFailure("no memory for the template of class", Entry.Name, nullptr);
            return VS_FALSE;
        }
        memcpy(Joined, Entry.TemplatePart1, Len1);
        memcpy(Joined + Len1, Entry.TemplatePart2, Len2);
        Joined[Len1 + Len2] = 0;
        Loaded = SXml->LoadFromBuf(Joined, 0);
        XRQ->Free(Joined);
    }
    if (!Loaded) {
        SXml->Release();
        ReportStartFailure("template can not be read for class", Entry.Name, nullptr);
        return VS_FALSE;
    }

    VS_UUID ClassID = *Entry.ClassID;
    void *ClassObject = XRQ->XmlToObjectEx(SXml, RootItem, &ClassID, *Entry.Handler, 0);
    SXml->Release();
    if (ClassObject == nullptr) {
        ReportStartFailure("can not create class", Entry.Name, nullptr);
        return VS_FALSE;
    }
    // The class global is the object the host has just made; a look-up by name
    // could find an older object of the same name that is no class of ours.
    *Entry.ClassGlobal = ClassObject;

    if (Entry.PrivateBufSize != 0) {
        VS_ULONG Layer = XRQ->GetLayer(ClassObject);
        VS_ULONG ExistingSize = 0;
        void *LocalBuf = XRQ->GetPrivateBuf(ClassObject, Layer, 0, &ExistingSize);
        if (LocalBuf == nullptr || ExistingSize < Entry.PrivateBufSize) {
            LocalBuf = XRQ->MallocPrivateBuf(ClassObject, Layer, 0, Entry.PrivateBufSize);
            if (LocalBuf == nullptr) {
                ReportStartFailure("can not create the class buffer of class", Entry.Name, nullptr);
                return VS_FALSE;
            }
            if (ExistingSize == 0)
                vs_memset(LocalBuf, 0, (VS_INT64)Entry.PrivateBufSize);
        }
        // The class's own creation event may have made the buffer already;
        // wiping it would lose what that event put there.
        if (Entry.ClassGlobal == &QZDataBaseClass && ((StructOfQZDataBaseLocalBuf *)LocalBuf)->CallBackObjectPkg == nullptr)
            ((StructOfQZDataBaseLocalBuf *)LocalBuf)->CallBackObjectPkg = Trelk_GetParaPkgInterface(__LINE__);
    }

    if (Entry.LuaFuncTable[0].Name != nullptr) {
        void *Atomic = XRQ->ObjectToAtomic(ClassObject);
        if (Atomic == nullptr) {
            ReportStartFailure("no atomic handle for class", Entry.Name, nullptr);
            return VS_FALSE;
        }
        for (const StructOfTrelkLuaFuncEntry *Func = Entry.LuaFuncTable; Func->Name != nullptr; Func++) {
            void *Slot = XRQ->GetAtomicFunctionByName(Atomic, Func->Name);
            if (Slot == nullptr || Func->Func == nullptr || !XRQ->SetAtomicFunction(Slot, Func->Func)) {
                ReportStartFailure("can not bind the luafunc of class", Entry.Name, Func->Name);
                return VS_FALSE;
            }
        }
    }

    if (Entry.ClassGlobal == &QZRealmFrameData) {
        ((StructOfQZDataBase *)QZRealmFrameData)->IsType = VS_TRUE;
        XRQ->InsertIDKey(GlobalDataTypeIndexTree, XRQ->GetIDEx(QZRealmFrameData), (void *)1);
    }
    return VS_TRUE;
}

} // namespace

// ---------------------------------------------------------------------------
// Entry functions
// ---------------------------------------------------------------------------
extern "C" TRELK_EXPORT VS_BOOL quel_trelk_Init2(ClassOfTarvex *Tarvex, StructOfVSTarvexInterfaceTable *) {
    if (Tarvex == nullptr)
        return VS_FALSE;
    ClassOfBasicXRQInterface *Basic = Tarvex->GetBasicInterface();
    if (Basic == nullptr)
        return VS_FALSE;
    ClassOfXRQControlInterface *Control = Basic->GetXRQControlInterface();
    if (Control == nullptr) {
        Basic->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                            "trelk initialize failed, no control interface");
        return VS_FALSE;
    }

    VS_UINT8 Main = 0, Sub = 0;
    VS_UINT16 Build = 0;
    Basic->GetVersion(&Main, &Sub, &Build);
    if (Main <= 2 || (Main == 3 && Sub <= 0x71)) {
        Basic->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                            "trelk initialize failed, tarvex version must be equal or higher than 3.7.2");
        Control->Release();
        return VS_FALSE;
    }

    ClassOfXRQInterface *Service = Basic->GetXRQInterface(Basic->QueryActiveService(nullptr), "", "");
    if (Service == nullptr) {
        Control->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                              "please call CheckPassword with VS_FALSE before load quel_trelk");
        Control->Release();
        return VS_FALSE;
    }

    VS_BOOL Result = Tarvex_InitProcChain(Control, Service);
    Service->Release();
    Control->Release();
    return Result;
}

extern "C" TRELK_EXPORT void quel_trelk_Term2() {
    Tarvex_TermProcChain();
}

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------
VS_BOOL Tarvex_InitProcChain(ClassOfXRQControlInterface *ControlInteface, ClassOfXRQInterface *XRQInterface) {
    if (ControlInteface == nullptr || XRQInterface == nullptr)
        return VS_FALSE;

    srand((unsigned int)time(nullptr));
    Trelk_UniformTickStart();
    Trelk_GetUniformTick();
    memset(&QZRealmStubObjectID, 0, sizeof(QZRealmStubObjectID));
    QZRealStubObjectIsSet = VS_FALSE;
    LastNewTypeTickCount = vs_tm_gettickcount64();
    QZRealmBase_GetStatus_InitGetStatusPositionItem();

    QZObject_XRQInterface = XRQInterface;
    QZObject_XRQInterface->AddRef();
    QZObject_XRQControlInteface = ControlInteface;
    QZObject_XRQControlInteface->AddRef();
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;

    GlobalProcTypeIndexTree = XRQ->CreateIDIndex_Nor(0);
    MemoryDebug_InsertObjectRecord(GlobalProcTypeIndexTree, __LINE__);
    GlobalDataTypeIndexTree = XRQ->CreateIDIndex_Nor(0);
    MemoryDebug_InsertObjectRecord(GlobalDataTypeIndexTree, __LINE__);
    GlobalThreadIndexTree = XRQ->CreateIndex_Nor(1, 0);
    MemoryDebug_InsertObjectRecord(GlobalThreadIndexTree, __LINE__);
    GlobalProcPerformanceMemory = XRQ->CreateMemory_Nor(sizeof(StructOfProcPerformance));
    GlobalProcPerformanceIndexTree = XRQ->CreateIDIndex_Nor(0);
    MemoryDebug_InsertObjectRecord(GlobalProcPerformanceIndexTree, __LINE__);
    if (GlobalProcTypeIndexTree == nullptr || GlobalDataTypeIndexTree == nullptr || GlobalThreadIndexTree == nullptr ||
        GlobalProcPerformanceMemory == nullptr || GlobalProcPerformanceIndexTree == nullptr) {
        XRQ->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                          "trelk initialize failed, the global registries can not be created");
        Tarvex_TermProcChain();
        return VS_FALSE;
    }

    QZObject_QuelObjectSpace = XRQ->GetObjectEx(nullptr, "QuelObjectSpace");
    XRQ->SetExceptHandler(QZExceptHandler);
    QZObject_SystemPackageInfo = Trelk_GetParaPkgInterface(__LINE__);
    XRQ->CreateSysRootItem(QUEL_TRELK_MODULENAME, nullptr, nullptr, nullptr);
    void *RootItem = XRQ->GetSysRootItem(QUEL_TRELK_MODULENAME);
    if (RootItem == nullptr) {
        XRQ->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                          "trelk initialize failed, the root item can not be created");
        Tarvex_TermProcChain();
        return VS_FALSE;
    }

    for (const TrelkClassEntry &Entry : TrelkClassTable) {
        if (!RegisterClass(Entry, RootItem)) {
            // Later code dereferences every class global: never run with one
            // missing.
            Tarvex_TermProcChain();
            return VS_FALSE;
        }
    }

    VS_ATTRIBUTEINFO Info;
    memset(&Info, 0, sizeof(Info));
    if (!XRQ->GetAttributeInfoEx(QZDataInputContainerClass, "DataQueue", &Info) || Info.Offset != 64) {
        XRQ->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "struct is not align, platform criticl error");
        Tarvex_TermProcChain();
        return VS_FALSE;
    }

    VS_INT64 Start = vs_tm_gettickcount_us();
    VS_INT64 Total = 0;
    for (int i = 0; i < 100; i++) {
        VS_CHAR *Buf = (VS_CHAR *)XRQ->Malloc_Nor(1024);
        if (Buf == nullptr)
            continue;
        memcpy(Buf, CalibrationText, sizeof(CalibrationText));
        Trelk_NoteScriptCall();
        const VS_CHAR *R =
            (const VS_CHAR *)XRQ->ScriptCall(QZRealmBaseClass, nullptr, "PerformanceEach", "(s)s", Buf);
        Total += vs_string_strlen(R);
        XRQ->Free(Buf);
    }
    PerformanceBaseCount = (VS_DOUBLE)(vs_tm_gettickcount_us() - Start);
    return Total <= 102400 ? VS_TRUE : VS_FALSE;
}

// ---------------------------------------------------------------------------
// Shutdown
// ---------------------------------------------------------------------------
// Longest wait for script threads that are away from the locks inside module
// code (a wait for another thread, a dispatch).
#define TRELK_SHUTDOWN_AWAY_WAIT_MS 30000

// Such a thread comes back to module code when it has the locks again: it
// must find the module there, and what shutdown freed gone. The free
// callbacks of the realms let go of every thread that waits on a realm.
static void AwaitWaitsBack(ClassOfXRQInterface *XRQ, ClassOfXRQControlInterface *Control) {
    VS_INT64 Start = vs_tm_gettickcount64();
    while (Trelk_WaitsAway() > 0) {
        if (vs_tm_gettickcount64() - Start > TRELK_SHUTDOWN_AWAY_WAIT_MS) {
            XRQ->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                              "%d module calls still wait on other threads after %d s, shutdown goes on",
                              (int)Trelk_WaitsAway(), TRELK_SHUTDOWN_AWAY_WAIT_MS / 1000);
            return;
        }
        XRQ->XRQUnLock();
        Control->ReleaseScriptGIL();
        vs_thread_sleep(2);
        Control->CaptureScriptGIL();
        XRQ->XRQLock();
    }
}

void Tarvex_TermProcChain() {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    ClassOfXRQControlInterface *Control = QZObject_XRQControlInteface;
    if (XRQ == nullptr || Control == nullptr) {
        // Never started, or already shut down.
        return;
    }

    // From here on no ExecuteUntil starts: one begun by a script that runs
    // during shutdown (a report, a free callback) would outlive the module.
    Trelk_SetShuttingDown(VS_TRUE);
    // A script that ended without finishing its ExecuteUntil leaves it
    // running on a thread of its own.
    QZRealmBase_ExecuteUntil_FinishAll();

    VS_INT32 TotalWait = 0;
    VS_UWORD Key;
    while (GlobalThreadIndexTree != nullptr && XRQ->QueryFirstOneKey(GlobalThreadIndexTree, &Key) != nullptr) {
        XRQ->XRQUnLock();
        Control->ReleaseScriptGIL();
        vs_thread_sleep(3000);
        TotalWait += 3;
        Control->CaptureScriptGIL();
        XRQ->XRQLock();
        XRQ->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "wait thread to exit [%d]s...", TotalWait);
        if (TotalWait > 30) {
            XRQ->ProcessError(TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                              "wait thread to exit [%d]s, too long, may cause exception...", TotalWait);
            break;
        }
    }
    // A worker leaves the registry just before it returns: none may still be
    // running module code once the module is gone.
    QZRealmBase_RunProc_JoinEndedWorkers();
    Control->XRQDispatch(VS_TRUE);

    XRQ->DestoryIndex(GlobalThreadIndexTree);
    GlobalThreadIndexTree = nullptr;

    for (void **ClassGlobal : TrelkFreeOrder) {
        if (*ClassGlobal != nullptr)
            XRQ->FreeObject(*ClassGlobal);
        *ClassGlobal = nullptr;
    }
    AwaitWaitsBack(XRQ, Control);
    // Freeing the classes can leave list indexes in attribute lists that no
    // data object took back; they have no other owner.
    QZDataBase_ReleaseParkedIndexes();
    QZRealmBase_ReleaseModuleState();
    Tarvex_Schedule_ReleaseState();
    QZDataBase_ReleaseExcludeNotes();

    XRQ->DestoryIndex(GlobalProcTypeIndexTree);
    GlobalProcTypeIndexTree = nullptr;
    XRQ->DestoryIndex(GlobalDataTypeIndexTree);
    GlobalDataTypeIndexTree = nullptr;
    XRQ->DestoryIndex(GlobalProcPerformanceIndexTree);
    GlobalProcPerformanceIndexTree = nullptr;
    XRQ->DestoryMemory(GlobalProcPerformanceMemory);
    GlobalProcPerformanceMemory = nullptr;

    if (QZObject_SystemPackageInfo != nullptr) {
        QZObject_SystemPackageInfo->Release();
        QZObject_SystemPackageInfo = nullptr;
    }
    QZObject_QuelObjectSpace = nullptr;
    memset(&QZRealmStubObjectID, 0, sizeof(QZRealmStubObjectID));
    QZRealStubObjectIsSet = VS_FALSE;

    // The handler lives in this library, which the host may unload next.
    XRQ->SetExceptHandler(nullptr);
    QZObject_XRQInterface = nullptr;
    QZObject_XRQControlInteface = nullptr;
    XRQ->Release();
    Control->Release();
    Trelk_UniformTickStop();
    Trelk_SetShuttingDown(VS_FALSE);
}
