// Host rules seen through the script engine: what a module holds across a
// call by name survives collection points reached inside it, posted messages
// end a dispatch round, their errors reach the error log, a detach without
// the script lock is deferred, and a long call keeps few freed descriptors.
#include "core/core_state.h"
#include "host_internal.h"
#include "tarvex_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

namespace {

ClassOfXRQInterface *S() { return tvh::service(); }

const char *kTemplate = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<object>
  <RuleItem ID="0D6B7C10-3F2A-4B8C-9D1E-5A6B7C8D9E71">
    <attribute>
      <Count Type="VS_INT32"/>
    </attribute>
  </RuleItem>
</object>
)XML";

VS_INT32 fDispatch(void *) {
    S()->LuaPushBool(tvh::control()->XRQDispatch(VS_FALSE));
    return 1;
}

size_t g_graveyardPeak = 0;
VS_INT32 fGraveyard(void *) {
    g_graveyardPeak = std::max(g_graveyardPeak, tvh::core().graveyard.size());
    return 0;
}

class ScriptRuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tvh::start());
        tvh::lockBoth();
        S()->CreateSysRootItem("RuleTests", "", nullptr, nullptr);
        ClassOfXRQSXMLInterface *sx = S()->GetSXMLInterface();
        ASSERT_TRUE(sx->LoadFromBuf(kTemplate, 0));
        ASSERT_TRUE(S()->StringToUuid("0D6B7C10-3F2A-4B8C-9D1E-5A6B7C8D9E71", &clsId));
        cls = S()->XmlToObjectEx(sx, S()->GetSysRootItem("RuleTests"), &clsId, nullptr, 0);
        sx->Release();
        ASSERT_NE(cls, nullptr);
        owner = S()->MallocObjectL(&clsId, 0, nullptr);
        S()->SetName(owner, "owner");
        S()->RegLuaFunc(owner, "Dispatch", fDispatch, 0);
        S()->RegLuaFunc(owner, "Graveyard", fGraveyard, 0);
        tvh::errors(true);
    }
    void TearDown() override {
        EXPECT_EQ(S()->LuaGetTop(), 0);
        tvh::unlockBoth();
        tvh::stop();
    }
    void run(const std::string &code) {
        std::string err;
        std::string full = "owner = _Find('owner')\n" + code;
        ASSERT_TRUE(tvh::runChunk(full.c_str(), "chunk", &err)) << err;
    }
    bool alive(VS_UUID id) { return S()->GetObject(&id) != nullptr; }
    VS_UUID clsId{};
    void *cls = nullptr;
    void *owner = nullptr;
};

} // namespace

// The routing of output data to the environment: the module detaches and
// unlocks a datum, hands it to a script event in a package it made, and locks
// it again after the call. A script that collects (or dispatches) inside the
// event used to free the datum under the module.
TEST_F(ScriptRuleTest, ACallByNameFreesNothingItsCallerHolds) {
    run("function owner:OnOutput(list)\n"
        "  local d = list:_Get(0)\n" // a proxy of the datum, dropped at once
        "  d = nil\n"
        "  _CollectGarbage()\n"
        "  owner:Dispatch()\n"
        "end");
    for (bool relock : {true, false}) {
        SCOPED_TRACE(relock ? "locked again after the call" : "left unheld after the call");
        // Made by the module and let go of before the call: garbage that no
        // script has seen yet.
        void *datum = S()->MallocObjectL(&clsId, 0, nullptr);
        VS_UUID id = S()->GetID(datum);
        S()->ReleaseOwnerEx(datum);
        VS_PARAPKGPTR list = S()->GetParaPkgInterface();
        list->InsertObject(0, datum);
        S()->LuaPushParaPkg(list, VS_FALSE);
        ASSERT_TRUE(S()->ExecNameScript(owner, "OnOutput", 1, 0));
        EXPECT_EQ(S()->GetLastError(), 0);
        ASSERT_TRUE(alive(id)) << "freed inside the call";
        EXPECT_EQ(list->GetObject(0), datum);
        if (relock) S()->LockGC(datum);
        list->Release();
        // The next collection point outside every call frees it unless held.
        tvh::control()->XRQDispatch(VS_FALSE);
        tvh::collectGarbage();
        EXPECT_EQ(alive(id), relock);
        if (relock) S()->FreeObject(datum);
    }
}

// A message that posts itself again must not keep "dispatch until no work"
// going forever: it runs in the next round. A failing message is logged
// where _Errors() reads, with its script location.
TEST_F(ScriptRuleTest, RepostingMessagesWaitForTheNextRoundAndErrorsAreLogged) {
    run("runs = 0\n"
        "local function again() runs = runs + 1; _Post(again) end\n"
        "_Post(again)");
    for (int round = 1; round <= 3; ++round) {
        int ran = 0;
        while (tvh::control()->XRQDispatch(VS_FALSE)) ASSERT_LT(++ran, 100) << "dispatch never reported no work";
        EXPECT_EQ(ran, 1);
        run("assert(runs == " + std::to_string(round) + ")");
    }
    run("_Post(function() error('message broke') end)");
    while (tvh::control()->XRQDispatch(VS_FALSE)) {
    }
    bool logged = false;
    for (const tvh::ErrorReport &r : tvh::errors(true))
        if (r.level == 1 && r.text.find("message broke") != std::string::npos && r.source == "chunk" && r.line == 2)
            logged = true;
    EXPECT_TRUE(logged) << "a posted message's error did not reach the error log";
}

// DetachCurrentThread releases the thread's Lua thread, which only a holder
// of the script lock may touch: without it the call is counted and reported,
// and the release waits for the next collection point.
TEST_F(ScriptRuleTest, DetachWithoutTheScriptLockIsCountedAndDeferred) {
    run("function owner:Twice(n) return n * 2 end");
    tvh::unlockBoth();
    long long viol = tvh::stats().LockViolations;
    int result = 0;
    std::thread th([&] {
        tvh::lockBoth();
        S()->LuaPushInt(7);
        tvh::unlockBoth();
        S()->XRQLock();
        tvh::control()->DetachCurrentThread(); // host lock only
        S()->XRQUnLock();
        tvh::lockBoth();
        EXPECT_EQ(S()->LuaGetTop(), 0); // a fresh stack
        S()->LuaPushInt(21);
        if (S()->ExecNameScript(owner, "Twice", 1, 1)) result = S()->LuaToInt(-1);
        S()->LuaPop(1);
        tvh::control()->DetachCurrentThread();
        tvh::unlockBoth();
    });
    th.join();
    tvh::lockBoth();
    EXPECT_EQ(result, 42);
    EXPECT_EQ(tvh::stats().LockViolations, viol + 1);
    tvh::collectGarbage(); // reaps the deferred state
}

// Descriptors of objects freed during a long call by name (a realm run) are
// kept only while a frame holds them, not until the call returns.
TEST_F(ScriptRuleTest, ALongCallByNameKeepsFewFreedDescriptors) {
    g_graveyardPeak = 0;
    run("function owner:Churn(n)\n"
        "  for i = 1, n do _Free(_New(RuleItem)) end\n"
        "  owner:Graveyard()\n"
        "end");
    S()->LuaPushInt(5000);
    ASSERT_TRUE(S()->ExecNameScript(owner, "Churn", 1, 0));
    EXPECT_EQ(S()->GetLastError(), 0);
    EXPECT_LE(g_graveyardPeak, tvh::Core::kGraveyardSoftLimit + 1);
}
