// Module entry: the two exported entry functions, start-up (registration of
// the 19 classes, their luafuncs and handlers, class-level buffers, the layout
// check and the calibration) and shutdown.
#include "quel_trelk.h"
#include "trelk_templates.h"
#include "trelk_upcalls.h"

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

thread_local VS_CHAR FullClassNamePrintBuf[FULLCLASSNAMEPRINTBUF_SIZE];

namespace {

// The class table, in registration order.
struct TrelkClassEntry {
    const VS_CHAR *Name;
    const VS_CHAR *ClassIDText;
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
    {"QZObjectPointer", "2DEB27C2-3D89-4243-BDFB-7E08A3AD68F4", TRELK_ONEPART(QZObjectPointer),
     TRELK_BIND(QZObjectPointer), &QZObjectPointerClass, 0},
    {"QZObjectPointerWithChangeFlag", "DA6CD5DC-47CA-4f00-9FE8-CA892F3BFE3D",
     TRELK_ONEPART(QZObjectPointerWithChangeFlag), TRELK_BIND(QZObjectPointerWithChangeFlag),
     &QZObjectPointerWithChangeFlagClass, 0},
    {"QZRuleBase", "E88FAD4D-52CA-4cee-9598-AE792FE0B576", TRELK_ONEPART(QZRuleBase), TRELK_BIND(QZRuleBase),
     &QZRuleBaseClass, 0},
    {"QZRuleAttachBase", "D8B3D75B-9CED-4417-A0E8-42D76B8EDC59", TRELK_ONEPART(QZRuleAttachBase),
     TRELK_BIND(QZRuleAttachBase), &QZRuleAttachBaseClass, 0},
    {"QZDataInputContainer", "19EBD4D6-7F2D-45ad-9564-6F021FA9793A", TRELK_ONEPART(QZDataInputContainer),
     TRELK_BIND(QZDataInputContainer), &QZDataInputContainerClass, 0},
    {"QZDataBase", "D5649A5F-79B3-4a7d-BD1F-DF0C0E4FE3BB", TRELK_ONEPART(QZDataBase), TRELK_BIND(QZDataBase),
     &QZDataBaseClass, sizeof(StructOfQZDataBaseLocalBuf)},
    {"QZDataSetBase", "4396EAC4-C1A4-4c00-A8AD-CC956C8603DD", TRELK_ONEPART(QZDataSetBase),
     TRELK_BIND(QZDataSetBase), &QZDataSetBaseClass, 0},
    {"QZObjectDataBase", "FC30C5EB-7762-4373-92CA-E5C6CB777084", TRELK_ONEPART(QZObjectDataBase),
     TRELK_BIND(QZObjectDataBase), &QZObjectDataBaseClass, 0},
    {"QZBufDataBase", "0A914F30-940E-48fd-B02F-73EAC7972F1D", TRELK_ONEPART(QZBufDataBase),
     TRELK_BIND(QZBufDataBase), &QZBufDataBaseClass, 0},
    {"QZRealmFrameData", "879ABE7B-3A84-4277-9941-E905C613E288", TRELK_ONEPART(QZRealmFrameData),
     TRELK_BIND(QZRealmFrameData), &QZRealmFrameData, 0},
    {"QZDataOutputContainer", "513DF29F-A6CD-4821-8F33-07E49E485FF7", TRELK_ONEPART(QZDataOutputContainer),
     TRELK_BIND(QZDataOutputContainer), &QZDataOutputContainerClass, 0},
    {"QZExceptionBase", "F51653E8-32ED-4de3-A266-09264B2B05A8", TRELK_ONEPART(QZExceptionBase),
     TRELK_BIND(QZExceptionBase), &QZExceptionBaseClass, 0},
    {"QZProcBase", "0CE3FA22-9B7F-4598-9C44-51A768818AEC", TRELK_TWOPART(QZProcBase, TRELK_TEMPLATE_JOINSIZE_PROC),
     TRELK_BIND(QZProcBase), &QZProcBaseClass, sizeof(StructOfQZProcBaseLocalBuf)},
    {"QZProcRemoteBase", "5F7E7457-14E7-43d2-8F72-2E6A0A02AAF9", TRELK_ONEPART(QZProcRemoteBase),
     TRELK_BIND(QZProcRemoteBase), &QZProcRemoteBaseClass, 0},
    {"QZProcRunnerBase", "42BD1CCB-67E5-4621-A8EC-87CA664ABD98", TRELK_ONEPART(QZProcRunnerBase),
     TRELK_BIND(QZProcRunnerBase), &QZProcRunnerBaseClass, 0},
    {"QZProcChainBase", "7096EA8D-5B59-4248-B2E7-3ED48BF75808", TRELK_ONEPART(QZProcChainBase),
     TRELK_BIND(QZProcChainBase), &QZProcChainBaseClass, sizeof(StructOfQZProcChainBaseLocalBuf)},
    {"QZCellBase", "240D0512-49D4-4bf7-8ECC-E74AD4FD9A29", TRELK_TWOPART(QZCellBase, TRELK_TEMPLATE_JOINSIZE_PROC),
     TRELK_BIND(QZCellBase), &QZCellBaseClass, 0},
    {"QZRealmStubBase", "D5656682-2EE8-4917-85DE-4A2B74874545", TRELK_ONEPART(QZRealmStubBase),
     TRELK_BIND(QZRealmStubBase), &QZRealmStubBaseClass, 0},
    {"QZRealmBase", "7A20E92F-F609-4c85-86B0-34117BE912EF", TRELK_TWOPART(QZRealmBase, TRELK_TEMPLATE_JOINSIZE_REALM),
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

    VS_UUID ClassID;
    if (!XRQ->StringToUuid(Entry.ClassIDText, &ClassID)) {
        SXml->Release();
        ReportStartFailure("invalid class id of class", Entry.Name, nullptr);
        return VS_FALSE;
    }
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
void Tarvex_TermProcChain() {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    ClassOfXRQControlInterface *Control = QZObject_XRQControlInteface;
    if (XRQ == nullptr || Control == nullptr) {
        // Never started, or already shut down.
        return;
    }

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
    Control->XRQDispatch(VS_TRUE);

    XRQ->DestoryIndex(GlobalThreadIndexTree);
    GlobalThreadIndexTree = nullptr;

    for (void **ClassGlobal : TrelkFreeOrder) {
        if (*ClassGlobal != nullptr)
            XRQ->FreeObject(*ClassGlobal);
        *ClassGlobal = nullptr;
    }
    // Freeing the classes can leave list indexes in attribute lists that no
    // data object took back; they have no other owner.
    QZDataBase_ReleaseParkedIndexes();

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
}
