// Bad input: refused with a clear failure value and, for templates, a text to
// the exception handler; never a crash, never a changed object.
#include "host_fixture.h"

using namespace hosttest;

namespace {
const char *kGoodID = "F0000000-0000-4000-8000-000000000001";
const char *kOtherID = "F0000000-0000-4000-8000-000000000002";
} // namespace

class BadInputTest : public HostTest {};

TEST_F(BadInputTest, TemplatesThatCannotBecomeClasses) {
    ASSERT_NE(defineClass(classXml("Good", kGoodID, "<A Type=\"VS_INT32\"/>\n"), kGoodID), nullptr);
    struct Case {
        const char *what;
        std::string xml;
        const char *id;
        const char *expectInText;
    } table[] = {
        {"malformed XML", "<object><Bad ID=\"x\"><attribute></object>", kOtherID, "malformed"},
        {"no object root", "<?xml version=\"1.0\"?><classes><Bad/></classes>", kOtherID, "<object>"},
        {"empty object", "<object></object>", kOtherID, "no class"},
        {"unknown attribute type", classXml("Bad", kOtherID, "<A Type=\"VS_FLOAT\"/>\n"), kOtherID, "unknown type"},
        {"attribute without type", classXml("Bad", kOtherID, "<A Default=\"1\"/>\n"), kOtherID, "no Type"},
        {"duplicate attribute", classXml("Bad", kOtherID, "<A Type=\"VS_INT32\"/>\n<A Type=\"VS_BOOL\"/>\n"),
         kOtherID, "twice"},
        {"attribute shadowing the parent's",
         classXml("Bad", kOtherID, "<A Type=\"VS_BOOL\"/>\n", "Good"), kOtherID, "twice"},
        {"unknown parent class", classXml("Bad", kOtherID, "<A Type=\"VS_INT32\"/>\n", "NoSuchClass"), kOtherID,
         "unknown parent"},
        {"duplicate class ID", classXml("Bad", kGoodID, "<A Type=\"VS_INT32\"/>\n"), kGoodID, "already in use"},
        {"duplicate class name", classXml("Good", kOtherID, "<A Type=\"VS_INT32\"/>\n"), kOtherID,
         "already registered"},
        {"no ID anywhere", classXml("Bad", "not-a-uuid", "<A Type=\"VS_INT32\"/>\n"), nullptr, "no valid ID"},
    };
    for (auto &c : table) {
        exceptTexts().clear();
        long long live = stat(&tvh::HostStats::LiveObjects);
        EXPECT_EQ(defineClass(c.xml, c.id), nullptr) << c.what;
        EXPECT_EQ(stat(&tvh::HostStats::LiveObjects), live) << c.what;
        ASSERT_EQ(exceptTexts().size(), 1u) << c.what;
        EXPECT_NE(exceptTexts()[0].find(c.expectInText), std::string::npos) << c.what << ": " << exceptTexts()[0];
    }
    VS_UUID other = uuid(kOtherID);
    EXPECT_EQ(s->GetObject(&other), nullptr);
    EXPECT_EQ(s->GetObjectEx(nullptr, "Bad"), nullptr);

    // Reader misuse.
    EXPECT_EQ(s->XmlToObjectEx(nullptr, root(), &other, nullptr, 0), nullptr);
    ClassOfXRQSXMLInterface *x = s->GetSXMLInterface();
    EXPECT_FALSE(x->LoadFromBuf(nullptr, 0));
    EXPECT_EQ(s->XmlToObjectEx(x, root(), &other, nullptr, 0), nullptr); // nothing loaded
    x->LoadFromBuf(classXml("Bad", kOtherID, "").c_str(), 0);
    int notAnObject = 0;
    EXPECT_EQ(s->XmlToObjectEx(x, &notAnObject, &other, nullptr, 0), nullptr); // bad root item
    EXPECT_NE(s->XmlToObjectEx(x, nullptr, &other, nullptr, 0), nullptr);    // no root item is fine
    x->Release();
}

TEST_F(BadInputTest, NullAndFreedObjectsActAsNull) {
    void *cls = defineClass(classXml("Good", kGoodID, "<A Type=\"VS_INT32\"/>\n<Q Type=\"void *\" Class=\"\"/>\n"),
                            kGoodID);
    void *live = newObject(cls);
    void *freed = newObject(cls);
    s->FreeObject(freed);
    int stackJunk[8] = {0};
    void *handles[] = {nullptr, freed, stackJunk};
    for (void *h : handles) {
        SCOPED_TRACE(h == nullptr ? "null" : h == freed ? "freed" : "unknown");
        VS_ATTRIBUTEINFO info{};
        VS_QUERYRECORD q{};
        VS_ULONG size = 9;
        EXPECT_EQ(s->GetIDEx(h), nullptr);
        EXPECT_EQ(s->GetClass(h), nullptr);
        EXPECT_EQ(s->GetParent(h), nullptr);
        EXPECT_EQ(s->GetIndex(h), VS_INVALID_ATTRIBUTEINDEX);
        EXPECT_STREQ(s->GetName(h), "");
        s->SetName(h, "x");
        EXPECT_FALSE(s->IsInst(s->GetIDEx(cls), h));
        EXPECT_FALSE(s->IsDirectInst(s->GetIDEx(cls), h));
        EXPECT_FALSE(s->GetAttributeInfoEx(h, "A", &info));
        EXPECT_EQ(s->GetAttributeIndex(h, "A"), VS_INVALID_ATTRIBUTEINDEX);
        EXPECT_EQ(s->ObjectToAtomic(h), nullptr);
        EXPECT_EQ(s->AtomicToObject(h), nullptr);
        EXPECT_FALSE(s->ChangeParent(h, live, 1));
        EXPECT_FALSE(s->ChangeParent(live, h, 1) && h != nullptr);
        s->LockGC(h);
        s->UnLockGC(h);
        s->ReleaseOwnerEx(h);
        s->AddRefEx(h);
        EXPECT_EQ(s->GetRefEx(h), 0);
        EXPECT_EQ(s->GetLayer(h), 0u);
        EXPECT_EQ(s->MallocPrivateBuf(h, 1, 0, 8), nullptr);
        EXPECT_EQ(s->GetPrivateBuf(h, 1, 0, &size), nullptr);
        EXPECT_EQ(size, 0u);
        s->FreePrivate(h, 1, 0);
        EXPECT_EQ(s->QueryFirstInst(&q, h), nullptr);
        s->QueryInstClose(&q);
        EXPECT_EQ(s->QueryNext(h), nullptr);
        EXPECT_EQ(s->GetAtomicFunctionByName(h, "F"), nullptr);
        EXPECT_EQ(s->CreateAtomicLuaFunction(h, "F", nullptr, ""), nullptr);
        EXPECT_EQ(s->CreateAtomicAttribute(h, "U", VS_ATTRIBUTETYPE_UUID), nullptr);
        EXPECT_FALSE(s->SetSysEvent(h, nullptr));
        EXPECT_FALSE(s->RegLuaFunc(h, "F", [](void *) -> VS_INT32 { return 0; }, 0));
        EXPECT_FALSE(s->RegLuaGetValueFunc(h, nullptr, 0));
        EXPECT_FALSE(s->RegLuaSetValueFunc(h, nullptr, 0));
        EXPECT_FALSE(s->RegBeforeChangeCallBack(h, [](void *, VS_UWORD, OBJECTATTRIBUTEINDEX, VS_INT8 *,
                                                      VS_INT32) -> VS_BOOL { return VS_TRUE; },
                                                0, 0));
        EXPECT_FALSE(s->HasRawContext(h));
        EXPECT_EQ(s->GetInitPara(h), nullptr);
        if (h) { // a NULL parent means "anywhere"
            EXPECT_EQ(s->GetObjectEx(h, "Good"), nullptr);
            EXPECT_EQ(s->GetAtomicObjectEx(h, "Good"), nullptr);
        }
        s->FreeObject(h);
    }
    for (int v : stackJunk) EXPECT_EQ(v, 0); // never written through
    EXPECT_EQ(s->GetRefEx(live), 1);
    EXPECT_STREQ(s->GetName(live), "");

    // NULL IDs and other NULL arguments.
    EXPECT_EQ(s->GetObject(nullptr), nullptr);
    EXPECT_EQ(s->MallocObjectL(nullptr, 0, nullptr), nullptr);
    EXPECT_FALSE(s->IsInst(nullptr, live));
    EXPECT_EQ(s->InstNumber(nullptr), 0);
    EXPECT_EQ(s->QueryFirstInst(nullptr, cls), nullptr);
    EXPECT_EQ(s->GetObjectEx(nullptr, nullptr), nullptr);
    EXPECT_FALSE(s->GetAttributeInfoEx(cls, "A", nullptr));
    EXPECT_EQ(s->QueryFirst(nullptr), nullptr);
    EXPECT_FALSE(s->CreateSysRootItem(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(s->GetSysRootItem(nullptr), nullptr);
    EXPECT_STREQ(s->UuidToString(nullptr), "00000000-0000-0000-0000-000000000000");
    // A package handed as init package that is not one is ignored.
    int fake = 0;
    VS_UUID cid = s->GetID(cls);
    EXPECT_NE(s->MallocObjectL(&cid, 0, reinterpret_cast<VS_PARAPKGPTR>(&fake)), nullptr);
    // Unknown non-NULL handles were counted; NULL never.
    EXPECT_GT(stat(&tvh::HostStats::InvalidObjects), 0);
}

TEST_F(BadInputTest, RootItemsKeepTheirFirstDefinition) {
    VS_UUID id = uuid("F1000000-0000-4000-8000-000000000001");
    ASSERT_TRUE(s->CreateSysRootItem("quel_trelk", "desc", &id, nullptr));
    void *r = s->GetSysRootItem("quel_trelk");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(s->GetObject(&id), r);
    EXPECT_TRUE(s->CreateSysRootItem("quel_trelk", nullptr, nullptr, nullptr));
    EXPECT_EQ(s->GetSysRootItem("quel_trelk"), r);
    EXPECT_EQ(s->GetSysRootItem("other"), nullptr);
}

// Handles are told apart from every other address before anything behind them
// is read: addresses inside, before or between records of every size (small,
// mid-sized, one large enough to have memory of its own), of freed records,
// of other memory, and of no memory at all name no object; a queue field is
// found only at its own offset. Freed records are not handed out again soon.
TEST_F(BadInputTest, AddressesNearRecordsNameNoObject) {
    void *cls = defineClass(classXml("Near", kGoodID, "<A Type=\"VS_INT32\"/>\n<Q Type=\"void *\" Class=\"\"/>\n"),
                            kGoodID);
    ASSERT_NE(cls, nullptr);
    VS_ATTRIBUTEINFO q{};
    ASSERT_TRUE(s->GetAttributeInfoEx(cls, "Q", &q));
    VS_UUID cid = s->GetID(cls);
    struct Made {
        const char *what;
        VS_ULONG extra;
        char *rec = nullptr;
    } made[] = {{"small", 0}, {"mid-sized", 3000}, {"large", 300000}};
    for (Made &m : made) {
        m.rec = static_cast<char *>(s->MallocObjectL(&cid, m.extra, nullptr));
        ASSERT_NE(m.rec, nullptr) << m.what;
        void *child = s->MallocObjectL(&cid, 0, nullptr);
        ASSERT_TRUE(s->ChangeParent(child, m.rec, q.AttributeIndex));
        EXPECT_EQ(s->QueryFirst(m.rec + q.Offset), child) << m.what << ": its queue field";
        EXPECT_NE(s->GetIDEx(m.rec), nullptr) << m.what;
    }
    char *freed = static_cast<char *>(s->MallocObjectL(&cid, 0, nullptr));
    s->FreeObject(freed);
    int onStack[4] = {0};
    void *fromHeap = s->Malloc_Nor(64);
    long long invalid = stat(&tvh::HostStats::InvalidObjects);
    struct Case {
        std::string what;
        void *p;
    };
    std::vector<Case> table = {
        {"a freed record", freed},
        {"the stack", onStack},
        {"host memory that is no record", fromHeap},
        {"a non-canonical address", reinterpret_cast<void *>(uintptr_t(0xA7) << 56 | 0x1000)},
        {"a kernel address", reinterpret_cast<void *>(~uintptr_t(0xFFF))},
        {"a low address", reinterpret_cast<void *>(uintptr_t(0x10))},
    };
    for (Made &m : made) {
        std::string w = m.what;
        table.push_back({w + " record, one byte in", m.rec + 1});
        table.push_back({w + " record, 16 bytes in", m.rec + 16});
        table.push_back({w + " record's header", m.rec - 16});
        table.push_back({w + " record's header, 8 bytes in", m.rec - 8});
        table.push_back({w + " record's extra bytes", m.rec + q.Offset + 65 + m.extra / 2});
    }
    table.push_back({"a large record, past its first 64 KiB", made[2].rec + 65536 + 4096});
    for (const Case &c : table) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(s->GetIDEx(c.p), nullptr);
        EXPECT_EQ(s->GetClass(c.p), nullptr);
        EXPECT_FALSE(s->ChangeParent(c.p, made[0].rec, q.AttributeIndex));
    }
    EXPECT_EQ(stat(&tvh::HostStats::InvalidObjects), invalid + 3 * (long long)table.size());
    for (Made &m : made) {
        SCOPED_TRACE(m.what);
        EXPECT_EQ(s->QueryFirst(m.rec + q.Offset + 8), nullptr) << "next to the queue field";
        EXPECT_EQ(s->QueryFirst(m.rec + 1), nullptr);
        EXPECT_EQ(s->QueryFirst(m.rec - 16), nullptr);
    }
    EXPECT_EQ(s->QueryFirst(onStack), nullptr);
    EXPECT_EQ(s->QueryFirst(made[2].rec + 200000), nullptr) << "inside a large record's extra bytes";
    for (int v : onStack) EXPECT_EQ(v, 0);
    // A freed record's address names no new object for a long while.
    for (int i = 0; i < 2000; ++i) {
        void *o = s->MallocObjectL(&cid, 0, nullptr);
        ASSERT_NE(o, freed) << "made " << i;
        s->FreeObject(o);
    }
    EXPECT_EQ(s->GetIDEx(freed), nullptr);
    s->Free(fromHeap);
}
