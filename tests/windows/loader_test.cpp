// The host-core loader against the test core library, which the prefix
// holds as system32\libtarvex.dll (and, without VSCore_TermEx, as
// libtarvex_noentry.dll).
#include "ClassOfVSTarvex.h"
#include "fake_xrq_interface.h"
#include "xrq_uuidtext.h"

#include <windows.h>
// The system headers name a function of theirs so; the host interface has
// a method of that name.
#undef CreateService

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace {

void *GetProc(HMODULE Module, const char *Name)
{
    return (void *)GetProcAddress(Module, Name);
}

void SetEnv(const char *Name, const char *Value)
{
    SetEnvironmentVariableA(Name, Value);
}

std::string GetEnv(const char *Name)
{
    char Buf[1024];
    DWORD n = GetEnvironmentVariableA(Name, Buf, sizeof(Buf));
    return n > 0 && n < sizeof(Buf) ? std::string(Buf, n) : std::string();
}

std::string CoreDir()
{
    char Dir[XRQ_PATH_SIZE];
    EXPECT_TRUE(GetCoreDirectory(Dir, sizeof(Dir)));
    return Dir;
}

std::string CorePath(const std::string &Name = "libtarvex")
{
    return CoreDir() + "\\" + Name + ".dll";
}

std::string Lower(std::string s)
{
    for (char &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

std::string ModulePath(void *Module)
{
    char Buf[MAX_PATH];
    DWORD n = GetModuleFileNameA((HMODULE)Module, Buf, sizeof(Buf));
    return std::string(Buf, n);
}

bool Loaded(const std::string &Path)
{
    return GetModuleHandleA(Path.c_str()) != nullptr;
}

std::string CoreLog(void *Module)
{
    auto Fn = (const char *(*)())GetProc((HMODULE)Module, "TestCore_Log");
    return Fn != nullptr ? Fn() : "<no log>";
}

bool Has(const std::string &Log, const std::string &Line)
{
    return Log.find(Line + "\n") != std::string::npos;
}

ClassOfVSTarvex *AsLoader(ClassOfTarvexEx *t)
{
    return static_cast<ClassOfVSTarvex *>(t);
}

std::string TempDir(const char *Leaf)
{
    char Buf[MAX_PATH];
    GetTempPathA(sizeof(Buf), Buf);
    std::string Dir = std::string(Buf) + Leaf;
    return Dir;
}

void RemoveTree(const std::string &Dir)
{
    std::error_code Ignored;
    std::filesystem::remove_all(Dir, Ignored);
}

class LoaderTest : public testing::Test {
  protected:
    void SetUp() override
    {
        m_SystemDrive = GetEnv("SystemDrive");
        ASSERT_FALSE(m_SystemDrive.empty()) << "wine sets SystemDrive";
        SetEnv("XRQMODULE", nullptr);
        SetEnv("TESTCORE_INIT_RESULT", nullptr);
        SetEnv("TESTCORE_FAIL_IMPORT", nullptr);
        SetEnv("TESTCORE_FAIL_CREATE", nullptr);
        SetEnv("TESTCORE_REGTEMP", nullptr);
        m_Home = TempDir("trelk_xrqhome");
        RemoveTree(m_Home);
        SetEnv("XRQHOME", m_Home.c_str());
        ASSERT_FALSE(Loaded(CorePath())) << "an earlier test left the core loaded";
    }
    void TearDown() override
    {
        SetEnv("SystemDrive", m_SystemDrive.c_str());
        SetEnv("XRQHOME", nullptr);
        SetEnv("XRQMODULE", nullptr);
        EXPECT_EQ(TarvexCoreList, nullptr) << "every instance is released";
        EXPECT_FALSE(Loaded(CorePath()));
        RemoveTree(m_Home);
    }
    std::string m_SystemDrive;
    std::string m_Home;
};

VS_UWORD CallerCallBack(VS_ULONG, VS_ULONG, VS_UWORD, VS_UWORD, VS_BOOL *, VS_UWORD)
{
    return 0;
}

} // namespace

TEST_F(LoaderTest, DefaultPathInitArgumentsAndRelease)
{
    StructOfVSCoreConfig Config{};
    ClassOfTarvexEx *Core = NewTarvexCore(VS_TRUE, CallerCallBack, 99, &Config);
    ASSERT_NE(Core, nullptr);
    ClassOfVSTarvex *Loader = AsLoader(Core);
    EXPECT_EQ(Core->GetInitResult(), 0);
    EXPECT_EQ(Lower(ModulePath(Loader->CoreModule)), Lower(CorePath()));
    EXPECT_EQ(Loader->TempCorePath[0], 0) << "the first core runs from the library itself";
    EXPECT_EQ(TarvexCoreList, Loader);
    ASSERT_NE(Core->GetControlInterface(), nullptr);
    ASSERT_NE(Core->GetBasicInterface(), nullptr);
    std::string Log = CoreLog(Loader->CoreModule);
    EXPECT_NE(Log.find("RegisterCallBackInfo\nRegisterCallBackInfo\nInit 0 1 '' 0 '' 0 config\n"), std::string::npos)
        << Log;

    // Keep the library mapped to read what the release did.
    HMODULE Hold = LoadLibraryA(CorePath().c_str());
    Core->Release();
    Log = CoreLog(Hold);
    for (const char *Line : {"UnRegisterCallBackInfo", "Basic.Release", "Control.Release", "TermEx"})
        EXPECT_TRUE(Has(Log, Line)) << Line << " in\n" << Log;
    auto References = (int (*)())GetProc(Hold, "TestCore_References");
    EXPECT_EQ(References(), 0) << "both interfaces are given back";
    FreeLibrary(Hold);
}

namespace {
StructOfVSCoreConfig g_Config;
}

TEST_F(LoaderTest, FactoriesPassTheirArguments)
{
    struct Case {
        ClassOfTarvexEx *(*Make)();
        const char *Init;
        int CallBacks;
    } Cases[] = {
        {[] { return NewTarvexCoreEx(VS_TRUE, "t1", 11, "t2", 22, nullptr, 0, nullptr); },
         "Init 1 1 't1' 11 't2' 22 noconfig", 1},
        {[] { return NewTarvexCoreEx2("a", 1, "b", 2, nullptr); }, "Init 1 0 'a' 1 'b' 2 noconfig", 1},
        {[] { return NewTarvexCoreByConfig(&g_Config); }, "Init 0 0 '' 0 '' 0 config", 1},
    };
    for (const Case &c : Cases) {
        ClassOfTarvexEx *Core = c.Make();
        ASSERT_NE(Core, nullptr) << c.Init;
        void *Module = AsLoader(Core)->CoreModule;
        EXPECT_TRUE(Has(CoreLog(Module), c.Init)) << CoreLog(Module);
        auto CallBacks = (int (*)())GetProc((HMODULE)Module, "TestCore_CallBacks");
        EXPECT_EQ(CallBacks(), c.CallBacks) << "no caller callback: only the loader's own";
        Core->Release();
    }
}

TEST_F(LoaderTest, FailedInitAndMissingEntryPointLeaveNothingLoaded)
{
    SetEnv("TESTCORE_INIT_RESULT", "-1");
    EXPECT_EQ(NewTarvexCore(VS_FALSE, nullptr, 0, nullptr), nullptr);
    EXPECT_FALSE(Loaded(CorePath()));
    SetEnv("TESTCORE_INIT_RESULT", nullptr);

    SetEnv("XRQMODULE", "libtarvex_noentry");
    EXPECT_EQ(NewTarvexCore(VS_FALSE, nullptr, 0, nullptr), nullptr) << "a core without VSCore_TermEx is refused";
    EXPECT_FALSE(Loaded(CorePath("libtarvex_noentry")));
}

TEST_F(LoaderTest, ModuleNamesOver127CharactersAreRefusedNotCut)
{
    std::string Name127(127, 'm');
    ASSERT_TRUE(CopyFileA(CorePath().c_str(), CorePath(Name127).c_str(), FALSE));
    SetEnv("XRQMODULE", Name127.c_str());
    ClassOfTarvexEx *Core = NewTarvexCore(VS_FALSE, nullptr, 0, nullptr);
    ASSERT_NE(Core, nullptr) << "XRQMODULE names the library in the system directory";
    Core->Release();
    std::string Name128 = Name127 + "m"; // cut to 127 it would name the library above
    SetEnv("XRQMODULE", Name128.c_str());
    EXPECT_EQ(NewTarvexCore(VS_FALSE, nullptr, 0, nullptr), nullptr);
    DeleteFileA(CorePath(Name127).c_str());
}

TEST_F(LoaderTest, LaterInstancesRunFromARegisteredPrivateCopy)
{
    ClassOfTarvexEx *First = NewTarvexCore(VS_FALSE, nullptr, 0, nullptr);
    ASSERT_NE(First, nullptr);
    ClassOfTarvexEx *Second = NewTarvexCore(VS_FALSE, nullptr, 0, nullptr);
    ASSERT_NE(Second, nullptr);
    std::string Copy = AsLoader(Second)->TempCorePath;
    std::string Dir = m_Home + "\\kestrix\\serverapp\\";
    ASSERT_EQ(Copy.compare(0, Dir.size(), Dir), 0) << Copy;
    std::string Leaf = Copy.substr(Dir.size());
    ASSERT_EQ(Leaf.size(), 36u + 3u) << Leaf;
    VS_UUID Uuid;
    EXPECT_TRUE(TextToUuid(&Uuid, Leaf.substr(0, 36).c_str())) << Leaf;
    EXPECT_EQ(Leaf.substr(36), ".so");
    EXPECT_NE(AsLoader(Second)->CoreModule, AsLoader(First)->CoreModule);
    EXPECT_EQ(Lower(ModulePath(AsLoader(Second)->CoreModule)), Lower(Copy));
    EXPECT_TRUE(Has(CoreLog(AsLoader(First)->CoreModule), "Basic.RegTempFile"))
        << "the copy is registered with the newest instance";
    EXPECT_EQ(TarvexCoreList, AsLoader(Second));
    EXPECT_EQ(AsLoader(Second)->Next, AsLoader(First));
    EXPECT_EQ(AsLoader(First)->Prev, AsLoader(Second));

    ClassOfTarvexEx *Third = NewTarvexCore(VS_FALSE, nullptr, 0, nullptr);
    ASSERT_NE(Third, nullptr);
    EXPECT_EQ(std::string(AsLoader(Third)->TempCorePath), Copy) << "the registered copy is reused";

    // Released out of order, the list stays linked.
    Second->Release();
    EXPECT_EQ(AsLoader(Third)->Next, AsLoader(First));
    EXPECT_EQ(AsLoader(First)->Prev, AsLoader(Third));
    Third->Release();
    First->Release();
    EXPECT_EQ(GetEnv("TESTCORE_REGTEMP"), "") << "the copies' registrations are withdrawn";
}

TEST_F(LoaderTest, WithoutXrqHomeTheSystemDriveBaseIsNotCreated)
{
    SetEnv("XRQHOME", nullptr);
    std::string Base = m_SystemDrive + "\\kestrix";
    char Dir[XRQ_PATH_SIZE];
    ASSERT_TRUE(GetInstallDirectory(XRQ_INSTALLDIR_SERVER, Dir, sizeof(Dir), true));
    EXPECT_EQ(std::string(Dir), Base + "\\serverapp");
    EXPECT_EQ(GetFileAttributesA(Base.c_str()), INVALID_FILE_ATTRIBUTES);

    ClassOfTarvexEx *First = NewTarvexCore(VS_FALSE, nullptr, 0, nullptr);
    ASSERT_NE(First, nullptr);
    // The copy would go to a directory that nobody made: the second core fails.
    EXPECT_EQ(NewTarvexCore(VS_FALSE, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetFileAttributesA(Base.c_str()), INVALID_FILE_ATTRIBUTES);

    // Neither variable: no install tree at all, and no copy under "".
    SetEnv("SystemDrive", nullptr);
    EXPECT_FALSE(GetInstallDirectory(XRQ_INSTALLDIR_SERVER, Dir, sizeof(Dir), true));
    EXPECT_STREQ(Dir, "");
    EXPECT_EQ(NewTarvexCore(VS_FALSE, nullptr, 0, nullptr), nullptr);
    First->Release();
}

TEST_F(LoaderTest, InstallDirectoryKinds)
{
    struct Case {
        VS_UINT8 Kind;
        const char *Leaf;
    } Cases[] = {
        {0, "\\kestrix\\serverapp"}, {1, "\\kestrix\\clientapp"}, {4, "\\kestrix\\debug"},
        {128, "\\kestrix"},          {2, "\\kestrix\\tools"},     {77, "\\kestrix\\tools"},
    };
    for (const Case &c : Cases) {
        char Dir[XRQ_PATH_SIZE];
        ASSERT_TRUE(GetInstallDirectory(c.Kind, Dir, sizeof(Dir), true));
        EXPECT_EQ(std::string(Dir), m_Home + c.Leaf);
        DWORD Attr = GetFileAttributesA(Dir);
        EXPECT_TRUE(Attr != INVALID_FILE_ATTRIBUTES && (Attr & FILE_ATTRIBUTE_DIRECTORY)) << "made under XRQHOME";
        ASSERT_TRUE(GetInstallDirectory(c.Kind, Dir, sizeof(Dir), false));
        EXPECT_EQ(std::string(Dir), m_SystemDrive + c.Leaf) << "without the environment: the system drive";
    }
    char Small[8];
    EXPECT_FALSE(GetInstallDirectory(0, Small, sizeof(Small), true)) << "a path that does not fit is refused";
}

TEST_F(LoaderTest, CoreMessagesSevenAndFifteen)
{
    ClassOfTarvexEx *Core = NewTarvexCore(VS_FALSE, nullptr, 0, nullptr);
    ASSERT_NE(Core, nullptr);
    auto Deliver = (VS_UWORD(*)(VS_ULONG, VS_UWORD, VS_BOOL *))GetProc(
        (HMODULE)AsLoader(Core)->CoreModule, "TestCore_Deliver");
    ASSERT_NE(Deliver, nullptr);
    void *Out = nullptr;
    VS_BOOL Processed = VS_FALSE;
    // Without a window nothing is answered.
    EXPECT_EQ(Deliver(7, (VS_UWORD)(uintptr_t)&Out, &Processed), 0u);
    EXPECT_EQ(Deliver(15, 0, &Processed), 0u);
    EXPECT_FALSE(Processed);
    EXPECT_EQ(Out, nullptr);

    int Window;
    Core->SetWnd(&Window);
    EXPECT_EQ(Deliver(7, (VS_UWORD)(uintptr_t)&Out, &Processed), 0u);
    EXPECT_TRUE(Processed);
    EXPECT_EQ(Out, &Window);
    Processed = VS_FALSE;
    EXPECT_EQ(Deliver(15, 0, &Processed), 0u);
    EXPECT_TRUE(Processed);
    Core->SetWndActive(VS_TRUE);
    Processed = VS_FALSE;
    EXPECT_EQ(Deliver(15, 0, &Processed), 1u);
    EXPECT_TRUE(Processed);
    Processed = VS_FALSE;
    EXPECT_EQ(Deliver(3, 0, &Processed), 0u);
    EXPECT_FALSE(Processed) << "other messages are left alone";
    Core->Release();
}

TEST_F(LoaderTest, CreateServiceFlushAndMsgLoop)
{
    ClassOfTarvexEx *Core = NewTarvexCore(VS_FALSE, nullptr, 0, nullptr);
    ASSERT_NE(Core, nullptr);
    void *Module = AsLoader(Core)->CoreModule;
    auto Clear = (void (*)())GetProc((HMODULE)Module, "TestCore_ClearLog");
    VSImportServiceDef Imports[3] = {{"imp1"}, {"imp2"}, {""}};
    Clear();
    ClassOfXRQInterfaceEx *Service = Core->CreateService("svc", Imports);
    EXPECT_NE(Service, nullptr);
    EXPECT_EQ(AsLoader(Core)->ServiceInterface, Service);
    EXPECT_EQ(CoreLog(Module), "Basic.ImportService 'imp1' 1\nBasic.ImportService 'imp2' 1\n"
                               "Basic.CreateService '' 'svc' id '' 0 0 0 0 0 0\n"
                               "Basic.GetXRQInterface 'svc' 'root' ''\n");

    SetEnv("TESTCORE_FAIL_IMPORT", "imp2");
    Clear();
    EXPECT_EQ(Core->CreateService1("p", "svc", nullptr, "pw", Imports), nullptr);
    EXPECT_FALSE(Has(CoreLog(Module), "Basic.CreateService 'p' 'svc' noid 'pw' 0 0 0 0 0 0"));
    SetEnv("TESTCORE_FAIL_IMPORT", nullptr);
    SetEnv("TESTCORE_FAIL_CREATE", "1");
    EXPECT_EQ(Core->CreateService2("p", "svc", nullptr, "pw", 1, 2, 3, 4, 5, 6, nullptr), nullptr);
    EXPECT_TRUE(Has(CoreLog(Module), "Basic.CreateService 'p' 'svc' noid 'pw' 1 2 3 4 5 6"));
    SetEnv("TESTCORE_FAIL_CREATE", nullptr);

    Clear();
    Core->Flush(VS_TRUE);
    EXPECT_EQ(CoreLog(Module), "Control.XRQDispatch 0\nControl.XRQIdle\nControl.XRQDispatch 1\n");
    Clear();
    Core->MsgLoop([]() -> VS_BOOL { return VS_TRUE; });
    EXPECT_EQ(CoreLog(Module), "") << "an exit that is due at once runs nothing";
    Core->MsgLoop([]() -> VS_BOOL { return VS_FALSE; }); // the core's window loop asks to quit
    Core->Release();
}

namespace {

class CountingControl : public ClassOfXRQControlInterfaceEx {
  public:
    int Releases = 0;
    VS_ULONG AddRef() override { return 1; }
    VS_ULONG Release() override { return (VS_ULONG)++Releases; }
    ClassOfBasicXRQInterfaceEx *QueryBasicInterface(VS_UWORD) override { return nullptr; }
    VS_BOOL XRQDispatch(VS_BOOL) override { return VS_FALSE; }
    void XRQIdle() override {}
    VS_BOOL WinMsgLoop(VS_BOOL *Quit) override
    {
        *Quit = VS_TRUE;
        return VS_TRUE;
    }
    VS_BOOL IsAppActive() override { return VS_TRUE; }
    void UnRegTempFile(const VS_CHAR *) override {}
    void ProcessError(VS_INT32, const VS_CHAR *, VS_INT32, const VS_CHAR *, ...) override {}
    void CaptureScriptGIL() override {}
    void ReleaseScriptGIL() override {}
    void DetachCurrentThread() override {}
};

class FakeBasic : public ClassOfBasicXRQInterfaceEx {
  public:
    int Releases = 0;
    bool CreateOk = true;
    ClassOfXRQInterfaceEx *Service = nullptr;
    std::string Created;
    VS_ULONG AddRef() override { return 1; }
    VS_ULONG Release() override { return (VS_ULONG)++Releases; }
    ClassOfBasicXRQInterfaceEx *Dup() override { return this; }
    void GetVersion(VS_UINT8 *, VS_UINT8 *, VS_UINT16 *) override {}
    ClassOfXRQControlInterface *GetXRQControlInterface() override { return nullptr; }
    void ProcessError(VS_INT32, const VS_CHAR *, VS_INT32, const VS_CHAR *, ...) override {}
    const VS_CHAR *QueryActiveService(VS_UUID *) override { return nullptr; }
    ClassOfXRQInterfaceEx *GetXRQInterface(const VS_CHAR *, const VS_CHAR *User, const VS_CHAR *) override
    {
        return strcmp(User, "root") == 0 ? Service : nullptr;
    }
    VS_BOOL ImportService(const VS_CHAR *, VS_BOOL) override { return VS_TRUE; }
    VS_BOOL CreateService(const VS_CHAR *Path, const VS_CHAR *Name, VS_UUID *, const VS_CHAR *, VS_INT32 a,
                          VS_INT32, VS_INT32, VS_INT32, VS_INT32, VS_INT32 f) override
    {
        Created = std::string("'") + Path + "' " + Name + " " + std::to_string(a) + " " + std::to_string(f);
        return CreateOk ? VS_TRUE : VS_FALSE;
    }
    VS_BOOL SetWebServerPort(const VS_CHAR *, VS_UINT16, VS_INT32, VS_ULONG) override { return VS_TRUE; }
    void RegTempFile(const VS_CHAR *, const VS_CHAR *) override {}
    const VS_CHAR *GetRegTempFile(const VS_CHAR *, VS_CHAR *, VS_INT32) override { return nullptr; }
    void UnRegTempFile(const VS_CHAR *) override {}
};

} // namespace

TEST_F(LoaderTest, InstanceOverGivenInterfaces)
{
    CountingControl Control;
    FakeBasic Basic;
    ClassOfTarvexEx *Core = NewTarvexCoreByInterface(&Control, &Basic);
    ASSERT_NE(Core, nullptr);
    EXPECT_EQ(Core->GetInitResult(), 0);
    EXPECT_EQ(Core->GetControlInterface(), &Control);
    EXPECT_EQ(TarvexCoreList, AsLoader(Core));
    ReleaseTarvexCore(Core);
    EXPECT_EQ(Control.Releases, 1);
    EXPECT_EQ(Basic.Releases, 1) << "released once, by ReleaseTarvexCore; the instance releases nothing itself";
    ReleaseTarvexCore(nullptr);
}

TEST_F(LoaderTest, CreateServiceOnBasicMakesTheRootItems)
{
    FakeBasic Basic;
    FakeXRQInterface Service;
    Basic.Service = &Service;
    EXPECT_EQ(CreateServiceOnBasic(&Basic, "svc", nullptr, "pw", 1, 2, 3, 4, 5, 6, "root1", "root2", nullptr),
              &Service);
    EXPECT_EQ(Basic.Created, "'' svc 1 6");
    ASSERT_EQ(Service.Count("CreateSysRootItem"), 2u);
    EXPECT_STREQ((const char *)Service.Last("CreateSysRootItem")->Pointers[0], "root2");
    Basic.CreateOk = false;
    EXPECT_EQ(CreateServiceOnBasic(&Basic, "svc", nullptr, "pw", 1, 2, 3, 4, 5, 6, nullptr), nullptr);
    EXPECT_EQ(CreateServiceOnBasic(nullptr, "svc", nullptr, "pw", 1, 2, 3, 4, 5, 6, nullptr), nullptr);
}

TEST_F(LoaderTest, OneCallStartAndStop)
{
    StructOfVSCoreRecord Record;
    VS_UUID Id{};
    ClassOfXRQInterfaceEx *Service =
        StartCoreService(&Record, "svc", &Id, "pw", 7, 8080, CallerCallBack, 5, "imp1", (const char *)nullptr);
    ASSERT_NE(Service, nullptr);
    ASSERT_NE(Record.CoreModule, nullptr);
    std::string Log = CoreLog(Record.CoreModule);
    EXPECT_NE(Log.find("Init 1 1 '' 0 '' 7 noconfig\nRegisterCallBackInfo\nBasic.ImportService 'imp1' 1\n"
                       "Basic.CreateService '' 'svc' id 'pw' 5 10240 10240 10240 10240 10240\n"
                       "Basic.SetWebServerPort '' 8080 100 2048\nBasic.GetXRQInterface 'svc' 'root' 'pw'\n"),
              std::string::npos)
        << Log;
    StopCoreService(&Record);
    EXPECT_EQ(Record.CoreModule, nullptr);
    EXPECT_EQ(Record.ControlInterface, nullptr);

    // A failing import tears everything down again.
    SetEnv("TESTCORE_FAIL_IMPORT", "bad");
    EXPECT_EQ(StartCoreServiceNoID(&Record, "svc", "pw", 1, 0, nullptr, 0, "good", "bad", (const char *)nullptr),
              nullptr);
    EXPECT_EQ(Record.CoreModule, nullptr);
    EXPECT_FALSE(Loaded(CorePath()));
    SetEnv("TESTCORE_FAIL_IMPORT", nullptr);

    // The basic form, from the configuration's core directory.
    StructOfVSCoreConfig Config{};
    snprintf(Config.CoreDirectory, sizeof(Config.CoreDirectory), "%s", CoreDir().c_str());
    ClassOfBasicXRQInterfaceEx *Basic = StartCoreBasicByConfig(&Record, &Config, 3, 0, nullptr, 0, (const char *)nullptr);
    ASSERT_NE(Basic, nullptr);
    EXPECT_TRUE(Has(CoreLog(Record.CoreModule), "Basic.Dup"));
    EXPECT_TRUE(Has(CoreLog(Record.CoreModule), "Init 1 1 '' 0 '' 3 config"));
    Basic->Release();
    EXPECT_TRUE(RunCoreService(&Record, []() -> VS_BOOL { return VS_TRUE; }));
    EXPECT_EQ(Record.CoreModule, nullptr) << "the run ends with the core stopped";

    // A core without one of the entry points: the library stays in the record,
    // and stopping releases only that.
    SetEnv("XRQMODULE", "libtarvex_noentry");
    EXPECT_EQ(StartCoreBasic(&Record, 1, 0, nullptr, 0, (const char *)nullptr), nullptr);
    EXPECT_NE(Record.CoreModule, nullptr);
    EXPECT_EQ(Record.VSCore_Init, nullptr);
    StopCoreService(&Record);
    EXPECT_EQ(Record.CoreModule, nullptr);
    EXPECT_FALSE(Loaded(CorePath("libtarvex_noentry")));
    StopCoreService(nullptr);
}

TEST_F(LoaderTest, PrivateLoadersOfLoadedLibraries)
{
    // Not loaded yet: opened as it is.
    void *Plain = LoadCorePrivate(nullptr, 0);
    ASSERT_NE(Plain, nullptr);
    char Path[XRQ_PATH_SIZE];
    // Loaded: a copy, registered with the loaded core.
    void *Copy = LoadCorePrivate(Path, sizeof(Path));
    ASSERT_NE(Copy, nullptr);
    EXPECT_NE(Copy, Plain);
    std::string Dir = m_Home + "\\kestrix\\serverapp\\";
    EXPECT_EQ(std::string(Path).compare(0, Dir.size(), Dir), 0) << Path;
    EXPECT_NE(GetEnv("TESTCORE_REGTEMP").find(Path), std::string::npos);

    // LoadLibraryPrivate: by name; a loaded one through the control interface.
    auto Query = (VSCore_QueryControlInterfaceProc)GetProc((HMODULE)Plain, "VSCore_QueryControlInterface");
    ClassOfXRQControlInterfaceEx *Control = Query();
    void *Again = LoadLibraryPrivate(Control, CorePath().c_str());
    EXPECT_EQ(Again, Copy) << "the registered copy is the one opened";
    Control->Release();
    vs_dll_close(Again);
    vs_dll_close(Copy);
    vs_dll_close(Plain);
    SetEnv("TESTCORE_REGTEMP", nullptr);
}
