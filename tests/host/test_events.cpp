// System events: order along the handler chain, init package, free order,
// cascades.
#include "host_fixture.h"

using namespace hosttest;

namespace {

struct Seen {
    std::string who;
    void *object;
    VS_ULONG event;
};
std::vector<Seen> g_seen;
ClassOfXRQInterface *g_s = nullptr;
VS_PARAPKGPTR g_initSeen = nullptr;

VS_INT32 record(const char *who, void *para) {
    void *o = static_cast<StructOfVSSysEventPara *>(para)->Object;
    g_seen.push_back({who, o, g_s->GetSysEventID(para)});
    return 0;
}
VS_INT32 hBase(VS_UWORD, void *p) { return record("base", p); }
VS_INT32 hDerived(VS_UWORD, void *p) {
    if (g_s->GetSysEventID(p) == 5) g_initSeen = g_s->GetInitPara(static_cast<StructOfVSSysEventPara *>(p)->Object);
    return record("derived", p);
}
VS_INT32 hType(VS_UWORD, void *p) { return record("type", p); }
VS_INT32 hChild(VS_UWORD, void *p) { return record("child", p); }

const char *kBaseID = "B0000000-0000-4000-8000-000000000001";
const char *kDerivedID = "B0000000-0000-4000-8000-000000000002";
const char *kChildID = "B0000000-0000-4000-8000-000000000003";

} // namespace

class EventTest : public HostTest {
  protected:
    void *base = nullptr, *derived = nullptr, *child = nullptr;
    void SetUp() override {
        HostTest::SetUp();
        g_s = s;
        g_seen.clear();
        g_initSeen = nullptr;
        base = defineClass(classXml("EBase", kBaseID,
                                    "<V Type=\"VS_INT32\"/>\n<Kids Type=\"void *\" Class=\"EChild\"/>\n"
                                    "<Others Type=\"void *\" Class=\"EChild\"/>\n"),
                           kBaseID, hBase);
        derived = defineClass(classXml("EDerived", kDerivedID, "<W Type=\"VS_INT32\"/>\n", "EBase"), kDerivedID,
                              hDerived);
        child = defineClass(classXml("EChild", kChildID, "<C Type=\"VS_INT32\"/>\n"), kChildID, hChild);
        ASSERT_TRUE(base && derived && child);
    }
    std::vector<std::string> whoFor(void *o, VS_ULONG ev) {
        std::vector<std::string> out;
        for (auto &e : g_seen)
            if (e.object == o && e.event == ev) out.push_back(e.who);
        return out;
    }
};

TEST_F(EventTest, ThreeLevelChainGetsCreateBaseFirstAndFreeDerivedFirst) {
    // Class objects get event 5 too, along their own chain.
    EXPECT_EQ(whoFor(base, 5), (std::vector<std::string>{"base"}));
    EXPECT_EQ(whoFor(derived, 5), (std::vector<std::string>{"base", "derived"}));

    VS_PARAPKGPTR init = s->GetParaPkgInterface();
    VS_UUID did = uuid(kDerivedID);
    void *type = s->MallocObjectL(&did, 0, nullptr);
    ASSERT_TRUE(s->SetSysEvent(s->ObjectToAtomic(type), hType));
    EXPECT_FALSE(s->SetSysEvent(derived, hType)); // class objects keep their template handler
    VS_UUID tid = s->GetID(type);
    void *inst = s->MallocObjectL(&tid, 0, init);
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(g_initSeen, init);
    EXPECT_EQ(s->GetInitPara(inst), nullptr); // only during event 5
    void *inst2 = newObject(inst);

    std::vector<std::string> create = {"base", "derived", "type"};
    EXPECT_EQ(whoFor(inst, 5), create);
    EXPECT_EQ(whoFor(inst2, 5), create);
    EXPECT_EQ(whoFor(type, 5), (std::vector<std::string>{"base", "derived"}));

    g_seen.clear();
    s->FreeObject(inst2);
    std::vector<std::string> down = {"type", "derived", "base"};
    EXPECT_EQ(whoFor(inst2, 27), down);
    EXPECT_EQ(whoFor(inst2, 6), down);
    // 27 comes before 6 for each handler.
    ASSERT_EQ(g_seen.size(), 6u);
    EXPECT_EQ(g_seen[2].event, 27u);
    EXPECT_EQ(g_seen[3].event, 6u);
    EXPECT_EQ(s->GetSysEventID(nullptr), 0u);
    init->Release();
}

TEST_F(EventTest, FreeOrderIsInstancesThen27ThenQueueChildrenThen6) {
    void *holder = newObject(derived);
    void *a = newObject(child), *b = newObject(child), *c = newObject(child);
    OBJECTATTRIBUTEINDEX kids = s->GetAttributeIndex(derived, "Kids");
    OBJECTATTRIBUTEINDEX others = s->GetAttributeIndex(derived, "Others");
    ASSERT_TRUE(s->ChangeParent(c, holder, others));
    ASSERT_TRUE(s->ChangeParent(a, holder, kids));
    ASSERT_TRUE(s->ChangeParent(b, holder, kids));
    void *fromHolder = newObject(holder); // an instance of the holder: freed first
    g_seen.clear();
    s->FreeObject(holder);
    std::vector<std::pair<void *, VS_ULONG>> order;
    for (auto &e : g_seen)
        if (e.who == "child" || e.who == "derived") order.push_back({e.object, e.event});
    std::vector<std::pair<void *, VS_ULONG>> expect = {
        {fromHolder, 27}, {fromHolder, 6}, {holder, 27}, {a, 27}, {a, 6}, {b, 27},
        {b, 6},           {c, 27},         {c, 6},       {holder, 6}};
    EXPECT_EQ(order, expect);
    for (void *o : {holder, a, b, c, fromHolder}) EXPECT_EQ(s->GetObject(s->GetIDEx(o)), nullptr);
}

namespace {
VS_INT32 hFreeSelfOnCreate(VS_UWORD, void *p) {
    if (g_s->GetSysEventID(p) == 5) g_s->FreeObject(static_cast<StructOfVSSysEventPara *>(p)->Object);
    return 0;
}
VS_INT32 hRefreeAndFind(VS_UWORD, void *p) {
    void *o = static_cast<StructOfVSSysEventPara *>(p)->Object;
    VS_ULONG ev = g_s->GetSysEventID(p);
    if (ev == 27 || ev == 6) {
        // Still found during 27 and 6; a nested free of the same object does nothing.
        EXPECT_EQ(g_s->GetObject(g_s->GetIDEx(o)), o);
        g_s->FreeObject(o);
        g_seen.push_back({"x", o, ev});
    }
    return 0;
}
} // namespace

TEST_F(EventTest, HandlersThatFreeTheirObjectAreSafe) {
    void *t = newObject(base);
    ASSERT_TRUE(s->SetSysEvent(t, hFreeSelfOnCreate));
    long long live = stat(&tvh::HostStats::LiveObjects);
    EXPECT_EQ(newObject(t), nullptr); // freed during its own creation event
    EXPECT_EQ(stat(&tvh::HostStats::LiveObjects), live);

    void *u = newObject(base);
    ASSERT_TRUE(s->SetSysEvent(u, hRefreeAndFind));
    g_seen.clear();
    s->FreeObject(u);
    EXPECT_EQ(whoFor(u, 27), (std::vector<std::string>{"x", "base"}));
    EXPECT_EQ(whoFor(u, 6), (std::vector<std::string>{"x", "base"}));
    EXPECT_EQ(s->GetObject(s->GetIDEx(u)), nullptr);
}

TEST_F(EventTest, FreeingAClassFreesEverythingMadeFromItRecursively) {
    void *type = newObject(derived);
    void *i1 = newObject(type);
    void *i2 = newObject(i1);
    void *other = newObject(base);
    long long live = stat(&tvh::HostStats::LiveObjects);
    g_seen.clear();
    s->FreeObject(derived);
    for (void *o : {derived, type, i1, i2}) EXPECT_EQ(s->GetObject(s->GetIDEx(o)), nullptr);
    EXPECT_NE(s->GetObject(s->GetIDEx(other)), nullptr);
    EXPECT_EQ(stat(&tvh::HostStats::LiveObjects), live - 4);
    // Deepest first: the instance of the instance goes before its class.
    std::vector<void *> sixes;
    for (auto &e : g_seen)
        if (e.event == 6 && e.who == "derived") sixes.push_back(e.object);
    EXPECT_EQ(sixes, (std::vector<void *>{i2, i1, type, derived}));
    // Nothing more is made from a freed class.
    VS_UUID did = uuid(kDerivedID);
    EXPECT_EQ(s->MallocObjectL(&did, 0, nullptr), nullptr);
}

namespace {
VS_INT32 hLate(VS_UWORD, void *p) { return record("late", p); }
} // namespace

// A handler set on an object after objects were made from it (and events
// delivered along their chains) is heard by them from then on.
TEST_F(EventTest, AHandlerSetLaterUpTheChainIsHeard) {
    void *proto = newObject(base), *mid = newObject(proto), *leaf = newObject(mid);
    s->FreeObject(newObject(leaf));
    ASSERT_TRUE(s->SetSysEvent(proto, hLate));
    g_seen.clear();
    void *more = newObject(leaf);
    s->FreeObject(more);
    EXPECT_EQ(whoFor(more, 5), (std::vector<std::string>{"base", "late"}));
    EXPECT_EQ(whoFor(more, 6), (std::vector<std::string>{"late", "base"}));
    ASSERT_TRUE(s->SetSysEvent(proto, nullptr));
    g_seen.clear();
    s->FreeObject(leaf);
    EXPECT_EQ(whoFor(leaf, 6), (std::vector<std::string>{"base"}));
}

// A chain of objects each made from the previous one, as deep as a script
// may build it, is freed deepest first, at once or by one collection point,
// without running out of stack.
TEST_F(EventTest, DeepPrototypeChainsFreeDeepestFirst) {
    const int kDepth = 200000;
    for (bool byCollection : {false, true}) {
        SCOPED_TRACE(byCollection ? "by a collection point" : "by FreeObject");
        std::vector<void *> chain{newObject(base)};
        for (int i = 1; i < kDepth; ++i) chain.push_back(newObject(chain.back()));
        ASSERT_NE(chain.back(), nullptr);
        void *kid = newObject(child); // a queue child halfway down goes with its parent
        ASSERT_TRUE(s->ChangeParent(kid, chain[kDepth / 2], s->GetAttributeIndex(base, "Kids")));
        long long live = stat(&tvh::HostStats::LiveObjects);
        g_seen.clear();
        if (byCollection) {
            s->LockGC(chain.back());
            for (void *o : chain) s->ReleaseOwnerEx(o);
            tvh::collectGarbage();
            EXPECT_EQ(stat(&tvh::HostStats::LiveObjects), live);
            s->UnLockGC(chain.back());
            tvh::collectGarbage();
        } else {
            s->FreeObject(chain.front());
        }
        EXPECT_EQ(stat(&tvh::HostStats::LiveObjects), live - kDepth - 1);
        std::vector<void *> sixes;
        for (auto &e : g_seen)
            if (e.event == 6 && e.who == "base") sixes.push_back(e.object);
        ASSERT_EQ(sixes.size(), size_t(kDepth));
        EXPECT_EQ(sixes.front(), chain.back());
        EXPECT_EQ(sixes.back(), chain.front());
        EXPECT_EQ(whoFor(kid, 6), (std::vector<std::string>{"child"}));
    }
}
