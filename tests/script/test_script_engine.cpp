// The script engine through the host's service interface: stack operations,
// value codes, calls by name and their stack rule, typed calls, errors,
// reference counting of pushed packages, per-thread stacks.
#include "host_internal.h"
#include "tarvex_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>
#include <cstring>
#include <string>
#include <thread>

// Pull the engine out of its static library (the core refers to it weakly).
tvh::ScriptEngine *(*volatile g_linkEngine)() = &tvh::createScriptEngine;

namespace {

ClassOfXRQInterface *S() { return tvh::service(); }

const char *kTemplate = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<object>
  <SEThing ID="0D6B7C10-3F2A-4B8C-9D1E-5A6B7C8D9E01">
    <attribute>
      <Count Type="VS_INT32" Default="3"/>
      <Name2 Type="VS_VSTRING"/>
      <Kids Type="void *" Class=""/>
    </attribute>
    <function>
      <Sum Type="luafunc" Desc="VS_INT32 Sum(...)"/>
      <Loose Type="luafunc" Desc="void Loose()"/>
    </function>
  </SEThing>
</object>
)XML";

VS_INT32 fSum(void *) {
    VS_INT64 s = 0;
    for (int i = 2; i <= S()->LuaGetTop(); ++i) s += S()->LuaToInt64(i);
    S()->LuaPushInt64(s);
    return 1;
}

VS_INT32 fRegPara(void *) {
    S()->LuaPushInt64((VS_INT64)S()->LuaToUWord(S()->LuaUpValueIndex(2)));
    return 1;
}

class ScriptEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tvh::start());
        tvh::lockBoth();
        S()->CreateSysRootItem("SETests", "", nullptr, nullptr);
        ClassOfXRQSXMLInterface *sx = S()->GetSXMLInterface();
        ASSERT_TRUE(sx->LoadFromBuf(kTemplate, 0));
        VS_UUID id;
        ASSERT_TRUE(S()->StringToUuid("0D6B7C10-3F2A-4B8C-9D1E-5A6B7C8D9E01", &id));
        cls = S()->XmlToObjectEx(sx, S()->GetSysRootItem("SETests"), &id, nullptr, 0);
        sx->Release();
        ASSERT_NE(cls, nullptr);
        void *atomic = S()->GetAtomicObjectEx(nullptr, "SEThing");
        S()->SetAtomicFunction(S()->GetAtomicFunctionByName(atomic, "Sum"), fSum);
        obj = S()->MallocObjectL(&id, 0, nullptr);
        ASSERT_NE(obj, nullptr);
        S()->SetName(obj, "thing");
        violations0 = tvh::stats().LockViolations;
    }
    void TearDown() override {
        EXPECT_EQ(S()->LuaGetTop(), 0) << "a test left values on the main stack";
        EXPECT_EQ(tvh::stats().LockViolations, violations0);
        tvh::unlockBoth();
        tvh::stop();
    }
    // Runs Lua with the object as the global "obj".
    void run(const std::string &code) {
        std::string err;
        std::string full = "obj = _Find('thing')\n" + code;
        ASSERT_TRUE(tvh::runChunk(full.c_str(), "chunk", &err)) << err;
    }
    void *cls = nullptr;
    void *obj = nullptr;
    long long violations0 = 0;
};

TEST_F(ScriptEngineTest, ValueCodesAndReaders) {
    VS_PARAPKGPTR pkg = S()->GetParaPkgInterface();
    ClassOfXRQBinBufInterface *bin = S()->GetXRQBinBufInterface();
    S()->LuaPushNil();
    S()->LuaPushNumber(-2.75);
    S()->LuaPushBool(VS_TRUE);
    S()->LuaPushLString("a\0b", 3);
    S()->LuaPushObject(obj);
    S()->LuaPushParaPkg(pkg, VS_TRUE);
    S()->LuaPushBinBuf(bin, VS_TRUE);
    S()->LuaPushInt(-7);
    S()->LuaPushInt64(5000000000LL);
    S()->LuaPushInt64(INT32_MIN);
    ASSERT_EQ(S()->LuaGetTop(), 10);
    const int codes[] = {0, 1, 2, 3, 6, 7, 12, 16, 19, 16};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(S()->LuaType(i + 1), codes[i]) << "index " << i + 1;
        EXPECT_EQ(S()->LuaType(i - 10), codes[i]) << "negative index " << i - 10;
    }
    // invalid indexes read as nil
    for (int bad : {0, 11, 1000, -11, -1000}) {
        EXPECT_EQ(S()->LuaType(bad), 0);
        EXPECT_EQ(S()->LuaToInt(bad), 0);
        EXPECT_EQ(S()->LuaToString(bad), nullptr);
        EXPECT_EQ(S()->LuaToObject(bad), nullptr);
    }
    // conversions
    EXPECT_EQ(S()->LuaToInt(2), -2);
    EXPECT_EQ(S()->LuaToInt64(2), -2);
    EXPECT_EQ(S()->LuaToInt(3), 1);
    EXPECT_EQ(S()->LuaToInt(4), 0) << "strings are not numbers";
    EXPECT_EQ(S()->LuaToInt(9), (VS_INT32)(5000000000LL & 0xFFFFFFFF));
    EXPECT_EQ(S()->LuaToInt64(9), 5000000000LL);
    EXPECT_DOUBLE_EQ(S()->LuaToNumber(2), -2.75);
    EXPECT_DOUBLE_EQ(S()->LuaToNumber(8), -7.0);
    EXPECT_FALSE(S()->LuaToBool(1));
    EXPECT_TRUE(S()->LuaToBool(2));
    EXPECT_TRUE(S()->LuaToBool(4));
    EXPECT_TRUE(S()->LuaToBool(5));
    VS_INT32 len = -1;
    const char *s = S()->LuaToLString(4, &len);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(0, memcmp(s, "a\0b", 3));
    EXPECT_EQ(S()->LuaToString(2), nullptr) << "numbers are not strings";
    EXPECT_EQ(S()->LuaToObject(5), obj);
    EXPECT_EQ(S()->LuaToParaPkg(6), pkg);
    EXPECT_EQ(S()->LuaToBinBuf(7), bin);
    EXPECT_EQ(S()->LuaToParaPkg(7), nullptr);
    EXPECT_EQ(S()->LuaToBinBuf(6), nullptr);
    EXPECT_EQ(S()->LuaToObject(6), nullptr);
    EXPECT_EQ(S()->LuaToUWord(8), (VS_UWORD)(VS_INT64)-7);
    // float truncation toward zero, saturating far out of range
    S()->LuaPushNumber(1e300);
    EXPECT_EQ(S()->LuaToInt64(-1), INT64_MAX);
    S()->LuaPop(1);
    // NULL and bad pointers push nil
    S()->LuaPushString(nullptr);
    S()->LuaPushObject(nullptr);
    S()->LuaPushParaPkg(nullptr, VS_FALSE);
    S()->LuaPushBinBuf(nullptr, VS_FALSE);
    EXPECT_EQ(S()->LuaGetTop(), 14);
    for (int i = 11; i <= 14; ++i) EXPECT_EQ(S()->LuaType(i), 0);
    S()->LuaPop(100); // never below empty
    EXPECT_EQ(S()->LuaGetTop(), 0);
}

TEST_F(ScriptEngineTest, PopAndInsert) {
    for (int i = 1; i <= 4; ++i) S()->LuaPushInt(i);
    S()->LuaPushInt(9);
    S()->LuaInsert(-3); // 1 2 9 3 4
    const int want[] = {1, 2, 9, 3, 4};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(S()->LuaToInt(i + 1), want[i]);
    S()->LuaInsert(1); // 4 1 2 9 3
    EXPECT_EQ(S()->LuaToInt(1), 4);
    S()->LuaInsert(99); // invalid: nothing moves
    EXPECT_EQ(S()->LuaToInt(5), 3);
    S()->LuaPop(-1);
    EXPECT_EQ(S()->LuaGetTop(), 5);
    S()->LuaPop(2);
    EXPECT_EQ(S()->LuaGetTop(), 3);
    S()->LuaPop(3);
}

// ExecNameScript consumes the nArgs values and leaves exactly nRes values in
// every outcome.
TEST_F(ScriptEngineTest, ExecNameScriptStackRule) {
    run("function obj:Three(a, b) return a, b, 'x' end\n"
        "function obj:None() end\n"
        "function obj:Fail(a) error('failed ' .. tostring(a)) end\n");
    struct Case {
        const char *name;
        void *object;
        int nArgs, nRes;
        VS_BOOL found;
        int err;
        bool nilResults;
    } cases[] = {
        {"Three", obj, 2, 0, VS_TRUE, 0, false},  {"Three", obj, 2, 1, VS_TRUE, 0, false},
        {"Three", obj, 2, 5, VS_TRUE, 0, false},  {"None", obj, 3, 2, VS_TRUE, 0, true},
        {"Fail", obj, 1, 3, VS_TRUE, 2, true},    {"Fail", obj, 0, 0, VS_TRUE, 2, true},
        {"Missing", obj, 2, 2, VS_FALSE, 5, true}, {"Three", nullptr, 2, 1, VS_FALSE, 5, true},
        {"Sum", obj, 3, 1, VS_TRUE, 0, false},    {"Loose", obj, 1, 1, VS_FALSE, 5, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " nArgs " + std::to_string(c.nArgs) + " nRes " + std::to_string(c.nRes));
        S()->LuaPushString("below");
        for (int i = 0; i < c.nArgs; ++i) S()->LuaPushInt(10 + i);
        S()->GetLastError();
        VS_BOOL r = S()->ExecNameScript(c.object, c.name, c.nArgs, c.nRes);
        EXPECT_EQ(r, c.found);
        EXPECT_EQ(S()->GetLastError(), c.err);
        ASSERT_EQ(S()->LuaGetTop(), 1 + c.nRes);
        EXPECT_STREQ(S()->LuaToString(1), "below");
        if (c.nilResults) {
            for (int i = 2; i <= 1 + c.nRes; ++i) EXPECT_EQ(S()->LuaType(i), 0);
        }
        S()->LuaPop(S()->LuaGetTop());
    }
    // results in order, missing ones nil
    S()->LuaPushInt(1);
    S()->LuaPushInt(2);
    ASSERT_TRUE(S()->ExecNameScript(obj, "Three", 2, 4));
    EXPECT_EQ(S()->LuaToInt(1), 1);
    EXPECT_EQ(S()->LuaToInt(2), 2);
    EXPECT_STREQ(S()->LuaToString(3), "x");
    EXPECT_EQ(S()->LuaType(4), 0);
    S()->LuaPop(4);
    // more arguments asked than there are values: only what is there is consumed
    S()->LuaPushInt(1);
    EXPECT_TRUE(S()->ExecNameScript(obj, "None", 5, 1));
    EXPECT_EQ(S()->LuaGetTop(), 1);
    S()->LuaPop(1);
    // a luafunc sees self first
    S()->LuaPushInt(4);
    S()->LuaPushInt(5);
    ASSERT_TRUE(S()->ExecNameScript(obj, "Sum", 2, 1));
    EXPECT_EQ(S()->LuaToInt(1), 9);
    S()->LuaPop(1);
}

TEST_F(ScriptEngineTest, LastErrorAndInfo) {
    run("function obj:Fail()\n"
        "  error('went wrong')\n"
        "end\n"
        "function obj:Ok() return 1 end\n");
    ASSERT_TRUE(S()->ExecNameScript(obj, "Fail", 0, 0));
    EXPECT_EQ(S()->GetLastError(), 2);
    EXPECT_EQ(S()->GetLastError(), 0) << "reading resets it";
    VS_ULONG line = 0;
    const VS_CHAR *src = nullptr;
    const VS_CHAR *text = S()->GetLastErrorInfo(&line, &src);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "went wrong");
    EXPECT_STREQ(src, "chunk");
    EXPECT_EQ(line, 3u) << "line 2 of the code after the one-line prologue";
    // a later success sets code 0 but keeps the info
    ASSERT_TRUE(S()->ExecNameScript(obj, "Ok", 0, 0));
    EXPECT_EQ(S()->GetLastError(), 0);
    EXPECT_NE(S()->GetLastErrorInfo(nullptr, nullptr), nullptr);
    // per thread: another thread has neither
    std::atomic<bool> fresh{false};
    std::thread th([&] {
        tvh::lockBoth();
        VS_ULONG l = 7;
        const VS_CHAR *sn = nullptr;
        fresh = S()->GetLastErrorInfo(&l, &sn) == nullptr && S()->GetLastError() == 0;
        tvh::control()->DetachCurrentThread();
        tvh::unlockBoth();
    });
    tvh::unlockBoth();
    th.join();
    tvh::lockBoth();
    EXPECT_TRUE(fresh);
}

TEST_F(ScriptEngineTest, ScriptCallForms) {
    run("function obj:Up(s) return s and s:upper() or 'NIL' end\n"
        "function obj:CountOf(o) return o.Count end\n"
        "function obj:Me() return obj end\n"
        "function obj:Flag(o) return o == obj end\n"
        "function obj:Boom() error('boom') end\n");
    VS_BOOL ok = VS_FALSE;
    const char *r = (const char *)(uintptr_t)S()->ScriptCall(obj, &ok, "Up", "(s)s", "abc");
    EXPECT_TRUE(ok);
    EXPECT_STREQ(r, "ABC");
    r = (const char *)(uintptr_t)S()->ScriptCall(obj, &ok, "Up", "(s)s", (const char *)nullptr);
    EXPECT_STREQ(r, "NIL");
    EXPECT_EQ(S()->ScriptCall(obj, &ok, "CountOf", "(o)z", obj), 3u);
    EXPECT_EQ((void *)(uintptr_t)S()->ScriptCall(obj, &ok, "Me", "()o"), obj);
    EXPECT_EQ(S()->ScriptCall(obj, &ok, "Flag", "(o)z", obj), 1u);
    EXPECT_EQ(S()->ScriptCall(obj, nullptr, "Flag", "(o)", obj), 0u) << "no result code: 0";
    EXPECT_EQ(S()->LuaGetTop(), 0);
    // failures
    EXPECT_EQ(S()->ScriptCall(obj, &ok, "Boom", "()z"), 0u);
    EXPECT_FALSE(ok);
    EXPECT_EQ(S()->GetLastError(), 2);
    EXPECT_EQ(S()->ScriptCall(obj, &ok, "Nothing", "()z"), 0u);
    EXPECT_FALSE(ok);
    EXPECT_EQ(S()->GetLastError(), 5);
    for (const char *bad : {"", "s", "(s", "(x)", "(s)sz", "()q", "s)s"}) {
        ok = VS_TRUE;
        EXPECT_EQ(S()->ScriptCall(obj, &ok, "Up", bad, "abc"), 0u) << bad;
        EXPECT_FALSE(ok) << bad;
        EXPECT_EQ(S()->GetLastError(), 1) << bad;
    }
    EXPECT_EQ(S()->ScriptCall(obj, &ok, "Up", nullptr), 0u);
    EXPECT_EQ(S()->LuaGetTop(), 0);
}

// Near the stack's limit a push that needs more room than is left (a new
// proxy needs its table and metatable above it) pushes nothing, and a call
// by name that cannot place its arguments reports the full stack; neither
// writes past the room Lua granted.
TEST_F(ScriptEngineTest, NearlyFullStackRefusesPushesAndCalls) {
    run("function obj:Same(o) return o == obj end\n");
    VS_UUID id;
    ASSERT_TRUE(S()->StringToUuid("0D6B7C10-3F2A-4B8C-9D1E-5A6B7C8D9E01", &id));
    void *fresh = S()->MallocObjectL(&id, 0, nullptr); // no script value yet
    ASSERT_NE(fresh, nullptr);
    for (;;) { // fill the main stack until a single push finds no room
        VS_INT32 before = S()->LuaGetTop();
        S()->LuaPushNil();
        if (S()->LuaGetTop() == before) break;
    }
    VS_INT32 full = S()->LuaGetTop();
    ASSERT_GT(full, 1000);
    for (int room : {0, 1, 2, 3}) {
        S()->LuaPop(S()->LuaGetTop() - (full - room));
        VS_INT32 top = S()->LuaGetTop();
        S()->LuaPushObject(fresh);
        EXPECT_EQ(S()->LuaGetTop(), top) << "room " << room;
        VS_BOOL ok = VS_TRUE;
        EXPECT_EQ(S()->ScriptCall(obj, &ok, "Same", "(o)z", fresh), 0u) << "room " << room;
        EXPECT_FALSE(ok) << "room " << room;
        EXPECT_EQ(S()->GetLastError(), VSSCRIPTERR_MEMORY) << "room " << room;
        EXPECT_EQ(S()->LuaGetTop(), top) << "room " << room;
    }
    S()->LuaPop(S()->LuaGetTop());
    VS_BOOL ok = VS_FALSE;
    EXPECT_EQ(S()->ScriptCall(obj, &ok, "Same", "(o)z", obj), 1u) << "usable again once emptied";
    EXPECT_TRUE(ok);
    S()->ReleaseOwnerEx(fresh);
}

TEST_F(ScriptEngineTest, FunctionLookupAlongTheChain) {
    VS_UUID oid = S()->GetID(obj);
    void *child = S()->MallocObjectL(&oid, 0, nullptr);
    ASSERT_NE(child, nullptr);
    run("function obj:Field() end\nobj.Data = 5\n");
    EXPECT_EQ(S()->LuaIsFunctionDefined(child, "Field", VS_TRUE), obj);
    EXPECT_EQ(S()->LuaIsFunctionDefined(child, "Field", VS_FALSE), nullptr);
    EXPECT_EQ(S()->LuaIsFunctionDefined(child, "Sum", VS_TRUE), cls);
    EXPECT_EQ(S()->LuaIsFunctionDefined(child, "Loose", VS_TRUE), nullptr) << "unbound slot";
    EXPECT_EQ(S()->LuaIsFunctionDefined(child, "Data", VS_TRUE), nullptr) << "not a function";
    EXPECT_EQ(S()->LuaIsFunctionDefined(nullptr, "Sum", VS_TRUE), nullptr);
    // RegLuaFunc on the child: up-value 2 is its Para, found before fields
    ASSERT_TRUE(S()->RegLuaFunc(child, "Field", fRegPara, 0xABCDEF));
    EXPECT_EQ(S()->LuaIsFunctionDefined(child, "Field", VS_FALSE), child);
    ASSERT_TRUE(S()->ExecNameScript(child, "Field", 0, 1));
    EXPECT_EQ(S()->LuaToInt64(-1), 0xABCDEF);
    S()->LuaPop(1);
    ASSERT_TRUE(S()->InValidRegLuaFunc(child, "Field", fRegPara));
    EXPECT_EQ(S()->LuaIsFunctionDefined(child, "Field", VS_TRUE), obj);
    S()->FreeObject(child);
}

TEST_F(ScriptEngineTest, PushedPackagesAreCounted) {
    VS_PARAPKGPTR p = S()->GetParaPkgInterface(); // 1 reference: ours
    S()->LuaPushParaPkg(p, VS_FALSE);             // the script takes its own
    S()->LuaPop(1);
    tvh::collectGarbage();
    EXPECT_EQ(p->AddRef(), 2u) << "the script's reference was released";
    p->Release();
    long long before = tvh::stats().LivePackages;
    S()->LuaPushParaPkg(p, VS_TRUE); // hand ours over
    S()->LuaPop(1);
    tvh::collectGarbage();
    EXPECT_EQ(tvh::stats().LivePackages, before - 1) << "freed with the script's reference";
    ClassOfXRQBinBufInterface *b = S()->GetXRQBinBufInterface();
    before = tvh::stats().LiveBinBufs;
    S()->LuaPushBinBuf(b, VS_TRUE);
    S()->LuaPop(1);
    tvh::collectGarbage();
    EXPECT_EQ(tvh::stats().LiveBinBufs, before - 1);
}

TEST_F(ScriptEngineTest, ProxiesAndObjectLife) {
    S()->LuaPushObject(obj);
    S()->LuaPushObject(obj);
    run("function obj:Same(a, b) return rawequal(a, b) end");
    ASSERT_TRUE(S()->ExecNameScript(obj, "Same", 2, 1));
    EXPECT_TRUE(S()->LuaToBool(-1));
    S()->LuaPop(1);
    // a proxy of a freed object reads as nil
    VS_UUID cid = S()->GetID(cls);
    void *o = S()->MallocObjectL(&cid, 0, nullptr);
    S()->LuaPushObject(o);
    EXPECT_EQ(S()->LuaType(-1), 6);
    S()->FreeObject(o);
    EXPECT_EQ(S()->LuaType(-1), 0);
    EXPECT_EQ(S()->LuaToObject(-1), nullptr);
    EXPECT_FALSE(S()->LuaToBool(-1));
    S()->LuaPop(1);
    // an object created by a chunk and dropped is freed at the chunk's end
    long long live = tvh::stats().LiveObjects;
    std::string err;
    ASSERT_TRUE(tvh::runChunk("local x = _New(SEThing); x.Count = 9", "drop", &err)) << err;
    EXPECT_EQ(tvh::stats().LiveObjects, live);
    ASSERT_TRUE(tvh::runChunk("keep = _New(SEThing)", "keep", &err)) << err;
    EXPECT_EQ(tvh::stats().LiveObjects, live + 1);
    ASSERT_TRUE(tvh::runChunk("keep = nil", "drop2", &err)) << err;
    EXPECT_EQ(tvh::stats().LiveObjects, live);
    // an object the host made, pushed and released: freed when the script drops it
    o = S()->MallocObjectL(&cid, 0, nullptr);
    S()->LuaPushObject(o);
    S()->ReleaseOwnerEx(o);
    EXPECT_EQ(S()->GetRefEx(o), 1);
    S()->LuaPop(1);
    tvh::collectGarbage();
    EXPECT_EQ(tvh::stats().LiveObjects, live);
}

// Proxies are collected and made again while their objects live on; a new
// proxy may be filed where an older one of another object was.
TEST_F(ScriptEngineTest, EachPushGivesTheObjectsOwnProxyAcrossCollections) {
    VS_UUID cid = S()->GetID(cls);
    void *a = S()->MallocObjectL(&cid, 0, nullptr);
    void *b = S()->MallocObjectL(&cid, 0, nullptr);
    std::string err;
    run("function obj:Same(x, y) return rawequal(x, y) end");
    for (int round = 0; round < 3; ++round) {
        void *first = round % 2 ? b : a;
        void *second = round % 2 ? a : b;
        S()->LuaPushObject(first);
        EXPECT_EQ(S()->LuaToObject(-1), first);
        S()->LuaPop(1);
        ASSERT_TRUE(tvh::runChunk("collectgarbage(); collectgarbage()", "gc", &err)) << err;
        S()->LuaPushObject(second); // may take the place of first's old proxy
        S()->LuaPushObject(first);
        EXPECT_EQ(S()->LuaToObject(-2), second) << "round " << round;
        EXPECT_EQ(S()->LuaToObject(-1), first) << "round " << round;
        ASSERT_TRUE(S()->ExecNameScript(obj, "Same", 2, 1));
        EXPECT_FALSE(S()->LuaToBool(-1)) << "round " << round;
        S()->LuaPop(1);
        S()->LuaPushObject(first);
        S()->LuaPushObject(first);
        ASSERT_TRUE(S()->ExecNameScript(obj, "Same", 2, 1));
        EXPECT_TRUE(S()->LuaToBool(-1)) << "round " << round;
        S()->LuaPop(1);
        ASSERT_TRUE(tvh::runChunk("collectgarbage(); collectgarbage()", "gc", &err)) << err;
    }
    // a freed object's proxy, still held, never stands for a later object
    S()->LuaPushObject(a);
    S()->FreeObject(a);
    void *c = S()->MallocObjectL(&cid, 0, nullptr);
    S()->LuaPushObject(c);
    EXPECT_EQ(S()->LuaToObject(-2), nullptr);
    EXPECT_EQ(S()->LuaToObject(-1), c);
    S()->LuaPop(2);
    S()->FreeObject(b);
    S()->FreeObject(c);
}

VS_BOOL getHook(void *o, void *forWhich, VS_CHAR *name, VS_UWORD para, VS_BOOL raw) {
    if (o != forWhich || raw || para != 11) return VS_FALSE;
    if (name[0] == '"') {
        S()->LuaPushString(name);
        return VS_TRUE;
    }
    return VS_FALSE;
}

std::string g_setLog;
VS_BOOL setHook(void *, void *, VS_CHAR *name, VS_INT32 index, VS_UWORD) {
    if (strcmp(name, "Count") == 0) return VS_FALSE;
    if (index == 0x7FFFFFFF || index < 1 || index > S()->LuaGetTop()) g_setLog += "bad index;";
    g_setLog += std::string(name) + "=" + std::to_string(S()->LuaToInt(index)) + ";";
    return VS_TRUE;
}

TEST_F(ScriptEngineTest, HooksSeeIndexNames) {
    ASSERT_TRUE(S()->RegLuaGetValueFunc(obj, getHook, 11));
    ASSERT_TRUE(S()->RegLuaSetValueFunc(obj, setHook, 12));
    g_setLog.clear();
    run("assert(obj[3] == '\"3' and obj[-12] == '\"-12' and obj[0] == '\"0')\n"
        "assert(obj.Count == 3)\n"
        "obj[7] = 70; obj.Other = 5; obj.Count = 4\n"
        "assert(obj.Count == 4 and obj.Other == nil)\n");
    EXPECT_EQ(g_setLog, "\"7=70;Other=5;");
    EXPECT_EQ(S()->LuaGetTop(), 0);
}

// Values a thread pushed stay on its own stack while another thread uses its
// own; script calls from a worker run on the worker's stack.
TEST_F(ScriptEngineTest, PerThreadStacks) {
    run("function obj:Twice(n) return n * 2 end");
    S()->LuaPushInt(111);
    std::atomic<int> phase{0};
    std::atomic<int> seen{0};
    std::thread th([&] {
        tvh::lockBoth();
        S()->LuaPushInt(222);
        seen = S()->LuaGetTop();
        phase = 1;
        tvh::unlockBoth();
        while (phase.load() != 2) std::this_thread::yield();
        tvh::lockBoth();
        if (S()->LuaGetTop() == 1 && S()->LuaToInt(1) == 222) {
            S()->LuaPushInt(21);
            if (S()->ExecNameScript(obj, "Twice", 1, 1) && S()->LuaToInt(-1) == 42) seen = 42;
        }
        tvh::control()->DetachCurrentThread();
        tvh::unlockBoth();
    });
    // sit in XRQDispatch until the worker has pushed
    while (phase.load() != 1) tvh::control()->XRQDispatch(VS_FALSE);
    EXPECT_EQ(seen.load(), 1) << "the worker's stack starts empty";
    EXPECT_EQ(S()->LuaGetTop(), 1);
    EXPECT_EQ(S()->LuaToInt(1), 111);
    phase = 2;
    while (seen.load() != 42) {
        tvh::control()->XRQDispatch(VS_FALSE);
        std::this_thread::yield();
        static int spins = 0;
        if (++spins > 20000000) break;
    }
    th.join();
    EXPECT_EQ(seen.load(), 42);
    EXPECT_EQ(S()->LuaToInt(1), 111);
    S()->LuaPop(1);
}

TEST_F(ScriptEngineTest, CallsWithoutTheScriptLockAreCounted) {
    run("function obj:Nop() end");
    tvh::unlockBoth();
    tvh::lockBoth();
    S()->ExecNameScript(obj, "Nop", 0, 0);
    EXPECT_EQ(tvh::stats().LockViolations, violations0);
    tvh::control()->ReleaseScriptGIL();
    S()->ExecNameScript(obj, "Nop", 0, 0);
    EXPECT_GT(tvh::stats().LockViolations, violations0);
    tvh::service()->XRQUnLock();
    tvh::lockBoth();
    violations0 = tvh::stats().LockViolations;
}

TEST_F(ScriptEngineTest, ChunkErrors) {
    std::string err;
    EXPECT_FALSE(tvh::runChunk("local a = \n = 1", "syn", &err));
    EXPECT_NE(err.find("syn:2:"), std::string::npos) << err;
    EXPECT_FALSE(tvh::runChunk("\n\nerror('late')", "rt", &err));
    EXPECT_EQ(err, "rt:3: late");
    EXPECT_FALSE(tvh::runChunk("error({})", "obj", &err));
    EXPECT_NE(err.find("obj:1: (error object is a table value)"), std::string::npos) << err;
    EXPECT_TRUE(tvh::runChunk("x = 1", "fine", &err));
    std::vector<std::string> none;
    EXPECT_FALSE(tvh::runFile("/nonexistent/file.lua", none, &err));
    EXPECT_NE(err.find("nonexistent"), std::string::npos) << err;
}

} // namespace

namespace {

// FreeObject on a thread that holds only the host lock: the script side of
// the object is cleaned up later, under the script lock, and its proxies
// are dead at once.
TEST_F(ScriptEngineTest, FreeWithoutTheScriptLock) {
    VS_UUID cid = S()->GetID(cls);
    void *o = S()->MallocObjectL(&cid, 0, nullptr);
    S()->SetName(o, "victim");
    void *atomic = S()->ObjectToAtomic(o);
    S()->SetAtomicFunction(S()->CreateAtomicLuaFunction(atomic, "Own", nullptr, ""), fSum);
    std::string err;
    ASSERT_TRUE(tvh::runChunk("victim = _Find('victim'); victim.Note = 1; own = victim.Own\n"
                              "assert(own(victim, 2) == 2)",
                              "setup", &err))
        << err;
    S()->LuaPushObject(o);
    tvh::unlockBoth();
    std::thread th([o] {
        S()->XRQLock();
        S()->FreeObject(o);
        S()->XRQUnLock();
    });
    th.join();
    tvh::lockBoth();
    EXPECT_EQ(S()->LuaType(-1), 0);
    S()->LuaPop(1);
    ASSERT_TRUE(tvh::runChunk("local ok, e = pcall(function() return victim.Note end)\n"
                              "assert(not ok and e:find('freed'), e)\n"
                              "ok, e = pcall(own, victim, 1)\n"
                              "assert(not ok and e:find('freed'), e)\n"
                              "for i = 1, 50 do local x = _New(SEThing); x.Note = i; assert(x.Note == i) end\n"
                              "victim, own = nil, nil",
                              "after", &err))
        << err;
}

} // namespace

// ---------------------------------------------------------------------------
// Name resolution stays right call after call: every change that can alter
// what a name means is seen by the next lookup, by name and from Lua, even
// when the same lookup was made just before.
// ---------------------------------------------------------------------------
static VS_INT32 fSeven(void *) {
    S()->LuaPushInt(7);
    return 1;
}

// Result of calling Name on o by name: its integer result, or -1 when
// nothing callable was found.
static long long byName(void *o, const char *name) {
    if (!S()->ExecNameScript(o, name, 0, 1)) {
        S()->LuaPop(1);
        EXPECT_EQ(S()->GetLastError(), 5);
        return -1;
    }
    EXPECT_EQ(S()->GetLastError(), 0) << name;
    long long v = S()->LuaToInt64(-1);
    S()->LuaPop(1);
    return v;
}

static VS_BOOL whoHook(void *o, void *forWhich, VS_CHAR *name, VS_UWORD, VS_BOOL) {
    if (o != forWhich || strcmp(name, "Who") != 0) return VS_FALSE;
    S()->LuaPushString("hooked");
    return VS_TRUE;
}

TEST_F(ScriptEngineTest, ResolutionFollowsEveryChange) {
    struct Step {
        const char *what;
        std::function<void()> change;
        long long byName;       // ExecNameScript(obj, "Who")
        const char *luaCheck;   // must hold in Lua afterwards
        void *definedOn;        // LuaIsFunctionDefined(obj, "Who", TRUE)
    };
    void *atomic = S()->ObjectToAtomic(obj);
    void *slot = nullptr;
    const std::vector<Step> steps = {
        {"a function on the class", [&] { run("SEThing.Who = function() return 1 end"); }, 1,
         "obj:Who() == 1", cls},
        {"one on the object hides it", [&] { run("obj.Who = function() return 2 end"); }, 2, "obj:Who() == 2",
         obj},
        {"RegLuaFunc on the class comes after the object's field",
         [&] { ASSERT_TRUE(S()->RegLuaFunc(cls, "Who", fRegPara, 3)); }, 2, "obj:Who() == 2", obj},
        {"RegLuaFunc on the object comes before its field",
         [&] { ASSERT_TRUE(S()->RegLuaFunc(obj, "Who", fRegPara, 4)); }, 4, "obj:Who() == 4", obj},
        {"switched off", [&] { ASSERT_TRUE(S()->InValidRegLuaFunc(obj, "Who", fRegPara)); }, 2,
         "obj:Who() == 2", obj},
        {"switched on", [&] { ASSERT_TRUE(S()->ValidRegLuaFunc(obj, "Who", fRegPara)); }, 4, "obj:Who() == 4",
         obj},
        {"off again, and the object's field removed",
         [&] {
             ASSERT_TRUE(S()->InValidRegLuaFunc(obj, "Who", fRegPara));
             run("obj.Who = nil");
         },
         3, "obj:Who() == 3", cls},
        {"the class's RegLuaFunc off", [&] { ASSERT_TRUE(S()->InValidRegLuaFunc(cls, "Who", fRegPara)); }, 1,
         "obj:Who() == 1", cls},
        {"a plain value on the object: reads see it, calls by name pass it",
         [&] { run("obj.Who = 5"); }, 1, "obj.Who == 5", cls},
        {"another plain value", [&] { run("obj.Who = 6"); }, 1, "obj.Who == 6", cls},
        {"an unbound slot on the object: calls by name pass it",
         [&] {
             run("obj.Who = nil");
             slot = S()->CreateAtomicLuaFunction(atomic, "Who", nullptr, "");
             ASSERT_NE(slot, nullptr);
         },
         1, "type(obj.Who) == 'function' and not pcall(obj.Who, obj)", cls},
        {"the slot bound", [&] { ASSERT_TRUE(S()->SetAtomicFunction(slot, fSeven)); }, 7, "obj:Who() == 7", obj},
        {"a get hook comes first for reads, not for calls by name",
         [&] { ASSERT_TRUE(S()->RegLuaGetValueFunc(obj, whoHook, 0)); }, 7, "obj.Who == 'hooked'", obj},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        // the lookups before the change, so that they are remembered
        byName(obj, "Who");
        run("local _ = obj.Who");
        S()->LuaIsFunctionDefined(obj, "Who", VS_TRUE);
        s.change();
        EXPECT_EQ(byName(obj, "Who"), s.byName);
        run(std::string("assert(") + s.luaCheck + ")");
        EXPECT_EQ(S()->LuaIsFunctionDefined(obj, "Who", VS_TRUE), s.definedOn);
    }
}

TEST_F(ScriptEngineTest, AnAtomicAttributeHidesAFunctionOfThatName) {
    run("SEThing.Zed = function() return 1 end\nassert(obj:Zed() == 1)");
    ASSERT_NE(S()->CreateAtomicAttribute(S()->ObjectToAtomic(obj), "Zed", VS_ATTRIBUTETYPE_UUID), nullptr);
    run("assert(obj.Zed == '00000000-0000-0000-0000-000000000000', tostring(obj.Zed))");
    EXPECT_EQ(byName(obj, "Zed"), 1) << "calls by name skip the attribute step";
}

// A chain of prototypes each given a function of its own as it is made (as
// proc types are): a first entry on an object that nothing is made from
// starts no new resolution generation, so it must be seen at once all the
// same: by the reads through its proxy (which remembered the answer from
// above), by calls by name and by LuaIsFunctionDefined; the levels above
// answer as before.
TEST_F(ScriptEngineTest, AFirstEntryOnAnObjectNothingIsMadeFromIsSeenAtOnce) {
    run("SEThing.Who = function() return 1 end");
    void *top = obj;
    for (int i = 0; i < 12; ++i) {
        VS_UUID id = S()->GetID(top);
        void *next = S()->MallocObjectL(&id, 0, nullptr);
        ASSERT_NE(next, nullptr);
        ASSERT_TRUE(S()->RegLuaFunc(next, "Own", fRegPara, i));
        top = next;
    }
    S()->SetName(top, "newest");
    run("newest = _Find('newest')\nassert(newest:Who() == 1)");
    VS_UUID topID = S()->GetID(top);
    void *fresh = S()->MallocObjectL(&topID, 0, nullptr);
    ASSERT_NE(fresh, nullptr);
    S()->SetName(fresh, "fresh");
    // the lookups before the change, so that they are remembered
    run("fresh = _Find('fresh')\nassert(fresh:Own() == 11)\nassert(fresh:Who() == 1)");
    EXPECT_EQ(byName(fresh, "Who"), 1);
    EXPECT_EQ(S()->LuaIsFunctionDefined(fresh, "Who", VS_TRUE), cls);
    uint64_t gen = tvh::resolveGen();
    ASSERT_TRUE(S()->RegLuaFunc(fresh, "Who", fRegPara, 9));
    EXPECT_EQ(tvh::resolveGen(), gen) << "no new generation: what is cached above stands";
    run("assert(fresh:Who() == 9, tostring(fresh:Who()))\nassert(fresh:Own() == 11)");
    EXPECT_EQ(byName(fresh, "Who"), 9);
    EXPECT_EQ(S()->LuaIsFunctionDefined(fresh, "Who", VS_TRUE), fresh);
    run("assert(newest:Who() == 1)");
    EXPECT_EQ(byName(top, "Who"), 1);
    EXPECT_EQ(S()->LuaIsFunctionDefined(top, "Who", VS_TRUE), cls);
}

TEST_F(ScriptEngineTest, InstancesOfInstancesSeeChangesUpTheChain) {
    VS_UUID oid = S()->GetID(obj);
    void *child = S()->MallocObjectL(&oid, 0, nullptr);
    VS_UUID chid = S()->GetID(child);
    void *grandchild = S()->MallocObjectL(&chid, 0, nullptr);
    ASSERT_NE(grandchild, nullptr);
    run("function obj:Up() return 1 end");
    EXPECT_EQ(byName(grandchild, "Up"), 1);
    run("function obj:Up() return 2 end");
    EXPECT_EQ(byName(grandchild, "Up"), 2);
    ASSERT_TRUE(S()->RegLuaFunc(child, "Up", fRegPara, 3));
    EXPECT_EQ(byName(grandchild, "Up"), 3);
    EXPECT_EQ(S()->LuaIsFunctionDefined(grandchild, "Up", VS_TRUE), child);
    // the prototype goes (and its instances with it): nothing is left to find
    S()->FreeObject(child);
    EXPECT_EQ(S()->LuaIsFunctionDefined(obj, "Up", VS_TRUE), obj);
    EXPECT_EQ(byName(obj, "Up"), 2);
}

// An object with a get hook: the hook is asked on every read, also after a
// read it declined and whose answer was remembered; a hook that changes what
// a name resolves to is seen at once.
static bool g_hookAnswers = false;
static void *g_hookRedefinesOn = nullptr; // registers Who on this class, once
static VS_BOOL switchableHook(void *o, void *forWhich, VS_CHAR *name, VS_UWORD, VS_BOOL) {
    if (o != forWhich || strcmp(name, "Who") != 0) return VS_FALSE;
    if (g_hookRedefinesOn) {
        EXPECT_TRUE(S()->RegLuaFunc(g_hookRedefinesOn, "Who", fRegPara, 9));
        g_hookRedefinesOn = nullptr;
    }
    if (!g_hookAnswers) return VS_FALSE;
    S()->LuaPushString("hooked");
    return VS_TRUE;
}

TEST_F(ScriptEngineTest, AHookIsAskedBeforeTheRememberedAnswer) {
    g_hookAnswers = false;
    g_hookRedefinesOn = nullptr;
    ASSERT_TRUE(S()->RegLuaGetValueFunc(obj, switchableHook, 0));
    run("SEThing.Who = function() return 1 end\n"
        "assert(obj:Who() == 1)\n"
        "assert(obj:Who() == 1)");
    g_hookAnswers = true;
    run("assert(obj.Who == 'hooked')");
    g_hookAnswers = false;
    run("assert(obj:Who() == 1)");
    g_hookRedefinesOn = cls;
    run("assert(obj:Who() == 9)\n"
        "assert(obj:Who() == 9)");
}

// Siblings share their class's answers until one of them has entries of its
// own; what one sibling gains or loses never shows on the other.
TEST_F(ScriptEngineTest, SiblingsShareAnswersButNotTheirOwnEntries) {
    VS_UUID cid = S()->GetID(cls);
    void *a = S()->MallocObjectL(&cid, 0, nullptr);
    void *b = S()->MallocObjectL(&cid, 0, nullptr);
    ASSERT_TRUE(a && b);
    S()->SetName(a, "sib_a");
    S()->SetName(b, "sib_b");
    run("SEThing.Who = function() return 1 end\n"
        "a, b = _Find('sib_a'), _Find('sib_b')\n"
        "assert(a:Who() == 1 and b:Who() == 1)\n"
        "function a:Who() return 2 end\n"
        "assert(a:Who() == 2 and b:Who() == 1)\n"
        "assert(b:Who() == 1 and a:Who() == 2)");
    EXPECT_EQ(byName(a, "Who"), 2);
    EXPECT_EQ(byName(b, "Who"), 1);
    ASSERT_TRUE(S()->RegLuaFunc(b, "Who", fRegPara, 3));
    EXPECT_EQ(byName(b, "Who"), 3);
    EXPECT_EQ(byName(obj, "Who"), 1);
    S()->FreeObject(a);
    EXPECT_EQ(byName(obj, "Who"), 1);
    ASSERT_TRUE(S()->InValidRegLuaFunc(b, "Who", fRegPara));
    EXPECT_EQ(byName(b, "Who"), 1);
    run("SEThing.Who = function() return 4 end\n"
        "assert(b:Who() == 4 and obj:Who() == 4)\n"
        "a, b = nil, nil");
    S()->FreeObject(b);
}

// Changes made while a script runs, between two lookups of the same name on
// the same object value: the second lookup sees the change.
std::vector<std::function<void()>> g_midChanges;
static VS_INT32 fNextChange(void *) {
    if (!g_midChanges.empty()) {
        std::function<void()> f = g_midChanges.front();
        g_midChanges.erase(g_midChanges.begin());
        f();
    }
    return 0;
}
static VS_INT32 fEight(void *) {
    S()->LuaPushInt(8);
    return 1;
}

TEST_F(ScriptEngineTest, ChangesBetweenRepeatedLookupsInOneScript) {
    void *atomic = S()->GetAtomicObjectEx(nullptr, "SEThing");
    ASSERT_TRUE(S()->SetAtomicFunction(S()->GetAtomicFunctionByName(atomic, "Loose"), fNextChange));
    void *slot = nullptr;
    g_midChanges = {
        [&] { ASSERT_TRUE(S()->RegLuaFunc(obj, "Who", fRegPara, 4)); },
        [&] { ASSERT_TRUE(S()->InValidRegLuaFunc(obj, "Who", fRegPara)); },
        [&] {
            slot = S()->CreateAtomicLuaFunction(S()->ObjectToAtomic(obj), "Who", nullptr, "");
            ASSERT_NE(slot, nullptr);
            ASSERT_TRUE(S()->SetAtomicFunction(slot, fSeven));
        },
        [&] { ASSERT_TRUE(S()->SetAtomicFunction(slot, fEight)); },
        [&] { ASSERT_TRUE(S()->RegLuaGetValueFunc(obj, whoHook, 0)); },
    };
    run("local o = obj\n"
        "local function who() return o:Who() end\n" // one key string throughout
        "SEThing.Who = function() return 1 end\n"
        "for _ = 1, 3 do assert(who() == 1) end\n"
        "o.Who = function() return 2 end\n"
        "assert(who() == 2, 'function field written')\n"
        "o:Loose(); assert(who() == 4, 'RegLuaFunc')\n"
        "o:Loose(); assert(who() == 2, 'RegLuaFunc switched off')\n"
        "o.Who = nil; assert(who() == 1, 'field removed')\n"
        "o:Loose(); assert(who() == 7, 'slot created and bound')\n"
        "o:Loose(); assert(who() == 8, 'slot rebound')\n"
        "o:Loose(); assert(o.Who == 'hooked', 'get hook registered')\n");
    EXPECT_TRUE(g_midChanges.empty());
    g_midChanges.clear();

    // An object freed while a script holds its value, and a new one made
    // (possibly at the same address): the old value fails, the new one has
    // nothing of the old one's.
    VS_UUID cid = S()->GetID(cls);
    void *a = S()->MallocObjectL(&cid, 0, nullptr);
    S()->SetName(a, "reuse");
    g_midChanges = {[&] {
        S()->FreeObject(a);
        void *b = S()->MallocObjectL(&cid, 0, nullptr);
        S()->SetName(b, "reuse");
    }};
    run("local old = _Find('reuse')\n"
        "function old:Tag() return 11 end\n"
        "for _ = 1, 3 do assert(old:Tag() == 11) end\n"
        "obj:Loose()\n"
        "assert(not pcall(function() return old:Tag() end), 'freed object still answers')\n"
        "local n = _Find('reuse')\n"
        "assert(n ~= old and n.Tag == nil, 'new object inherits an answer')\n");
    EXPECT_TRUE(g_midChanges.empty());
    g_midChanges.clear();
    S()->FreeObject(S()->GetObjectEx(nullptr, "reuse"));
}

// A new object, even one at a freed object's address, finds only its own.
TEST_F(ScriptEngineTest, NewObjectsDoNotInheritAFreedObjectsAnswers) {
    VS_UUID cid = S()->GetID(cls);
    for (int i = 0; i < 20; ++i) {
        void *o = S()->MallocObjectL(&cid, 0, nullptr);
        S()->SetName(o, "fresh");
        run("local o = _Find('fresh'); function o:Tag() return 11 end; assert(o:Tag() == 11)");
        EXPECT_EQ(byName(o, "Tag"), 11);
        S()->FreeObject(o);
        void *n = S()->MallocObjectL(&cid, 0, nullptr);
        EXPECT_EQ(byName(n, "Tag"), -1) << "round " << i;
        S()->SetName(n, "fresh");
        run("local n = _Find('fresh'); assert(n.Tag == nil)");
        S()->FreeObject(n);
    }
}

// More objects and names than any table of remembered answers: each call
// still gets its own object's function.
TEST_F(ScriptEngineTest, ManyObjectsAndNamesStayApart) {
    VS_UUID cid = S()->GetID(cls);
    std::vector<void *> objs;
    std::string err;
    ASSERT_TRUE(tvh::runChunk("all = {}", "setup", &err)) << err;
    for (int i = 0; i < 700; ++i) objs.push_back(S()->MallocObjectL(&cid, 0, nullptr));
    for (int i = 0; i < 700; ++i) {
        S()->SetName(objs[i], "many");
        run("local o = _Find('many')\n"
            "local i = " + std::to_string(i) + "\n"
            "o.A = function() return i * 3 end\n"
            "o.B = function() return i * 3 + 1 end\n"
            "o.C = function() return i * 3 + 2 end\n"
            "all[i] = o\n");
        S()->SetName(objs[i], "");
    }
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 700; ++i) {
            ASSERT_EQ(byName(objs[i], "A"), i * 3);
            ASSERT_EQ(byName(objs[i], "B"), i * 3 + 1);
            ASSERT_EQ(byName(objs[i], "C"), i * 3 + 2);
        }
    run("for i = 0, 699 do local o = all[i]\n"
        "  assert(o:A() == i * 3 and o:B() == i * 3 + 1 and o:C() == i * 3 + 2) end\n"
        "all = nil");
    for (void *o : objs) S()->FreeObject(o);
}

// Functions found earlier hold nothing alive once they are no longer what a
// name means: what they capture is collected as before.
TEST_F(ScriptEngineTest, ReplacedOrFreedFunctionsDoNotKeepObjectsAlive) {
    run("obj.Hold = (function() local y = _New(SEThing); _SetName(y, 'held1')\n"
        "  return function() return _Name(y) end end)()\n"
        "assert(obj:Hold() == 'held1')\n");
    EXPECT_EQ(byName(obj, "Hold"), 0) << "found and run";
    run("obj.Hold = nil");
    run("local x = _New(SEThing); _LockGC(x); _SetName(x, 'holder')\n"
        "x.Hold = (function() local y = _New(SEThing); _SetName(y, 'held2')\n"
        "  return function() return _Name(y) end end)()\n"
        "assert(x:Hold() == 'held2')\n");
    void *x = S()->GetObjectEx(nullptr, "holder");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(byName(x, "Hold"), 0);
    S()->FreeObject(x);
    tvh::collectGarbage();
    EXPECT_EQ(S()->GetObjectEx(nullptr, "held1"), nullptr);
    EXPECT_EQ(S()->GetObjectEx(nullptr, "held2"), nullptr);
}

// ---------------------------------------------------------------------------
// Script operations handed a NULL, freed or unknown object: failure values,
// the stack rule kept, nothing reached through the pointer.
// ---------------------------------------------------------------------------
TEST_F(ScriptEngineTest, ScriptOperationsOnDeadObjectsFailCleanly) {
    run("SEThing.Ping = function() return 1 end");
    VS_UUID cid = S()->GetID(cls);
    void *freed = S()->MallocObjectL(&cid, 0, nullptr);
    S()->FreeObject(freed);
    alignas(16) char junk[64] = {0};
    struct Case {
        const char *what;
        void *object;
    } cases[] = {{"null", nullptr}, {"freed", freed}, {"unknown", junk}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        S()->LuaPushString("below");
        S()->LuaPushInt(1);
        S()->LuaPushInt(2);
        EXPECT_FALSE(S()->ExecNameScript(c.object, "Ping", 2, 2));
        EXPECT_EQ(S()->GetLastError(), 5);
        ASSERT_EQ(S()->LuaGetTop(), 3);
        EXPECT_EQ(S()->LuaType(2), 0);
        EXPECT_EQ(S()->LuaType(3), 0);
        S()->LuaPop(2);
        VS_BOOL ok = VS_TRUE;
        EXPECT_EQ(S()->ScriptCall(c.object, &ok, "Ping", "()z"), 0u);
        EXPECT_FALSE(ok);
        EXPECT_EQ(S()->GetLastError(), 5);
        EXPECT_EQ(S()->LuaIsFunctionDefined(c.object, "Ping", VS_TRUE), nullptr);
        S()->LuaPushObject(c.object);
        EXPECT_EQ(S()->LuaType(-1), 0);
        S()->LuaPop(1);
        EXPECT_FALSE(S()->RegLuaFunc(c.object, "Ping", fSeven, 0));
        EXPECT_FALSE(S()->InValidRegLuaFunc(c.object, "Ping", fSeven));
        EXPECT_FALSE(S()->ValidRegLuaFunc(c.object, "Ping", fSeven));
        ASSERT_EQ(S()->LuaGetTop(), 1);
        EXPECT_STREQ(S()->LuaToString(1), "below");
        S()->LuaPop(1);
    }
    for (char b : junk) EXPECT_EQ(b, 0);
    EXPECT_EQ(byName(obj, "Ping"), 1) << "the host keeps working";
}

// Functions the script can call run with both locks held, whoever calls them.
std::atomic<int> g_lockedRuns{0}, g_unlockedRuns{0};
VS_INT32 fCheckLocks(void *) {
    (tvh::holdsHostLock() && tvh::holdsScriptLock() ? g_lockedRuns : g_unlockedRuns)++;
    S()->LuaPushInt(1);
    return 1;
}

TEST_F(ScriptEngineTest, LuafuncsRunWithBothLocksHeld) {
    g_lockedRuns = g_unlockedRuns = 0;
    ASSERT_TRUE(S()->RegLuaFunc(obj, "Locks", fCheckLocks, 0));
    run("assert(obj:Locks() == 1)\n"
        "function obj:Indirect() return self:Locks() end");
    EXPECT_EQ(byName(obj, "Locks"), 1);
    EXPECT_EQ(byName(obj, "Indirect"), 1);
    std::thread th([&] {
        tvh::lockBoth();
        S()->ExecNameScript(obj, "Indirect", 0, 0);
        tvh::control()->DetachCurrentThread();
        tvh::unlockBoth();
    });
    tvh::unlockBoth();
    th.join();
    tvh::lockBoth();
    EXPECT_EQ(g_lockedRuns.load(), 4);
    EXPECT_EQ(g_unlockedRuns.load(), 0);
}

// After DetachCurrentThread the thread's stack and error state are gone, and
// it can use the host again with a fresh stack.
TEST_F(ScriptEngineTest, DetachedThreadsStartAfresh) {
    run("function obj:Fail() error('worker failure') end\n"
        "function obj:Twice(n) return n * 2 end");
    std::atomic<bool> done{false};
    int topAfter = -1, errAfter = -1, result = 0;
    const VS_CHAR *infoAfter = "unset";
    std::thread th([&] {
        tvh::lockBoth();
        S()->LuaPushInt(1);
        S()->LuaPushInt(2);
        S()->ExecNameScript(obj, "Fail", 0, 0); // leaves an error behind
        tvh::control()->DetachCurrentThread();
        topAfter = S()->LuaGetTop();
        errAfter = S()->GetLastError();
        infoAfter = S()->GetLastErrorInfo(nullptr, nullptr);
        S()->LuaPushInt(21);
        if (S()->ExecNameScript(obj, "Twice", 1, 1)) result = S()->LuaToInt(-1);
        S()->LuaPop(1);
        tvh::control()->DetachCurrentThread();
        tvh::unlockBoth();
        done = true;
    });
    tvh::unlockBoth();
    th.join();
    tvh::lockBoth();
    EXPECT_EQ(topAfter, 0);
    EXPECT_EQ(errAfter, 0);
    EXPECT_EQ(infoAfter, nullptr);
    EXPECT_EQ(result, 42);
    // Detaching the main thread's stack has the same effect here.
    S()->LuaPushInt(5);
    tvh::control()->DetachCurrentThread();
    EXPECT_EQ(S()->LuaGetTop(), 0);
    S()->LuaPushInt(4);
    ASSERT_TRUE(S()->ExecNameScript(obj, "Twice", 1, 1));
    EXPECT_EQ(S()->LuaToInt(-1), 8);
    S()->LuaPop(1);
}

// The script surface's view of queues and raw contexts.
TEST_F(ScriptEngineTest, ParentsChildrenAndRawContextFromLua) {
    VS_UUID cid = S()->GetID(cls);
    OBJECTATTRIBUTEINDEX kids = S()->GetAttributeIndex(cls, "Kids");
    void *a = S()->MallocObjectL(&cid, 0, nullptr), *b = S()->MallocObjectL(&cid, 0, nullptr);
    S()->SetName(a, "a");
    S()->SetName(b, "b");
    ASSERT_TRUE(S()->ChangeParent(a, obj, kids));
    ASSERT_TRUE(S()->ChangeParent(b, obj, kids));
    run("local a, b = _Find('a'), _Find('b')\n"
        "assert(_Parent(a) == obj and _Parent(b) == obj and _Parent(obj) == nil)\n"
        "local k = _Children(obj, 'Kids')\n"
        "assert(k:_Count() == 2 and k:_Get(0) == a and k:_Get(1) == b)\n"
        "assert(_Children(a, 'Kids'):_Count() == 0)\n"
        "assert(not pcall(_Children, obj, 'Count') and not pcall(_Children, obj, 'Nope'))\n"
        "_SetRawContext(a, true)");
    EXPECT_TRUE(S()->HasRawContext(a));
    EXPECT_FALSE(S()->HasRawContext(b));
    run("_SetRawContext(_Find('a'), false)");
    EXPECT_FALSE(S()->HasRawContext(a));
    S()->FreeObject(a);
    S()->FreeObject(b);
}

// XRQDispatch called by a thread that does not hold the script lock (a
// stepping thread holds only the host lock) must not run script code: posted
// messages and collections wait for a thread that holds both locks.
TEST_F(ScriptEngineTest, DispatchWithoutTheScriptLockRunsNoScript) {
    run("posted = 0; _Post(function() posted = posted + 1 end)");
    // Made and let go after the chunk's own collection point: garbage that
    // only the next collection point that may free will free.
    VS_UUID cid = S()->GetID(cls);
    void *drop = S()->MallocObjectL(&cid, 0, nullptr);
    S()->ReleaseOwnerEx(drop);
    VS_UUID did = S()->GetID(drop);
    tvh::unlockBoth();
    VS_BOOL ranThere = VS_TRUE;
    bool aliveThere = false;
    std::thread th([&] {
        S()->XRQLock();
        ranThere = tvh::control()->XRQDispatch(VS_FALSE);
        aliveThere = S()->GetObject(&did) != nullptr;
        S()->XRQUnLock();
    });
    th.join();
    tvh::lockBoth();
    EXPECT_FALSE(ranThere);
    EXPECT_TRUE(aliveThere);
    EXPECT_TRUE(tvh::control()->XRQDispatch(VS_FALSE));
    EXPECT_EQ(S()->GetObject(&did), nullptr);
    run("assert(posted == 1)");
}
