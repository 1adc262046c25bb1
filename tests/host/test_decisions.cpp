// Host rules that callers build on and that no other test holds down: what a
// new record starts from, when unheld objects die, what queue moves leave
// alone, and name lookups.
#include "host_fixture.h"

using namespace hosttest;

namespace {
const char *kProtoID = "E0000000-0000-4000-8000-000000000001";
const char *kProtoAttrs = "<Count Type=\"VS_INT32\" Default=\"7\"/>\n"
                          "<Label Type=\"VS_VSTRING\" Default=\"base\"/>\n"
                          "<Ptr Type=\"void *\"/>\n"
                          "<Kids Type=\"void *\" Class=\"\"/>\n";
struct ProtoRec {
    VS_INT32 Count;
    VS_VSTRING Label;
    void *Ptr;
    void *Kids;
};
} // namespace

class DecisionTest : public HostTest {
  protected:
    void *cls = nullptr;
    OBJECTATTRIBUTEINDEX kids = 0;
    void SetUp() override {
        HostTest::SetUp();
        cls = defineClass(classXml("DProto", kProtoID, kProtoAttrs), kProtoID);
        ASSERT_NE(cls, nullptr);
        kids = s->GetAttributeIndex(cls, "Kids");
    }
    bool alive(const VS_UUID &id) {
        VS_UUID copy = id;
        return s->GetObject(&copy) != nullptr;
    }
};

// A record starts from its registered class's template defaults, whatever
// the class object or the prototype it is made from holds.
TEST_F(DecisionTest, NewRecordsStartFromTemplateDefaultsNotFromWhatTheyAreMadeFrom) {
    auto *classRec = static_cast<ProtoRec *>(cls);
    classRec->Count = 100;
    s->SetVString(&classRec->Label, "class");
    classRec->Ptr = classRec;

    auto *proto = static_cast<ProtoRec *>(newObject(cls));
    ASSERT_NE(proto, nullptr);
    proto->Count = 200;
    s->SetVString(&proto->Label, "proto");
    proto->Ptr = proto;
    void *kid = newObject(cls);
    ASSERT_TRUE(s->ChangeParent(kid, proto, kids));

    for (void *from : {cls, static_cast<void *>(proto)}) {
        SCOPED_TRACE(from == cls ? "from the class" : "from a prototype");
        auto *r = static_cast<ProtoRec *>(newObject(from));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->Count, 7);
        ASSERT_NE(r->Label.Buf, nullptr);
        EXPECT_STREQ(r->Label.Buf, "base");
        EXPECT_NE(r->Label.Buf, proto->Label.Buf);
        EXPECT_EQ(r->Ptr, nullptr);
        EXPECT_EQ(r->Kids, nullptr); // queues start empty
        EXPECT_EQ(s->QueryFirst(&r->Kids), nullptr);
    }
    EXPECT_EQ(s->QueryFirst(&proto->Kids), kid); // the prototype kept its own
}

// Objects let go of (here never seen by a script) are freed only at
// collection points; XRQDispatch is one, no other operation is.
TEST_F(DecisionTest, UnheldObjectsDieOnlyAtCollectionPoints) {
    void *a = newObject(cls);
    s->ReleaseOwnerEx(a);
    VS_UUID ida = s->GetID(a);

    // Operations a module calls all the time collect nothing.
    void *other = newObject(cls);
    s->LockGC(other);
    s->UnLockGC(other);
    s->UnLockGC(other);
    s->FreeObject(other);
    VS_PARAPKGPTR p = s->GetParaPkgInterface();
    p->InsertObject(0, a);
    p->Release();
    VS_QUERYRECORD q;
    s->QueryFirstInst(&q, cls);
    s->QueryInstClose(&q);
    s->ChangeParent(newObject(cls), nullptr, 0);
    EXPECT_TRUE(alive(ida));

    // Every dispatch is a collection point (no clock decides).
    tvh::control()->XRQDispatch(VS_FALSE);
    EXPECT_FALSE(alive(ida));
    EXPECT_TRUE(tvh::holdsHostLock());
    EXPECT_TRUE(tvh::holdsScriptLock());
}

// A host whose GetRefEx answers 0 (the runner's TARVEX_ZERO_REFCOUNTS):
// lifetime still counts the real holds, and so does the _RefCount built-in.
TEST_F(DecisionTest, ZeroRefCountsChangeOnlyWhatGetRefExAnswers) {
    tvh::HostOptions o;
    o.zeroRefCounts = true;
    restartHost(o);
    cls = defineClass(classXml("DProto", kProtoID, kProtoAttrs), kProtoID);
    ASSERT_NE(cls, nullptr);
    void *held = newObject(cls), *dropped = newObject(cls);
    s->LockGC(held);
    s->ReleaseOwnerEx(dropped);
    EXPECT_EQ(s->GetRefEx(held), 0);
    EXPECT_EQ(tvh::holdCount(desc(held)), 2);
    VS_UUID idHeld = s->GetID(held), idDropped = s->GetID(dropped);
    tvh::collectGarbage();
    EXPECT_TRUE(alive(idHeld));
    EXPECT_FALSE(alive(idDropped));
    if (tvh::scriptEngine()) {
        s->SetName(held, "held");
        std::string err;
        // Two locks and the script's own value.
        EXPECT_TRUE(tvh::runChunk("assert(_RefCount(_Find('held')) == 3)", "chunk", &err)) << err;
    }
}

TEST_F(DecisionTest, QueueMovesLeaveLockCountsAlone) {
    void *p = newObject(cls), *c = newObject(cls);
    s->LockGC(c);
    ASSERT_EQ(s->GetRefEx(c), 2);
    ASSERT_TRUE(s->ChangeParent(c, p, kids));
    EXPECT_EQ(s->GetRefEx(c), 2);
    ASSERT_TRUE(s->ChangeParent(c, nullptr, 0));
    EXPECT_EQ(s->GetRefEx(c), 2);
    EXPECT_EQ(s->GetRefEx(p), 1);
}

TEST_F(DecisionTest, NameLookups) {
    void *p = newObject(cls), *q = newObject(cls), *c = newObject(cls), *d = newObject(cls);
    s->SetName(c, "child");
    s->SetName(d, "child");
    ASSERT_TRUE(s->ChangeParent(d, p, kids));
    // Whole names only, the oldest first; a parent narrows to its children.
    EXPECT_EQ(s->GetObjectEx(nullptr, "child"), c);
    EXPECT_EQ(s->GetObjectEx(p, "child"), d);
    EXPECT_EQ(s->GetObjectEx(q, "child"), nullptr);
    EXPECT_EQ(s->GetObjectEx(nullptr, "chil"), nullptr);
    EXPECT_EQ(s->GetObjectEx(nullptr, "child "), nullptr);
    // The host makes no object space of its own.
    EXPECT_EQ(s->GetObjectEx(nullptr, "QuelObjectSpace"), nullptr);
}

// What is made from an object holds it: a collection frees neither a held
// instance nor, while the instance lives, the object it was made from, at any
// depth; once the instances go, the next collection takes the rest. FreeObject
// still takes the instances with it.
TEST_F(DecisionTest, InstancesHoldWhatTheyAreMadeFrom) {
    struct Case {
        const char *what;
        bool lockLeaf; // else the leaf is held by a queue
    };
    for (const Case &c : {Case{"a GC-locked instance", true}, Case{"a queued instance", false}}) {
        SCOPED_TRACE(c.what);
        void *holder = newObject(cls);
        void *proto = newObject(cls), *mid = newObject(proto), *leaf = newObject(mid);
        VS_UUID ids[] = {s->GetID(proto), s->GetID(mid), s->GetID(leaf)};
        if (c.lockLeaf)
            s->LockGC(leaf);
        else
            ASSERT_TRUE(s->ChangeParent(leaf, holder, kids));
        for (void *o : {proto, mid, leaf}) s->ReleaseOwnerEx(o);
        tvh::collectGarbage();
        for (const VS_UUID &id : ids) EXPECT_TRUE(alive(id));

        if (c.lockLeaf)
            s->UnLockGC(leaf);
        else
            ASSERT_TRUE(s->ChangeParent(leaf, nullptr, 0));
        tvh::collectGarbage(); // one collection point takes the whole chain
        for (const VS_UUID &id : ids) EXPECT_FALSE(alive(id));
        s->FreeObject(holder);
    }

    void *proto = newObject(cls), *inst = newObject(proto);
    s->LockGC(inst);
    VS_UUID id = s->GetID(inst);
    s->FreeObject(proto);
    EXPECT_FALSE(alive(id));
}
