// Private buffers, pools, texts, UUID/MD5/hash, error reports, the driver.
#include "host_fixture.h"

using namespace hosttest;

namespace {
const char *kAID = "D0000000-0000-4000-8000-000000000001";
const char *kBID = "D0000000-0000-4000-8000-000000000002";
} // namespace

class ServiceTest : public HostTest {};

TEST_F(ServiceTest, PrivateBuffersAreKeyedGrownAndFreedWithTheirObject) {
    void *a = defineClass(classXml("PA", kAID, "<X Type=\"VS_INT32\"/>\n"), kAID);
    void *b = defineClass(classXml("PB", kBID, "<Y Type=\"VS_INT32\"/>\n", "PA"), kBID);
    VS_ULONG la = s->GetLayer(a), lb = s->GetLayer(b);
    EXPECT_NE(la, lb);
    void *inst = newObject(b);
    void *inst2 = newObject(inst);
    EXPECT_EQ(s->GetLayer(inst), lb); // fixed by the registered class
    EXPECT_EQ(s->GetLayer(inst2), lb);

    auto *p = static_cast<unsigned char *>(s->MallocPrivateBuf(inst, la, 0, 16));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], 0);
    p[0] = 42;
    VS_ULONG size = 0;
    EXPECT_EQ(s->GetPrivateBuf(inst, la, 0, &size), p);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(s->GetPrivateBuf(inst, la, 1, &size), nullptr); // other index
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(s->GetPrivateBuf(inst, lb, 0, nullptr), nullptr); // other layer
    EXPECT_EQ(s->GetPrivateBuf(inst2, la, 0, nullptr), nullptr); // other object

    // Fetch-or-create: the same buffer, grown with zeroed new bytes.
    EXPECT_EQ(s->MallocPrivateBuf(inst, la, 0, 8), p);
    auto *g = static_cast<unsigned char *>(s->MallocPrivateBuf(inst, la, 0, 64));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g[0], 42);
    for (int i = 16; i < 64; ++i) EXPECT_EQ(g[i], 0);
    s->GetPrivateBuf(inst, la, 0, &size);
    EXPECT_EQ(size, 64u);

    s->FreePrivate(inst, la, 0);
    EXPECT_EQ(s->GetPrivateBuf(inst, la, 0, nullptr), nullptr);
    s->FreePrivate(inst, la, 0); // nothing there: nothing happens
    ASSERT_NE(s->MallocPrivateBuf(inst, la, 3, 4), nullptr);
    s->FreeObject(inst); // its buffers go with it (the sanitizer build checks the leak)
    // Class-level buffers live on class objects.
    EXPECT_NE(s->MallocPrivateBuf(a, la, 0, 32), nullptr);
    EXPECT_NE(s->GetPrivateBuf(a, la, 0, nullptr), nullptr);
}

TEST_F(ServiceTest, PoolsAndPlainMemory) {
    void *pool = s->CreateMemory_Nor(16);
    ASSERT_NE(pool, nullptr);
    std::vector<char *> items;
    for (int i = 0; i < 10; ++i) {
        auto *it = static_cast<char *>(s->GetMemoryPtr_Nor(pool));
        ASSERT_NE(it, nullptr);
        for (int k = 0; k < 16; ++k) EXPECT_EQ(it[k], 0);
        std::memset(it, 0x5A, 16);
        items.push_back(it);
    }
    s->ClearMemory(pool);
    EXPECT_NE(s->GetMemoryPtr_Nor(pool), nullptr); // the pool stays
    s->DestoryMemory(pool);
    EXPECT_EQ(s->GetMemoryPtr_Nor(pool), nullptr); // destroyed: not a pool any more
    s->DestoryMemory(pool);
    EXPECT_EQ(s->CreateMemory_Nor(0), nullptr);
    int notAPool = 0;
    EXPECT_EQ(s->GetMemoryPtr_Nor(&notAPool), nullptr);

    auto *m = static_cast<char *>(s->Malloc_Nor(100));
    ASSERT_NE(m, nullptr);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(m[i], 0);
    s->Free(m);
    s->Free(nullptr);
}

TEST_F(ServiceTest, VStringsAreHostCopies) {
    VS_VSTRING f{nullptr};
    char text[] = "abc";
    s->SetVString(&f, text);
    ASSERT_NE(f.Buf, nullptr);
    EXPECT_NE(f.Buf, text);
    EXPECT_STREQ(f.Buf, "abc");
    s->SetVString(&f, nullptr);
    EXPECT_STREQ(f.Buf, "");
    s->SetVString(nullptr, "x");
    // A field that holds memory the host did not give out is overwritten, not freed.
    char foreign[] = "foreign";
    VS_VSTRING g{foreign};
    s->SetVString(&g, "mine");
    EXPECT_STREQ(foreign, "foreign");
    EXPECT_STREQ(g.Buf, "mine");
}

TEST_F(ServiceTest, UuidText) {
    VS_UUID u{0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};
    EXPECT_STREQ(s->UuidToString(&u), "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
    // A ring of 8 per-thread buffers: 8 texts stay valid together.
    std::vector<VS_CHAR *> ring;
    for (int i = 0; i < 8; ++i) {
        VS_UUID v{};
        v.Data1 = VS_ULONG(i);
        ring.push_back(s->UuidToString(&v));
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(std::strtoul(ring[i], nullptr, 16), unsigned(i));

    struct Case {
        const char *text;
        bool ok;
    } table[] = {
        {"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", true},
        {"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", true},
        {"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F", false},
        {"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9A", false},
        {"0A1B2C3D+4E5F-6071-8293-A4B5C6D7E8F9", false},
        {"0G1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", false},
        {"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", false},
        {"", false},
    };
    for (auto &c : table) {
        VS_UUID out{};
        out.Data1 = 77;
        EXPECT_EQ(bool(s->StringToUuid(c.text, &out)), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(std::memcmp(&out, &u, sizeof u), 0) << c.text;
        else
            EXPECT_EQ(out.Data1, 77u) << c.text; // untouched on failure
    }
    VS_UUID out{};
    EXPECT_FALSE(s->StringToUuid(nullptr, &out));
    EXPECT_FALSE(s->StringToUuid("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", nullptr));
}

TEST_F(ServiceTest, Md5AndHashMatchReferenceValues) {
    struct Case {
        const char *in;
        const char *md5;
    } md5s[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
    };
    for (auto &c : md5s)
        EXPECT_STREQ(s->GetMD5(reinterpret_cast<const VS_INT8 *>(c.in), VS_INT32(std::strlen(c.in))), c.md5);
    EXPECT_EQ(s->GetMD5(nullptr, 5), nullptr);
    EXPECT_EQ(s->GetMD5(reinterpret_cast<const VS_INT8 *>("a"), -1), nullptr);

    struct HCase {
        const char *in;
        VS_ULONG seed;
        VS_ULONG hash;
    } hashes[] = {
        {"", 0, 0x811C9DC5u},
        {"a", 0, 0xE40C292Cu},
        {"foobar", 0, 0xBF9CF968u},
        {"", 0x811C9DC5u, 0u}, // the seed is XORed into the start value
    };
    for (auto &h : hashes) EXPECT_EQ(s->GetHashValue(h.in, VS_INT32(std::strlen(h.in)), h.seed), h.hash) << h.in;
}

TEST_F(ServiceTest, ErrorReportsAreLoggedAndFormatted) {
    tvh::errors(true);
    s->ProcessError(1, "src.c", 12, "value %d and %s", 7, "text");
    tvh::control()->ProcessError(2, "ctl", 0, "%s", "from control");
    tvh::basic()->ProcessError(3, nullptr, 5, nullptr);
    auto e = tvh::errors(false);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].level, 1);
    EXPECT_EQ(e[0].source, "src.c");
    EXPECT_EQ(e[0].line, 12);
    EXPECT_EQ(e[0].text, "value 7 and text");
    EXPECT_EQ(e[1].text, "from control");
    EXPECT_EQ(e[2].source, "");
    EXPECT_EQ(e[2].text, "");
    EXPECT_EQ(tvh::errors(true).size(), 3u);
    EXPECT_TRUE(tvh::errors(true).empty());

    tvh::HostOptions o;
    o.verbose = true;
    restartHost(o);
    testing::internal::CaptureStderr();
    s->ProcessError(1, "quel_trelk", 0, "%s", "struct is not align");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[1] quel_trelk:0: struct is not align\n");
}

namespace {
int g_term = 0;
int g_init = 0;
VS_UINT8 g_main = 0, g_sub = 0;
int g_events = 0;
VS_INT32 countEvents(VS_UWORD, void *) {
    ++g_events;
    return 0;
}
VS_BOOL fakeInit(ClassOfTarvex *t, StructOfVSTarvexInterfaceTable *) {
    ++g_init;
    ClassOfBasicXRQInterface *b = t->GetBasicInterface();
    VS_UINT16 build = 0;
    b->GetVersion(&g_main, &g_sub, &build);
    ClassOfXRQControlInterface *c = b->GetXRQControlInterface();
    ClassOfXRQInterface *svc = b->GetXRQInterface(b->QueryActiveService(nullptr), "", "");
    bool ok = svc != nullptr;
    if (svc) {
        EXPECT_TRUE(tvh::holdsHostLock());
        EXPECT_TRUE(tvh::holdsScriptLock());
        svc->Release();
    }
    c->Release();
    return ok ? VS_TRUE : VS_FALSE;
}
int g_termUnlocked = 0;
void fakeTerm() {
    ++g_term;
    if (!tvh::holdsHostLock() || !tvh::holdsScriptLock()) ++g_termUnlocked;
}
} // namespace

// While a module is loaded its classes are freed by its Term2 alone: a free
// through the service at any other time (a script's _Free) is refused and
// reported; during Init2 / Term2, and with no module, it goes ahead.
TEST_F(ServiceTest, ClassObjectsAreFreedOnlyByTheirModule) {
    void *cls = defineClass(classXml("PC", kAID, "<X Type=\"VS_INT32\"/>\n"), kAID, nullptr);
    ASSERT_NE(cls, nullptr);
    void *o = newObject(cls);
    EXPECT_TRUE(tvh::initModule(fakeInit, fakeTerm));
    tvh::errors(true);
    s->FreeObject(cls);
    VS_UUID id = s->GetID(cls);
    EXPECT_EQ(s->GetObject(&id), cls);
    EXPECT_EQ(s->GetClass(o), cls); // its instances stay too
    std::vector<tvh::ErrorReport> errs = tvh::errors(true);
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_EQ(errs[0].level, 1);
    EXPECT_NE(errs[0].text.find("is a class object"), std::string::npos) << errs[0].text;
    s->FreeObject(o); // an instance is freed as ever
    tvh::unloadModule();
    s->FreeObject(cls);
    EXPECT_EQ(s->GetObject(&id), nullptr);
}

TEST_F(ServiceTest, ModuleEntryVersionsAndRefusal) {
    g_init = g_term = g_termUnlocked = 0;
    EXPECT_TRUE(tvh::initModule(fakeInit, fakeTerm));
    EXPECT_EQ(g_main, 3);
    EXPECT_EQ(g_sub, 0x72);
    VS_UUID sid{};
    const char *name = tvh::basic()->QueryActiveService(&sid);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(tvh::basic()->GetXRQInterface("OtherService", "", ""), nullptr);

    // After Term2 no module code runs, even when objects are freed.
    void *cls = defineClass(classXml("PA", kAID, "<X Type=\"VS_INT32\"/>\n"), kAID, countEvents);
    void *o = newObject(cls);
    g_events = 0;
    tvh::unloadModule();
    EXPECT_EQ(g_term, 1);
    s->FreeObject(o);
    EXPECT_EQ(g_events, 0);
    tvh::unloadModule();
    EXPECT_EQ(g_term, 1);

    tvh::HostOptions refuse;
    refuse.refuseService = true;
    restartHost(refuse);
    EXPECT_FALSE(tvh::initModule(fakeInit, fakeTerm));
    tvh::setRefuseService(false);
    tvh::setVersion(4, 0, 7);
    EXPECT_TRUE(tvh::initModule(fakeInit, fakeTerm));
    EXPECT_EQ(g_main, 4);
    EXPECT_EQ(g_sub, 0);
    // stop() calls Term2 of a started module.
    tvh::unlockBoth();
    tvh::stop();
    EXPECT_EQ(g_term, 2);
    EXPECT_EQ(g_termUnlocked, 0); // Term2 runs with both locks, taken when the caller had none
    startHost(tvh::HostOptions());
    std::string why;
    EXPECT_FALSE(tvh::loadModule("/nonexistent/libnothing.so", &why));
    EXPECT_FALSE(why.empty());
}

TEST_F(ServiceTest, RawContextAndRegisteredFunctionsAreStored) {
    void *cls = defineClass(classXml("PA", kAID, "<X Type=\"VS_INT32\"/>\n"), kAID);
    void *o = newObject(cls);
    EXPECT_FALSE(s->HasRawContext(o)); // off unless set
    desc(o)->rawContext = true;
    EXPECT_TRUE(s->HasRawContext(o));

    auto f1 = [](void *) -> VS_INT32 { return 1; };
    auto f2 = [](void *) -> VS_INT32 { return 2; };
    EXPECT_TRUE(s->RegLuaFunc(o, "Run", f1, 11));
    EXPECT_TRUE(s->RegLuaFunc(o, "Run", f2, 22)); // replaces
    ASSERT_EQ(desc(o)->regFuncs.size(), 1u);
    EXPECT_EQ(desc(o)->regFuncs[0].para, 22u);
    EXPECT_FALSE(s->InValidRegLuaFunc(o, "Run", f1)); // not that function
    EXPECT_TRUE(s->InValidRegLuaFunc(o, "Run", f2));
    EXPECT_FALSE(desc(o)->regFuncs[0].valid);
    EXPECT_TRUE(s->ValidRegLuaFunc(o, "Run", f2));
    EXPECT_TRUE(desc(o)->regFuncs[0].valid);
    EXPECT_FALSE(s->RegLuaFunc(o, "Run", nullptr, 0));

    auto get = [](void *, void *, VS_CHAR *, VS_UWORD, VS_BOOL) -> VS_BOOL { return VS_FALSE; };
    EXPECT_TRUE(s->RegLuaGetValueFunc(o, get, 5));
    EXPECT_EQ(desc(o)->getHookPara, 5u);
    auto cb = [](void *, VS_UWORD, OBJECTATTRIBUTEINDEX, VS_INT8 *, VS_INT32) -> VS_BOOL { return VS_FALSE; };
    EXPECT_TRUE(s->RegBeforeChangeCallBack(o, cb, 1, 0));
    EXPECT_TRUE(s->RegBeforeChangeCallBack(o, cb, 1, 0)); // once per (Cb, Para)
    EXPECT_TRUE(s->RegBeforeChangeCallBack(o, cb, 2, 0));
    EXPECT_EQ(desc(o)->beforeChange.size(), 2u);
    VS_INT32 nv = 5;
    EXPECT_FALSE(tvh::runBeforeChange(desc(o), *tvh::findAttr(desc(o), "X"), reinterpret_cast<VS_INT8 *>(&nv)));
    s->UnRegBeforeChangeCallBack(o, cb, 1);
    s->UnRegBeforeChangeCallBack(o, cb, 1); // harmless
    s->UnRegBeforeChangeCallBack(o, cb, 2);
    EXPECT_TRUE(tvh::runBeforeChange(desc(o), *tvh::findAttr(desc(o), "X"), reinterpret_cast<VS_INT8 *>(&nv)));

    // Without a script engine the script calls find nothing; with one they
    // report "not found" for an undefined name. Either way: FALSE, no crash.
    EXPECT_FALSE(s->ExecNameScript(o, "NoSuchFunction", 0, 0));
    VS_BOOL ok = VS_TRUE;
    EXPECT_EQ(s->ScriptCall(o, &ok, "NoSuchFunction", "()z"), 0u);
    EXPECT_FALSE(ok);
}
