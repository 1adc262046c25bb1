// Start-up and shutdown of the module through the stand-in host: version
// table, service interface, registration, layout check, calibration and the
// wait for worker threads.
#include "forwarding_service.h"
#include "module_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <chrono>
#include <cstring>
#include <strings.h>
#include <thread>

using namespace trelktest;

namespace {

const char *const VersionMessage = "trelk initialize failed, tarvex version must be equal or higher than 3.7.2";

struct ClassRow {
    const char *Name;
    const char *ID;
    void **Global;
};

const ClassRow Classes[] = {
    {"QZObjectPointer", "2DEB27C2-3D89-4243-BDFB-7E08A3AD68F4", &QZObjectPointerClass},
    {"QZObjectPointerWithChangeFlag", "DA6CD5DC-47CA-4f00-9FE8-CA892F3BFE3D", &QZObjectPointerWithChangeFlagClass},
    {"QZRuleBase", "E88FAD4D-52CA-4cee-9598-AE792FE0B576", &QZRuleBaseClass},
    {"QZRuleAttachBase", "D8B3D75B-9CED-4417-A0E8-42D76B8EDC59", &QZRuleAttachBaseClass},
    {"QZDataInputContainer", "19EBD4D6-7F2D-45ad-9564-6F021FA9793A", &QZDataInputContainerClass},
    {"QZDataBase", "D5649A5F-79B3-4a7d-BD1F-DF0C0E4FE3BB", &QZDataBaseClass},
    {"QZDataSetBase", "4396EAC4-C1A4-4c00-A8AD-CC956C8603DD", &QZDataSetBaseClass},
    {"QZObjectDataBase", "FC30C5EB-7762-4373-92CA-E5C6CB777084", &QZObjectDataBaseClass},
    {"QZBufDataBase", "0A914F30-940E-48fd-B02F-73EAC7972F1D", &QZBufDataBaseClass},
    {"QZRealmFrameData", "879ABE7B-3A84-4277-9941-E905C613E288", &QZRealmFrameData},
    {"QZDataOutputContainer", "513DF29F-A6CD-4821-8F33-07E49E485FF7", &QZDataOutputContainerClass},
    {"QZExceptionBase", "F51653E8-32ED-4de3-A266-09264B2B05A8", &QZExceptionBaseClass},
    {"QZProcBase", "0CE3FA22-9B7F-4598-9C44-51A768818AEC", &QZProcBaseClass},
    {"QZProcRemoteBase", "5F7E7457-14E7-43d2-8F72-2E6A0A02AAF9", &QZProcRemoteBaseClass},
    {"QZProcRunnerBase", "42BD1CCB-67E5-4621-A8EC-87CA664ABD98", &QZProcRunnerBaseClass},
    {"QZProcChainBase", "7096EA8D-5B59-4248-B2E7-3ED48BF75808", &QZProcChainBaseClass},
    {"QZCellBase", "240D0512-49D4-4bf7-8ECC-E74AD4FD9A29", &QZCellBaseClass},
    {"QZRealmStubBase", "D5656682-2EE8-4917-85DE-4A2B74874545", &QZRealmStubBaseClass},
    {"QZRealmBase", "7A20E92F-F609-4c85-86B0-34117BE912EF", &QZRealmBaseClass},
};

// Stops the host however a test ends.
struct HostGuard {
    ~HostGuard() {
        tvh::unloadModule();
        tvh::stop();
    }
};

void ExpectModuleGlobalsCleared() {
    for (const ClassRow &Row : Classes)
        EXPECT_EQ(*Row.Global, nullptr) << Row.Name;
    EXPECT_EQ(QZObject_XRQInterface, nullptr);
    EXPECT_EQ(QZObject_XRQControlInteface, nullptr);
    EXPECT_EQ(GlobalThreadIndexTree, nullptr);
    EXPECT_EQ(GlobalProcPerformanceIndexTree, nullptr);
}

// Starts a host and calls the module's entry with an entry object whose
// service interface forwards to the host's.
class ForwardedStart : public ::testing::Test {
  protected:
    void SetUp() override { Restart(false); }
    // A fresh host, and fresh forwarders onto it.
    void Restart(bool StopFirst) {
        if (StopFirst)
            tvh::stop();
        ASSERT_TRUE(tvh::start());
        Entry.reset();
        Basic.reset();
        Service.reset(new ForwardingService(tvh::service()));
        Basic.reset(new ForwardingBasic(tvh::basic(), Service.get()));
        Entry.reset(new ForwardingTarvex(Basic.get()));
    }
    void TearDown() override {
        if (Started) {
            tvh::lockBoth();
            quel_trelk_Term2();
            tvh::unlockBoth();
        }
        tvh::stop();
    }
    bool Init() {
        tvh::lockBoth();
        Started = quel_trelk_Init2(Entry.get(), nullptr) != VS_FALSE;
        tvh::unlockBoth();
        return Started;
    }
    std::unique_ptr<ForwardingService> Service;
    std::unique_ptr<ForwardingBasic> Basic;
    std::unique_ptr<ForwardingTarvex> Entry;
    bool Started = false;
};

} // namespace

// ---------------------------------------------------------------------------
// Version table and service interface
// ---------------------------------------------------------------------------
TEST(ModuleStartup, VersionTable) {
    struct {
        VS_UINT8 Main, Sub;
        bool Accepted;
    } Cases[] = {
        {3, 0x72, true}, {3, 0x73, true}, {3, 0xFF, true}, {4, 0x00, true}, {4, 0x71, true},
        {3, 0x71, false}, {3, 0x00, false}, {2, 0xFF, false}, {0, 0x00, false},
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(testing::Message() << "version " << int(Case.Main) << "." << std::hex << int(Case.Sub));
        HostGuard Guard;
        tvh::HostOptions Options;
        Options.versionMain = Case.Main;
        Options.versionSub = Case.Sub;
        ASSERT_TRUE(tvh::start(Options));
        std::string Error;
        bool Loaded = tvh::loadModule(TRELK_MODULE_PATH, &Error);
        EXPECT_EQ(Loaded, Case.Accepted) << Error << "\n" << ErrorLog();
        auto Refusals = ErrorsWithText(VersionMessage);
        if (Case.Accepted) {
            EXPECT_TRUE(Refusals.empty());
            EXPECT_NE(tvh::service()->GetObjectEx(nullptr, "QZRealmBase"), nullptr);
        } else {
            ASSERT_EQ(Refusals.size(), 1u);
            EXPECT_EQ(Refusals[0].level, 1);
            EXPECT_EQ(Refusals[0].text, VersionMessage);
            // Nothing of the module is left in the host.
            EXPECT_EQ(tvh::service()->GetObjectEx(nullptr, "QZDataBase"), nullptr);
            ExpectModuleGlobalsCleared();
        }
        tvh::unloadModule();
        tvh::stop();
        ExpectModuleGlobalsCleared();
    }
}

TEST(ModuleStartup, MissingServiceInterfaceRefusesToStart) {
    HostGuard Guard;
    tvh::HostOptions Options;
    Options.refuseService = true;
    ASSERT_TRUE(tvh::start(Options));
    std::string Error;
    EXPECT_FALSE(tvh::loadModule(TRELK_MODULE_PATH, &Error));
    auto Reports = ErrorsWithText("please call CheckPassword");
    ASSERT_EQ(Reports.size(), 1u) << ErrorLog();
    EXPECT_EQ(Reports[0].level, 1);
    EXPECT_EQ(Reports[0].source, "quel_trelk");
    EXPECT_EQ(Reports[0].line, 0);
    EXPECT_EQ(Reports[0].text, "please call CheckPassword with VS_FALSE before load quel_trelk");
    EXPECT_EQ(tvh::service()->GetObjectEx(nullptr, "QZDataBase"), nullptr);
    ExpectModuleGlobalsCleared();
    tvh::unloadModule();
    tvh::stop();
}

// ---------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------
TEST(ModuleStartup, RegistersTheNineteenClassesWithTheirIdsAndParents) {
    HostGuard Guard;
    ASSERT_TRUE(tvh::start());
    std::string Error;
    ASSERT_TRUE(tvh::loadModule(TRELK_MODULE_PATH, &Error)) << Error << "\n" << ErrorLog();
    tvh::lockBoth();
    ClassOfXRQInterface *XRQ = tvh::service();
    for (const ClassRow &Row : Classes) {
        SCOPED_TRACE(Row.Name);
        ASSERT_NE(*Row.Global, nullptr);
        EXPECT_EQ(XRQ->GetObjectEx(nullptr, Row.Name), *Row.Global);
        EXPECT_STREQ(XRQ->GetName(*Row.Global), Row.Name);
        EXPECT_EQ(strcasecmp(XRQ->UuidToString(XRQ->GetIDEx(*Row.Global)), Row.ID), 0);
    }
    struct {
        void *Class, *Parent;
    } Parents[] = {
        {QZDataSetBaseClass, QZDataBaseClass}, {QZObjectDataBaseClass, QZDataBaseClass},
        {QZBufDataBaseClass, QZDataBaseClass}, {QZRealmFrameData, QZDataSetBaseClass},
        {QZProcRemoteBaseClass, QZProcBaseClass}, {QZCellBaseClass, QZProcBaseClass},
        {QZRealmBaseClass, nullptr}, {QZDataBaseClass, nullptr},
    };
    for (const auto &Row : Parents)
        EXPECT_EQ(XRQ->GetClass(Row.Class), Row.Parent) << XRQ->GetName(Row.Class);

    // The frame data class is a data type of its own from the start.
    EXPECT_EQ(((StructOfQZDataBase *)QZRealmFrameData)->IsType, VS_TRUE);
    EXPECT_EQ(XRQ->FindIDKey(GlobalDataTypeIndexTree, XRQ->GetIDEx(QZRealmFrameData)), (void *)1);

    // Class-level buffers; the data class's one carries an empty package.
    for (void *Class : {QZDataBaseClass, QZProcBaseClass, QZProcChainBaseClass})
        EXPECT_NE(XRQ->GetPrivateBuf(Class, XRQ->GetLayer(Class), 0, nullptr), nullptr) << XRQ->GetName(Class);
    auto *DataLocal =
        (StructOfQZDataBaseLocalBuf *)XRQ->GetPrivateBuf(QZDataBaseClass, XRQ->GetLayer(QZDataBaseClass), 0, nullptr);
    ASSERT_NE(DataLocal, nullptr);
    ASSERT_NE(DataLocal->CallBackObjectPkg, nullptr);
    EXPECT_EQ(DataLocal->CallBackObjectPkg->GetNumber(), 0);

    // Registries exist and are empty; the calibration ran.
    EXPECT_EQ(tvh::service()->GetKeyNumber(GlobalThreadIndexTree), 0u);
    EXPECT_EQ(tvh::service()->GetKeyNumber(GlobalProcPerformanceIndexTree), 0u);
    EXPECT_NE(QZObject_SystemPackageInfo, nullptr);
    EXPECT_GT(PerformanceBaseCount, 0.0);
    EXPECT_GT(LastNewTypeTickCount, 0);
    EXPECT_TRUE(tvh::errors(false).empty()) << ErrorLog();
    tvh::unlockBoth();

    tvh::unloadModule();
    ExpectModuleGlobalsCleared();
    tvh::stop();
}

TEST(ModuleStartup, AForeignObjectNamedLikeAClassDoesNotBecomeTheClassGlobal) {
    HostGuard Guard;
    ASSERT_TRUE(tvh::start());
    std::string Error;
    // An object a script made before the module was loaded.
    ASSERT_TRUE(tvh::runChunk("local o = _New(_Object) _SetName(o, 'QZDataBase') _LockGC(o)", "pre", &Error)) << Error;
    ASSERT_TRUE(tvh::loadModule(TRELK_MODULE_PATH, &Error)) << Error << "\n" << ErrorLog();
    tvh::lockBoth();
    ClassOfXRQInterface *XRQ = tvh::service();
    ASSERT_NE(QZDataBaseClass, nullptr);
    EXPECT_EQ(strcasecmp(XRQ->UuidToString(XRQ->GetIDEx(QZDataBaseClass)), "D5649A5F-79B3-4a7d-BD1F-DF0C0E4FE3BB"), 0);
    tvh::unlockBoth();
    tvh::unloadModule();
    tvh::stop();
}

TEST_F(ForwardedStart, AClassTheHostCannotCreateFailsStartUpCleanly) {
    const char *const Refused[] = {"QZObjectPointer", "QZDataBase", "QZRealmFrameData", "QZRealmBase"};
    for (const char *Name : Refused) {
        SCOPED_TRACE(Name);
        tvh::errors(true);
        // The host made the class but reports a failure: it takes the class
        // back at once, as a host that fails half-way would.
        ForwardingService *Fwd = Service.get();
        Service->OnClassCreated = [Name, Fwd](const std::string &Created, void *Object) -> void * {
            if (Created != Name)
                return Object;
            Fwd->Inner->FreeObject(Object);
            return nullptr;
        };
        EXPECT_FALSE(Init());
        auto Reports = ErrorsWithText("trelk initialize failed");
        ASSERT_EQ(Reports.size(), 1u) << ErrorLog();
        EXPECT_EQ(Reports[0].level, 1);
        EXPECT_NE(Reports[0].text.find(Name), std::string::npos) << Reports[0].text;
        // Shut down again: no class object and no global left behind.
        ExpectModuleGlobalsCleared();
        tvh::lockBoth();
        for (const ClassRow &Row : Classes)
            EXPECT_EQ(tvh::service()->GetObjectEx(nullptr, Row.Name), nullptr) << Row.Name;
        tvh::unlockBoth();
        Restart(true);
    }
}

// ---------------------------------------------------------------------------
// Layout check and calibration
// ---------------------------------------------------------------------------
TEST_F(ForwardedStart, AHostWithAnotherRecordLayoutIsRefused) {
    // Another offset, and a host that cannot describe the attribute at all.
    for (bool Refuse : {false, true}) {
        SCOPED_TRACE(Refuse ? "no attribute info" : "offset 72");
        if (Refuse)
            Restart(true);
        tvh::errors(true);
        Service->RefuseAttributeInfo = Refuse;
        Service->OnAttributeInfo = [Refuse](const std::string &Name, VS_ATTRIBUTEINFO *Info) {
            if (Name == "DataQueue" && !Refuse)
                Info->Offset += 8;
        };
        EXPECT_FALSE(Init());
        auto Reports = ErrorsWithText("struct is not align");
        ASSERT_EQ(Reports.size(), 1u) << ErrorLog();
        EXPECT_EQ(Reports[0].level, 1);
        EXPECT_EQ(Reports[0].source, "quel_trelk");
        EXPECT_EQ(Reports[0].text, "struct is not align, platform criticl error");
        // The module has shut itself down.
        ExpectModuleGlobalsCleared();
        tvh::lockBoth();
        EXPECT_EQ(tvh::service()->GetObjectEx(nullptr, "QZDataBase"), nullptr);
        tvh::unlockBoth();
    }
}

TEST_F(ForwardedStart, TheForwardedHostItselfStartsNormally) {
    EXPECT_TRUE(Init()) << ErrorLog();
    EXPECT_NE(QZRealmBaseClass, nullptr);
}

TEST_F(ForwardedStart, PerformanceEachOverriddenWithLongTextsFailsStartUp) {
    // The script override is installed as soon as the realm class exists,
    // before the calibration calls it.
    const struct {
        int Length;
        bool Accepted;
    } Cases[] = {{104, true}, {1024, true}, {1025, false}, {4000, false}};
    for (const auto &Case : Cases) {
        SCOPED_TRACE(Case.Length);
        std::string Chunk = "QZRealmBase.PerformanceEach = function(self, s) return string.rep('x', " +
                            std::to_string(Case.Length) + ") end";
        Service->OnClassCreated = [Chunk](const std::string &Name, void *Object) -> void * {
            if (Name == "QZRealmBase") {
                std::string Error;
                EXPECT_TRUE(tvh::runChunk(Chunk.c_str(), "override", &Error)) << Error;
            }
            return Object;
        };
        EXPECT_EQ(Init(), Case.Accepted);
        // A failed calibration leaves the classes registered; shutdown still
        // releases them.
        EXPECT_NE(QZRealmBaseClass, nullptr);
        tvh::lockBoth();
        quel_trelk_Term2();
        tvh::unlockBoth();
        Started = false;
        ExpectModuleGlobalsCleared();
        Restart(true);
    }
}

// ---------------------------------------------------------------------------
// Shutdown
// ---------------------------------------------------------------------------
TEST(ModuleShutdown, WithNoWorkerItNeitherWaitsNorReports) {
    HostGuard Guard;
    ASSERT_TRUE(tvh::start());
    std::string Error;
    ASSERT_TRUE(tvh::loadModule(TRELK_MODULE_PATH, &Error)) << Error;
    tvh::errors(true);
    auto Start = std::chrono::steady_clock::now();
    tvh::unloadModule();
    auto Took = std::chrono::steady_clock::now() - Start;
    EXPECT_LT(Took, std::chrono::milliseconds(1000));
    EXPECT_TRUE(ErrorsWithText("wait thread").empty()) << ErrorLog();
    ExpectModuleGlobalsCleared();
    tvh::stop();
}

TEST(ModuleShutdown, WaitsInThreeSecondStepsForAWorkerThatEnds) {
    HostGuard Guard;
    ASSERT_TRUE(tvh::start());
    std::string Error;
    ASSERT_TRUE(tvh::loadModule(TRELK_MODULE_PATH, &Error)) << Error;
    tvh::errors(true);

    // A worker enters itself under the host lock, runs for four seconds
    // without the locks, then takes both and removes itself.
    std::atomic<bool> Entered{false};
    void *Registry = GlobalThreadIndexTree;
    std::thread Worker([&] {
        ClassOfXRQInterface *XRQ = tvh::service();
        ClassOfXRQControlInterface *Control = tvh::control();
        Control->CaptureScriptGIL();
        XRQ->XRQLock();
        VS_UWORD Id = vs_thread_currentid();
        XRQ->InsertOneKey(Registry, Id, (void *)Id);
        XRQ->XRQUnLock();
        Control->ReleaseScriptGIL();
        Entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(4000));
        Control->CaptureScriptGIL();
        XRQ->XRQLock();
        XRQ->DelOneKey(Registry, Id);
        XRQ->XRQUnLock();
        Control->ReleaseScriptGIL();
        Control->DetachCurrentThread();
    });
    while (!Entered)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    auto Start = std::chrono::steady_clock::now();
    tvh::unloadModule();
    auto Took = std::chrono::steady_clock::now() - Start;
    Worker.join();

    EXPECT_GE(Took, std::chrono::milliseconds(5900));
    EXPECT_LT(Took, std::chrono::milliseconds(8000));
    auto Waits = ErrorsWithText("wait thread to exit");
    ASSERT_EQ(Waits.size(), 2u) << ErrorLog();
    EXPECT_EQ(Waits[0].text, "wait thread to exit [3]s...");
    EXPECT_EQ(Waits[1].text, "wait thread to exit [6]s...");
    EXPECT_EQ(Waits[0].level, 1);
    ExpectModuleGlobalsCleared();
    tvh::stop();
}

// ---------------------------------------------------------------------------
// Order of the steps
// ---------------------------------------------------------------------------
namespace {

// Each expected note appears, and their first appearances come in the order
// given.
void ExpectInOrder(const std::vector<std::string> &Calls, const std::vector<std::string> &Expected) {
    long Previous = -1;
    std::string PreviousName = "(start)";
    for (const std::string &Name : Expected) {
        auto It = std::find(Calls.begin(), Calls.end(), Name);
        ASSERT_NE(It, Calls.end()) << Name << " never happened";
        long Position = It - Calls.begin();
        EXPECT_GT(Position, Previous) << Name << " came before " << PreviousName;
        Previous = Position;
        PreviousName = Name;
    }
}

} // namespace

TEST_F(ForwardedStart, StartUpAndShutdownTakeTheirStepsInOrder) {
    std::vector<std::string> Calls;
    Service->Calls = &Calls;
    ASSERT_TRUE(Init()) << ErrorLog();

    std::vector<std::string> Expected = {
        "CreateIDIndex#1", "CreateIDIndex#2", "CreateIndex:1#1", "CreateMemory:16#1", "CreateIDIndex#3",
        "GetObjectEx:QuelObjectSpace#1", "SetExceptHandler:set#1", "CreateSysRootItem:quel_trelk#1",
        "GetSysRootItem:quel_trelk#1",
    };
    // Each class is made and bound before the next one is made.
    const StructOfTrelkLuaFuncEntry *const Tables[] = {
        QZObjectPointer_LuaFuncTable,       QZObjectPointerWithChangeFlag_LuaFuncTable,
        QZRuleBase_LuaFuncTable,            QZRuleAttachBase_LuaFuncTable,
        QZDataInputContainer_LuaFuncTable,  QZDataBase_LuaFuncTable,
        QZDataSetBase_LuaFuncTable,         QZObjectDataBase_LuaFuncTable,
        QZBufDataBase_LuaFuncTable,         QZRealmFrameData_LuaFuncTable,
        QZDataOutputContainer_LuaFuncTable, QZExceptionBase_LuaFuncTable,
        QZProcBase_LuaFuncTable,            QZProcRemoteBase_LuaFuncTable,
        QZProcRunnerBase_LuaFuncTable,      QZProcChainBase_LuaFuncTable,
        QZCellBase_LuaFuncTable,            QZRealmStubBase_LuaFuncTable,
        QZRealmBase_LuaFuncTable,
    };
    static_assert(sizeof(Tables) / sizeof(Tables[0]) == sizeof(Classes) / sizeof(Classes[0]), "one table per class");
    for (size_t i = 0; i < sizeof(Classes) / sizeof(Classes[0]); i++) {
        std::string Name = Classes[i].Name;
        Expected.push_back("Class:" + Name + "#1");
        if (Tables[i][0].Name != nullptr)
            Expected.push_back("Bind:" + Name + "#1");
        // The frame data class becomes a data type after its bindings.
        if (Name == "QZRealmFrameData")
            Expected.push_back("InsertIDKey:QZRealmFrameData=" + ForwardingService::PtrText((void *)1) + "#1");
    }
    Expected.insert(Expected.end(), {"AttributeInfo:DataQueue#1", "ScriptCall:PerformanceEach#1",
                                     "ScriptCall:PerformanceEach#100", "Release#1"});
    {
        SCOPED_TRACE("start-up");
        ExpectInOrder(Calls, Expected);
    }
    EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "ScriptCall:PerformanceEach#101"), 0);

    // Shutdown.
    void *ThreadIndex = GlobalThreadIndexTree, *ProcTypes = GlobalProcTypeIndexTree, *DataTypes = GlobalDataTypeIndexTree;
    void *Performance = GlobalProcPerformanceIndexTree, *Pool = GlobalProcPerformanceMemory;
    Calls.clear();
    Service->CallCount.clear();
    tvh::lockBoth();
    quel_trelk_Term2();
    tvh::unlockBoth();
    Started = false;
    std::vector<std::string> Shutdown = {"DestoryIndex:" + ForwardingService::PtrText(ThreadIndex) + "#1"};
    for (const char *Name : {"QZObjectPointer", "QZDataInputContainer", "QZDataSetBase", "QZObjectDataBase",
                             "QZBufDataBase", "QZDataBase", "QZDataOutputContainer", "QZExceptionBase", "QZProcBase",
                             "QZProcRunnerBase", "QZProcChainBase", "QZRealmBase", "QZRuleBase", "QZRuleAttachBase",
                             "QZRealmStubBase"})
        Shutdown.push_back(std::string("Free:") + Name + "#1");
    Shutdown.insert(Shutdown.end(), {"DestoryIndex:" + ForwardingService::PtrText(ProcTypes) + "#1",
                                     "DestoryIndex:" + ForwardingService::PtrText(DataTypes) + "#1",
                                     "DestoryIndex:" + ForwardingService::PtrText(Performance) + "#1",
                                     "DestoryMemory:" + ForwardingService::PtrText(Pool) + "#1",
                                     "SetExceptHandler:clear#1", "Release#1"});
    {
        SCOPED_TRACE("shutdown");
        ExpectInOrder(Calls, Shutdown);
    }
    // The four classes the list leaves out are freed too, among the others.
    for (const char *Name : {"QZObjectPointerWithChangeFlag", "QZRealmFrameData", "QZProcRemoteBase", "QZCellBase"}) {
        auto It = std::find(Calls.begin(), Calls.end(), std::string("Free:") + Name + "#1");
        EXPECT_NE(It, Calls.end()) << Name;
        EXPECT_LT(It, std::find(Calls.begin(), Calls.end(), Shutdown[Shutdown.size() - 6])) << Name;
    }
    ExpectModuleGlobalsCleared();
}
