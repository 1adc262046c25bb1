// Exception reports, script call-out routing and script-error reports.
#include "module_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace trelktest;

namespace {

class Reporting : public LoadedModule {
  protected:
    void TearDown() override {
        memset(&QZRealmStubObjectID, 0, sizeof(QZRealmStubObjectID));
        LoadedModule::TearDown();
    }
    // A realm stub set the way SetRealmStub leaves it.
    void *MakeStub(void *Class) {
        void *Stub = NewObject(Class);
        EXPECT_NE(Stub, nullptr);
        QZRealmStubObjectID = XRQ->GetID(Stub);
        return Stub;
    }
    // A chunk that makes the object reachable from script as global Name.
    void Expose(void *Object, const char *Name) {
        Run(std::string(Name) + " = _FromID('" + IdText(Object) + "')");
    }
};

} // namespace

TEST_F(Reporting, WithoutStubTheFinishedTextReachesTheHostUnchanged) {
    QZRealmBase_RaiseException(nullptr, 6, "ignored", 99, "[%s:%s] has %d items", "ID", "name", 3);
    QZRealmBase_RaiseException(nullptr, 1, "quel_trelk", 0, "%s", "literal %d %s %n stays");
    auto Reports = tvh::errors(true);
    ASSERT_EQ(Reports.size(), 2u);
    EXPECT_EQ(Reports[0].level, 6);
    EXPECT_EQ(Reports[0].source, "quel_trelk");
    EXPECT_EQ(Reports[0].line, 0);
    EXPECT_EQ(Reports[0].text, "[ID:name] has 3 items");
    EXPECT_EQ(Reports[1].level, 1);
    EXPECT_EQ(Reports[1].text, "literal %d %s %n stays");
}

TEST_F(Reporting, LongTextsAreCutAt10239Characters) {
    std::string Long(20000, 'a');
    QZRealmBase_RaiseException(nullptr, 1, "quel_trelk", 0, "%s", Long.c_str());
    auto Reports = tvh::errors(true);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].text, std::string(10239, 'a'));
}

TEST_F(Reporting, AStubWithOnExceptionReceivesLevelAndTextAndTheHostNothing) {
    void *Stub = MakeStub(QZRealmStubBaseClass);
    Expose(Stub, "stub");
    Run("got = {} stub.OnException = function(self, level, text) got[#got + 1] = {self, level, text} end");
    QZRealmBase_RaiseException(nullptr, 6, "quel_trelk", 0, "value %s", "100%");
    EXPECT_TRUE(tvh::errors(true).empty()) << ErrorLog();
    Run("assert(#got == 1, #got) assert(got[1][1] == stub) assert(got[1][2] == 6, got[1][2])"
        "assert(got[1][3] == 'value 100%', got[1][3])");
}

TEST_F(Reporting, TheStubsDefaultOnExceptionHandsTheTextToTheHost) {
    MakeStub(QZRealmStubBaseClass);
    QZRealmBase_RaiseException(nullptr, 6, "quel_trelk", 0, "%s", "through the stub %s");
    auto Reports = tvh::errors(true);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].level, 6);
    EXPECT_EQ(Reports[0].source, "quel_trelk");
    EXPECT_EQ(Reports[0].line, 0);
    EXPECT_EQ(Reports[0].text, "through the stub %s");
}

TEST_F(Reporting, AStubWithoutOnExceptionReportsThatItFailedInsteadOfTheText) {
    // The stored ID names an object that offers no OnException at all.
    Run("plain = _New(_Object) _LockGC(plain) _SetName(plain, 'plainStub')");
    void *Object = XRQ->GetObjectEx(nullptr, "plainStub");
    ASSERT_NE(Object, nullptr);
    QZRealmStubObjectID = XRQ->GetID(Object);
    tvh::errors(true);
    QZRealmBase_RaiseException(nullptr, 6, "quel_trelk", 0, "%s", "the text");
    auto Reports = tvh::errors(true);
    ASSERT_EQ(Reports.size(), 1u) << ErrorLog();
    EXPECT_EQ(Reports[0].level, 6);
    EXPECT_EQ(Reports[0].text, "calls the function OnException failed");
}

TEST_F(Reporting, AFreedStubCountsAsNoStub) {
    void *Stub = MakeStub(QZRealmStubBaseClass);
    Expose(Stub, "stub");
    Run("stub.OnException = function() error('must not be called') end");
    XRQ->FreeObject(Stub);
    EXPECT_EQ(Trelk_GetRealmStubObject(), nullptr);
    QZRealmBase_RaiseException(nullptr, 1, "quel_trelk", 0, "after free");
    auto Reports = tvh::errors(true);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].text, "after free");
}

// ---------------------------------------------------------------------------
// Script call-out
// ---------------------------------------------------------------------------
TEST_F(Reporting, WithoutStubCallsGoToTheObject) {
    void *Realm = NewObject(QZRealmBaseClass);
    Expose(Realm, "realm");
    Run("realm.OnLongLoop = function(self, a, b, c) seen = {self, a, b, c} return true end");
    XRQ->LuaPushInt(1);
    XRQ->LuaPushInt(2);
    XRQ->LuaPushInt(3);
    ASSERT_TRUE(QZRealmBase_ExecNameScript(Realm, "OnLongLoop", 3, 1));
    EXPECT_TRUE(XRQ->LuaToBool(-1));
    XRQ->LuaPop(1);
    Run("assert(seen[1] == realm and seen[2] == 1 and seen[4] == 3)");
    EXPECT_FALSE(QZRealmBase_ExecNameScript(Realm, "NoSuchFunction", 0, 0));
}

TEST_F(Reporting, ACallThatCannotBeMadeStillTakesItsArgumentsOffTheStack) {
    void *Realm = NewObject(QZRealmBaseClass);
    for (bool WithStub : {false, true}) {
        SCOPED_TRACE(WithStub ? "with stub" : "without stub");
        if (WithStub)
            MakeStub(QZRealmStubBaseClass);
        struct {
            void *Object;
            const char *Name;
        } Cases[] = {{Realm, nullptr}, {Realm, "NoSuchFunction"}, {nullptr, "OnIdle"}, {nullptr, nullptr}};
        for (const auto &Case : Cases) {
            XRQ->LuaPushInt(1);
            XRQ->LuaPushString("two");
            EXPECT_FALSE(QZRealmBase_ExecNameScript(Case.Object, Case.Name, 2, 0));
            EXPECT_EQ(XRQ->LuaGetTop(), 0) << (Case.Name ? Case.Name : "(no name)");
            XRQ->LuaPop(XRQ->LuaGetTop());
        }
    }
}

TEST_F(Reporting, LimitEventsGoToTheStubWithTheObjectFirst) {
    void *Realm = NewObject(QZRealmBaseClass);
    void *Stub = MakeStub(QZRealmStubBaseClass);
    Expose(Realm, "realm");
    Expose(Stub, "stub");
    Run("realm.OnLongLoop = function() error('the realm must not get it') end "
        "stub.OnLongLoop = function(self, r, cell, proc, count) seen = {self, r, cell, proc, count, n = select('#', r, cell, proc, count)} return true end");
    const char *const Limits[] = {"OnMoreUnAllocatedData", "OnLongLoop", "OnLongSuspend", "OnInputInvalid",
                                  "OnLongSourceData"};
    // Each limit event goes to the stub, whether or not its script has one.
    XRQ->LuaPushString("cell");
    XRQ->LuaPushString("proc");
    XRQ->LuaPushInt(65);
    ASSERT_TRUE(QZRealmBase_ExecNameScript(Realm, "OnLongLoop", 3, 1));
    EXPECT_TRUE(XRQ->LuaToBool(-1));
    XRQ->LuaPop(1);
    Run("assert(seen[1] == stub and seen[2] == realm and seen[3] == 'cell' and seen[4] == 'proc' and seen[5] == 65 "
        "and seen.n == 4)");
    for (const char *Name : Limits) {
        SCOPED_TRACE(Name);
        Run(std::string("stub.") + Name + " = function(self, r) last = {'" + Name + "', r} return 7 end");
        ASSERT_TRUE(QZRealmBase_ExecNameScript(Realm, Name, 0, 1));
        EXPECT_EQ(XRQ->LuaToInt(-1), 7);
        XRQ->LuaPop(1);
        Run(std::string("assert(last[1] == '") + Name + "' and last[2] == realm)");
    }
    EXPECT_EQ(XRQ->LuaGetTop(), 0);
}

TEST_F(Reporting, OtherHooksGoToTheStubOnlyWhenTheRealmHasNothingButTheModuleDefault) {
    void *Realm = NewObject(QZRealmBaseClass);
    void *Stub = MakeStub(QZRealmStubBaseClass);
    Expose(Realm, "realm");
    Expose(Stub, "stub");
    // OnRemoteExecute: the module's default is bound on the realm class.
    ASSERT_EQ(XRQ->LuaIsFunctionDefined(Realm, "OnRemoteExecute", VS_TRUE), QZRealmBaseClass);

    // The stub defines nothing: the realm's default answers -1.
    XRQ->LuaPushNil();
    ASSERT_TRUE(QZRealmBase_ExecNameScript(Realm, "OnRemoteExecute", 1, 1));
    EXPECT_EQ(XRQ->LuaToInt(-1), -1);
    XRQ->LuaPop(1);

    // The stub defines it: it gets the call with the realm in front.
    Run("stub.OnRemoteExecute = function(self, r, cell) return (self == stub and r == realm and cell == 'c') and 11 or 12 end");
    XRQ->LuaPushString("c");
    ASSERT_TRUE(QZRealmBase_ExecNameScript(Realm, "OnRemoteExecute", 1, 1));
    EXPECT_EQ(XRQ->LuaToInt(-1), 11);
    XRQ->LuaPop(1);

    // The realm's own script keeps the call even though the stub has one.
    Run("realm.OnRemoteExecute = function(self, cell) return self == realm and 21 or 22 end");
    XRQ->LuaPushString("c");
    ASSERT_TRUE(QZRealmBase_ExecNameScript(Realm, "OnRemoteExecute", 1, 1));
    EXPECT_EQ(XRQ->LuaToInt(-1), 21);
    XRQ->LuaPop(1);
    EXPECT_EQ(XRQ->LuaGetTop(), 0);
}

// ---------------------------------------------------------------------------
// Script-error reports
// ---------------------------------------------------------------------------
TEST_F(Reporting, ScriptErrorsAreReportedInFourForms) {
    void *Object = NewObject(QZRealmBaseClass);
    XRQ->SetName(Object, "myrealm");
    Expose(Object, "realm");
    Run("\nrealm.Fail = function()\n  error('it broke')\nend", "failchunk");
    struct {
        bool WithObject;
        const char *Info;
        const char *Expected;
    } Cases[] = {
        {false, "calls the function Fail failed", "calls the function Fail failed{[failchunk:3]it broke}"},
        {false, nullptr, "[failchunk:3]it broke"},
        {true, "calls the function Fail failed", "[myrealm] calls the function Fail failed{[failchunk:3]it broke}"},
        {true, nullptr, "myrealm{[failchunk:3]it broke}"},
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(Case.Expected);
        XRQ->GetLastError();
        ASSERT_TRUE(XRQ->ExecNameScript(Object, "Fail", 0, 0));
        EXPECT_TRUE(QZProcChain_IsExecNameScriptError(Case.WithObject ? Object : nullptr, Case.Info));
        auto Reports = tvh::errors(true);
        ASSERT_EQ(Reports.size(), 1u);
        EXPECT_EQ(Reports[0].level, 1);
        EXPECT_EQ(Reports[0].source, "quel_trelk");
        EXPECT_EQ(Reports[0].text, Case.Expected);
    }
}

TEST_F(Reporting, NoReportAfterASuccessfulOrMissingCall) {
    void *Object = NewObject(QZRealmBaseClass);
    Expose(Object, "realm");
    Run("realm.Fine = function() return 1 end");
    XRQ->GetLastError();
    ASSERT_TRUE(XRQ->ExecNameScript(Object, "Fine", 0, 0));
    EXPECT_FALSE(QZProcChain_IsExecNameScriptError(Object, "info")); // code 0
    EXPECT_FALSE(XRQ->ExecNameScript(Object, "Missing", 0, 0));
    EXPECT_FALSE(QZProcChain_IsExecNameScriptError(Object, "info")); // code 5
    EXPECT_TRUE(tvh::errors(true).empty()) << ErrorLog();
}

TEST_F(Reporting, AScriptErrorReportGoesToTheStubToo) {
    void *Object = NewObject(QZRealmBaseClass);
    void *Stub = MakeStub(QZRealmStubBaseClass);
    Expose(Object, "realm");
    Expose(Stub, "stub");
    Run("realm.Fail = function() error('bad') end", "c");
    Run("stub.OnException = function(self, level, text) caught = text end");
    XRQ->GetLastError();
    ASSERT_TRUE(XRQ->ExecNameScript(Object, "Fail", 0, 0));
    EXPECT_TRUE(QZProcChain_IsExecNameScriptError(nullptr, nullptr));
    EXPECT_TRUE(tvh::errors(true).empty()) << ErrorLog();
    Run("assert(caught == '[c:1]bad', caught)");
}

// ---------------------------------------------------------------------------
// The host's own exception texts
// ---------------------------------------------------------------------------
TEST_F(Reporting, TheExceptHandlerPrintsHostTextsToStandardOutput) {
    testing::internal::CaptureStdout();
    QZExceptHandler((VS_CHAR *)"direct text");
    // A template the host cannot read is one of the host's exception texts.
    ClassOfXRQSXMLInterface *SXml = XRQ->GetSXMLInterface();
    SXml->LoadFromBuf("<?xml version=\"1.0\"?><object><Broken ID=\"11111111-2222-3333-4444-555555555555\" "
                      "Class=\"NoSuchParentClass\"><attribute><X Type=\"VS_NOSUCHTYPE\"/></attribute></Broken></object>", 0);
    VS_UUID Id;
    XRQ->StringToUuid("11111111-2222-3333-4444-555555555555", &Id);
    void *Root = XRQ->GetSysRootItem("quel_trelk");
    EXPECT_EQ(XRQ->XmlToObjectEx(SXml, Root, &Id, nullptr, 0), nullptr);
    SXml->Release();
    std::string Out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Out.rfind("direct text\n", 0), 0u) << Out;
    EXPECT_GT(Out.size(), strlen("direct text\n")) << "the host's text did not reach the handler";
}
