// Objects: identity, names, instances, queues, lifetime and collection.
#include "host_fixture.h"

#include <set>

using namespace hosttest;

namespace {
const char *kNodeID = "C0000000-0000-4000-8000-000000000001";
const char *kNodeAttrs = "<IsType Type=\"VS_BOOL\" Default=\"0\"/>\n"
                         "<First Type=\"void *\" Class=\"QNode\"/>\n"
                         "<Plain Type=\"void *\"/>\n"
                         "<Second Type=\"void *\" Class=\"QNode\"/>\n";
struct NodeRec {
    VS_BOOL IsType;
    void *First;
    void *Plain;
    void *Second;
};
} // namespace

class ObjectTest : public HostTest {
  protected:
    void *node = nullptr;
    OBJECTATTRIBUTEINDEX first = 0, second = 0;
    void SetUp() override {
        HostTest::SetUp();
        node = defineClass(classXml("QNode", kNodeID, kNodeAttrs), kNodeID);
        ASSERT_NE(node, nullptr);
        first = s->GetAttributeIndex(node, "First");
        second = s->GetAttributeIndex(node, "Second");
    }
    std::vector<void *> walk(void *parent, void *NodeRec::*field) {
        std::vector<void *> out;
        for (void *x = s->QueryFirst(&(static_cast<NodeRec *>(parent)->*field)); x; x = s->QueryNext(x))
            out.push_back(x);
        return out;
    }
};

TEST_F(ObjectTest, IdentityNamesAndLookup) {
    void *a = newObject(node);
    void *b = newObject(node);
    EXPECT_STREQ(s->GetName(a), "");
    s->SetName(a, "same");
    s->SetName(b, "same");
    EXPECT_EQ(s->GetObjectEx(nullptr, "same"), a); // the oldest wins
    EXPECT_EQ(s->GetObjectEx(nullptr, "sam"), nullptr);
    s->FreeObject(a);
    EXPECT_EQ(s->GetObjectEx(nullptr, "same"), b);
    EXPECT_EQ(s->GetObjectEx(nullptr, "QNode"), node);

    VS_UUID idb = s->GetID(b);
    EXPECT_EQ(s->GetObject(&idb), b);
    EXPECT_EQ(std::memcmp(s->GetIDEx(b), &idb, sizeof idb), 0);
    // Random version-4 IDs.
    EXPECT_EQ(idb.Data3 & 0xF000, 0x4000);
    EXPECT_EQ(idb.Data4[0] & 0xC0, 0x80);
    VS_UUID zero{};
    EXPECT_EQ(s->GetObject(&zero), nullptr);
    VS_UUID none = s->GetID(nullptr);
    EXPECT_EQ(std::memcmp(&none, &zero, sizeof zero), 0);

    // A chosen ID; refused while in use.
    VS_UUID want = uuid("DDDDDDDD-0000-4000-8000-000000000001");
    VS_UUID cid = s->GetID(node);
    void *c = s->MallocObjectLEx(&cid, &want, 0, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(s->GetObject(&want), c);
    EXPECT_EQ(s->MallocObjectLEx(&cid, &want, 0, nullptr), nullptr);
    EXPECT_NE(s->MallocObjectLEx(&cid, &zero, 0, nullptr), nullptr);
    VS_UUID unknown = uuid("EEEEEEEE-0000-4000-8000-000000000001");
    EXPECT_EQ(s->MallocObjectL(&unknown, 0, nullptr), nullptr);
}

// Finding by name follows renames in both directions, keeps creation order
// (not naming order) among objects of one name, and honours the parent.
TEST_F(ObjectTest, FindByNameFollowsRenamesAndCreationOrder) {
    void *a = newObject(node);
    void *b = newObject(node);
    void *c = newObject(node);
    s->SetName(c, "n");
    s->SetName(b, "n");
    s->SetName(a, "n");
    EXPECT_EQ(s->GetObjectEx(nullptr, "n"), a); // named last, made first
    s->SetName(a, "m");
    EXPECT_EQ(s->GetObjectEx(nullptr, "n"), b);
    EXPECT_EQ(s->GetObjectEx(nullptr, "m"), a);
    s->SetName(a, "n");
    EXPECT_EQ(s->GetObjectEx(nullptr, "n"), a);
    EXPECT_EQ(s->GetObjectEx(nullptr, "m"), nullptr);
    s->SetName(a, "");
    s->SetName(a, nullptr);
    EXPECT_EQ(s->GetObjectEx(nullptr, "n"), b);
    // The parent filter skips older objects held elsewhere.
    ASSERT_TRUE(s->ChangeParent(c, b, first));
    EXPECT_EQ(s->GetObjectEx(b, "n"), c);
    s->FreeObject(b); // frees c with it
    EXPECT_EQ(s->GetObjectEx(nullptr, "n"), nullptr);
    // A root item renamed is found by its new name only.
    void *r = s->GetSysRootItem("test_root");
    s->SetName(r, "renamed_root");
    EXPECT_EQ(s->GetSysRootItem("test_root"), nullptr);
    EXPECT_EQ(s->GetSysRootItem("renamed_root"), r);
}

TEST_F(ObjectTest, DeterministicIdsCountFromOne) {
    tvh::HostOptions o;
    o.deterministicIds = true;
    restartHost(o);
    void *cls = defineClass(classXml("QNode", kNodeID, kNodeAttrs), kNodeID);
    void *a = newObject(cls);
    void *b = newObject(cls);
    // The root item made by the fixture took the first one.
    EXPECT_STREQ(s->UuidToString(s->GetIDEx(a)), "00000002-0000-4000-8000-000000000000");
    EXPECT_STREQ(s->UuidToString(s->GetIDEx(b)), "00000003-0000-4000-8000-000000000000");
}

TEST_F(ObjectTest, IsInstAndInstanceEnumerationAreTransitive) {
    void *type = newObject(node);
    static_cast<NodeRec *>(type)->IsType = 1;
    void *i1 = newObject(type);
    void *i2 = newObject(i1);
    void *other = newObject(s->GetObjectEx(nullptr, "_Object"));
    VS_UUID *cid = s->GetIDEx(node);
    struct Case {
        void *cls;
        void *obj;
        bool inst;
    } table[] = {
        {node, type, true}, {node, i2, true}, {type, i2, true}, {i1, i2, true},
        {i2, i2, false},    {node, node, false}, {node, other, false}, {i2, i1, false},
    };
    for (auto &c : table)
        EXPECT_EQ(bool(s->IsInst(s->GetIDEx(c.cls), c.obj)), c.inst)
            << s->GetName(c.cls) << " / " << static_cast<const void *>(c.obj);
    EXPECT_FALSE(s->IsInst(cid, nullptr));
    EXPECT_TRUE(s->IsDirectInst(cid, type));
    EXPECT_FALSE(s->IsDirectInst(cid, i1));
    EXPECT_TRUE(s->IsDirectInst(s->GetIDEx(type), i1));

    // The type (IsType 1) is not counted.
    EXPECT_EQ(s->InstNumber(cid), 2);
    EXPECT_EQ(s->InstNumber(s->GetIDEx(type)), 2);

    VS_QUERYRECORD q;
    std::vector<void *> seen;
    for (void *x = s->QueryFirstInst(&q, node); x; x = s->QueryNextInst(&q, node)) {
        seen.push_back(x);
        if (x == type) s->FreeObject(i2); // freed before the walk reaches it
    }
    s->QueryInstClose(&q);
    EXPECT_EQ(seen, (std::vector<void *>{type, i1}));
    EXPECT_EQ(s->QueryNextInst(&q, node), nullptr); // closed
}

TEST_F(ObjectTest, QueuesAppendMoveDetachAndKeepTheHeadField) {
    void *p = newObject(node), *p2 = newObject(node);
    void *a = newObject(node), *b = newObject(node), *c = newObject(node);
    auto *pr = static_cast<NodeRec *>(p);
    EXPECT_EQ(s->QueryFirst(&pr->First), nullptr);
    for (void *x : {a, b, c}) ASSERT_TRUE(s->ChangeParent(x, p, first));
    EXPECT_EQ(walk(p, &NodeRec::First), (std::vector<void *>{a, b, c}));
    EXPECT_EQ(pr->First, a); // the head field holds the first child
    EXPECT_EQ(s->GetParent(b), p);
    EXPECT_EQ(s->GetIndex(b), first);

    ASSERT_TRUE(s->ChangeParent(a, p, first)); // same queue: to the end
    EXPECT_EQ(walk(p, &NodeRec::First), (std::vector<void *>{b, c, a}));
    EXPECT_EQ(pr->First, b);
    ASSERT_TRUE(s->ChangeParent(c, p, second)); // another queue
    EXPECT_EQ(walk(p, &NodeRec::First), (std::vector<void *>{b, a}));
    EXPECT_EQ(walk(p, &NodeRec::Second), (std::vector<void *>{c}));
    ASSERT_TRUE(s->ChangeParent(b, p2, first)); // another parent
    EXPECT_EQ(walk(p, &NodeRec::First), (std::vector<void *>{a}));
    EXPECT_EQ(walk(p2, &NodeRec::First), (std::vector<void *>{b}));
    ASSERT_TRUE(s->ChangeParent(a, nullptr, 0)); // detach
    EXPECT_EQ(pr->First, nullptr);
    EXPECT_EQ(s->GetParent(a), nullptr);
    EXPECT_EQ(s->GetIndex(a), VS_INVALID_ATTRIBUTEINDEX);

    // Refusals change nothing.
    OBJECTATTRIBUTEINDEX plain = s->GetAttributeIndex(node, "Plain");
    struct Case {
        void *obj;
        void *parent;
        OBJECTATTRIBUTEINDEX idx;
    } refused[] = {
        {c, p, plain},   // not a queue
        {c, p, 200},     // no such attribute
        {p, p, first},   // itself
        {p, c, first},   // its own descendant
        {node, p, first} // a class object
    };
    for (auto &r : refused) EXPECT_FALSE(s->ChangeParent(r.obj, r.parent, r.idx));
    EXPECT_EQ(walk(p, &NodeRec::Second), (std::vector<void *>{c}));
    EXPECT_EQ(s->GetParent(p), nullptr);

    // Freeing a child takes it out of the queue.
    ASSERT_TRUE(s->ChangeParent(a, p, second));
    s->FreeObject(c);
    EXPECT_EQ(walk(p, &NodeRec::Second), (std::vector<void *>{a}));
    EXPECT_EQ(pr->Second, a);
    // Not a queue head: no children.
    EXPECT_EQ(s->QueryFirst(&pr->Plain), nullptr);
    int local = 0;
    EXPECT_EQ(s->QueryFirst(&local), nullptr);
}

TEST_F(ObjectTest, ChildrenAreFreedWithTheirParent) {
    void *p = newObject(node), *a = newObject(node), *b = newObject(node);
    ASSERT_TRUE(s->ChangeParent(a, p, first));
    ASSERT_TRUE(s->ChangeParent(b, a, second));
    s->LockGC(b); // locks do not keep a child past its parent's free
    VS_UUID ida = s->GetID(a), idb = s->GetID(b);
    s->FreeObject(p);
    EXPECT_EQ(s->GetObject(&ida), nullptr);
    EXPECT_EQ(s->GetObject(&idb), nullptr);
}

TEST_F(ObjectTest, LockCountsOwnerReferenceAndUnlockAtZero) {
    void *o = newObject(node);
    EXPECT_EQ(s->GetRefEx(o), 1); // the creation lock
    s->LockGC(o);
    s->AddRefEx(o);
    EXPECT_EQ(s->GetRefEx(o), 3);
    s->ReleaseOwnerEx(o);
    EXPECT_EQ(s->GetRefEx(o), 2);
    s->ReleaseOwnerEx(o); // given up once only
    EXPECT_EQ(s->GetRefEx(o), 2);
    s->UnLockGC(o);
    s->UnLockGC(o);
    EXPECT_EQ(s->GetRefEx(o), 0);
    long long before = stat(&tvh::HostStats::UnlockAtZero);
    s->UnLockGC(o);
    EXPECT_EQ(stat(&tvh::HostStats::UnlockAtZero), before + 1);
    EXPECT_EQ(s->GetRefEx(o), 0);
    EXPECT_NE(s->GetObject(s->GetIDEx(o)), nullptr); // never freed by an unlock

    // An unlock to zero also ends the owner reference.
    void *o2 = newObject(node);
    s->UnLockGC(o2);
    s->LockGC(o2);
    s->ReleaseOwnerEx(o2);
    EXPECT_EQ(s->GetRefEx(o2), 1);
}

// Garbage is what nothing holds, whoever made it and whether or not a script
// ever saw it: only collection points free it, and only while it is unheld.
TEST_F(ObjectTest, CollectionFreesWhatNothingHolds) {
    void *a = newObject(node), *b = newObject(node), *c = newObject(node), *d = newObject(node);
    void *p = newObject(node);
    for (void *x : {a, b, c, d}) s->ReleaseOwnerEx(x); // never given to a script
    s->LockGC(b);                              // held by a lock
    ASSERT_TRUE(s->ChangeParent(c, p, first)); // held by a parent
    desc(d)->hasProxy = true;                  // held by a script value
    VS_UUID ida = s->GetID(a);
    EXPECT_NE(s->GetObject(&ida), nullptr) << "only collection points free";
    tvh::collectGarbage();
    EXPECT_EQ(s->GetObject(&ida), nullptr);
    for (void *x : {b, c, d}) EXPECT_NE(s->GetObject(s->GetIDEx(x)), nullptr);
    EXPECT_NE(s->GetObject(s->GetIDEx(p)), nullptr) << "the creator still owns it";
    // Each way of letting go makes it garbage for the next collection point.
    VS_UUID idb = s->GetID(b), idc = s->GetID(c), idp = s->GetID(p);
    s->UnLockGC(b);
    ASSERT_TRUE(s->ChangeParent(c, nullptr, 0));
    s->UnLockGC(p); // the creation lock: the owner lets go
    EXPECT_NE(s->GetObject(&idb), nullptr);
    tvh::collectGarbage();
    for (const VS_UUID *id : {&idb, &idc, &idp}) EXPECT_EQ(s->GetObject(const_cast<VS_UUID *>(id)), nullptr);
    EXPECT_NE(s->GetObject(s->GetIDEx(d)), nullptr);
    desc(d)->hasProxy = false;
    s->FreeObject(d);
    // Class objects are never garbage.
    EXPECT_NE(s->GetObject(s->GetIDEx(node)), nullptr);
}

TEST_F(ObjectTest, FreedHandlesActAsNullAndAreCounted) {
    void *o = newObject(node);
    void *atomic = s->ObjectToAtomic(o);
    VS_UUID id = s->GetID(o);
    s->FreeObject(o);
    EXPECT_EQ(s->GetObject(&id), nullptr);
    EXPECT_EQ(s->AtomicToObject(atomic), nullptr);
    long long inv = stat(&tvh::HostStats::InvalidObjects);
    EXPECT_EQ(s->GetClass(o), nullptr);
    EXPECT_STREQ(s->GetName(o), "");
    EXPECT_EQ(stat(&tvh::HostStats::InvalidObjects), inv + 2);
    s->FreeObject(nullptr);
    EXPECT_EQ(stat(&tvh::HostStats::InvalidObjects), inv + 2); // NULL is not counted

    // Handles and IDs are not reused.
    std::set<void *> atomics{atomic};
    for (int i = 0; i < 50; ++i) {
        void *x = newObject(node);
        EXPECT_TRUE(atomics.insert(s->ObjectToAtomic(x)).second);
        EXPECT_NE(std::memcmp(s->GetIDEx(x), &id, sizeof id), 0);
        s->FreeObject(x);
    }
}

// With the script engine linked in: an object only a script held dies at the
// collection point that ends the chunk.
TEST_F(ObjectTest, ScriptOnlyObjectsDieAtTheEndOfTheirChunk) {
    if (!tvh::scriptEngine()) GTEST_SKIP() << "no script engine linked in";
    long long live = stat(&tvh::HostStats::LiveObjects);
    std::string err;
    ASSERT_TRUE(tvh::runChunk("kept = _New(QNode) ; local dropped = _New(QNode)", "chunk", &err)) << err;
    EXPECT_EQ(stat(&tvh::HostStats::LiveObjects), live + 1);
    ASSERT_TRUE(tvh::runChunk("kept = nil", "chunk2", &err)) << err;
    EXPECT_EQ(stat(&tvh::HostStats::LiveObjects), live);
}

// IsInst along a deep chain with a fork: every answer the class walk would
// give, however far apart the two objects are.
TEST_F(ObjectTest, IsInstAlongDeepChainsAndForks) {
    const int kDepth = 3000, kFork = 1000;
    std::vector<void *> chain{newObject(node)};
    for (int i = 1; i < kDepth; ++i) chain.push_back(newObject(chain.back()));
    std::vector<void *> fork{newObject(chain[kFork])};
    for (int i = 1; i < 500; ++i) fork.push_back(newObject(fork.back()));
    auto isInst = [&](void *cls, void *o) { return s->IsInst(s->GetIDEx(cls), o) == VS_TRUE; };
    auto byWalk = [&](void *cls, void *o) {
        for (void *x = s->GetClass(o); x; x = s->GetClass(x))
            if (x == cls) return true;
        return false;
    };
    for (int i = 0; i < kDepth; i += 37)
        for (int j = 0; j < kDepth; j += 41) ASSERT_EQ(isInst(chain[size_t(i)], chain[size_t(j)]), i < j) << i << " " << j;
    for (int i : {0, kFork - 1, kFork, kFork + 1, kDepth - 1})
        for (void *f : {fork.front(), fork[250], fork.back()}) {
            EXPECT_EQ(isInst(chain[size_t(i)], f), byWalk(chain[size_t(i)], f)) << i;
            EXPECT_FALSE(isInst(f, chain[size_t(i)]));
        }
    for (void *o : {chain.back(), fork.back()}) {
        EXPECT_TRUE(isInst(node, o));
        EXPECT_FALSE(isInst(o, o));
    }
}
