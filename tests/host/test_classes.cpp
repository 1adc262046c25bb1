// Classes from templates: record layout, defaults, attribute indexes, slots,
// atomic attributes.
#include "host_fixture.h"

#include <cstddef>
#include <cstring>

using namespace hosttest;

namespace {

// Mirrors of the records the templates below describe.
struct InputContainerRec {
    VS_INT32 Index;
    VS_INT32 RequestNumber;
    VS_BOOL IsFromInternal;
    VS_BOOL IsOnlyDirect;
    VS_BOOL IsSlave;
    VS_BOOL IsMustExist;
    VS_UUID DataBaseID;
    void *DataObjectInst;
    void *DataLocalBuf;
    VS_UUID QZProcID;
    void *DataQueue;
};

const char *kInputContainerXml = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<object>
  <!-- a copy of the input container template -->
  <QZDataInputContainer ID="19EBD4D6-7F2D-45ad-9564-6F021FA9793A">
    <attribute>
      <Index Type="VS_INT32" SyncFlag="1"/>
      <RequestNumber Type="VS_INT32" Default="1"/>
      <IsFromInternal Type="VS_BOOL" Default="0" SyncFlag="1"/>
      <IsOnlyDirect Type="VS_BOOL" Default="0"/>
      <IsSlave Type="VS_BOOL" Default="0"/>
      <IsMustExist Type="VS_BOOL" Default="1"/>
      <DataBaseID Type="VS_UUID"/>
      <DataObjectInst Type="void *"/>
      <DataLocalBuf Type="void *" Default="1.0" SyncFlag="1"/>
      <QZProcID Type="VS_UUID" SyncFlag="1"/>
      <DataQueue Type="void *" Class="QZObjectPointerWithChangeFlag"/>
    </attribute>
    <function>
      <GetLocalBuf Type = "luafunc" Desc="VS_PARAPKGPTR GetLocalBuf()"/>
      <SetLocalBuf Type="luafunc" Desc="void SetLocalBuf(VS_PARAPKGPTR Buf)"/>
      <GetDataNumber Type="luafunc" Desc="VS_INT32 GetDataNumber()"/>
    </function>
  </QZDataInputContainer>
</object>
)XML";

struct BaseRec {
    VS_BOOL Flag;
    VS_INT64 Big;
    VS_BOOL Flag2;
    VS_VSTRING Text;
    VS_ULONG Count;
    VS_UUID Id;
    VS_BOOL Tail;
};
struct DerivedRec {
    BaseRec base;
    VS_BOOL D1;
    void *Children;
    VS_INT32 D2;
};

const char *kBaseAttrs = R"(<Flag Type="VS_BOOL" Default="true"/>
<Big Type="VS_INT64" Default="-9000000000"/>
<Flag2 Type="VS_BOOL" Default="false"/>
<Text Type="VS_VSTRING" Default="hello &amp; &lt;bye&gt;"/>
<Count Type="VS_ULONG" Default="4294967295"/>
<Id Type="VS_UUID" Default="01234567-89ab-CDEF-0123-456789ABCDEF"/>
<Tail Type="VS_BOOL" Default="7"/>
)";
const char *kDerivedAttrs = R"(<D1 Type="VS_BOOL" Default="1"/>
<Children Type="void *" Class=""/>
<D2 Type="VS_INT32" Default="12x"/>
)";
const char *kBaseID = "A0000000-0000-4000-8000-000000000001";
const char *kDerivedID = "A0000000-0000-4000-8000-000000000002";

} // namespace

class ClassTest : public HostTest {};

TEST_F(ClassTest, InputContainerCopyLaysDataQueueAt64AndMatchesTheCRecord) {
    void *cls = defineClass(kInputContainerXml, "19EBD4D6-7F2D-45ad-9564-6F021FA9793A");
    ASSERT_NE(cls, nullptr);
    struct Expect {
        const char *name;
        size_t offset;
        int size;
        bool queue;
    } table[] = {
        {"Index", offsetof(InputContainerRec, Index), 4, false},
        {"RequestNumber", offsetof(InputContainerRec, RequestNumber), 4, false},
        {"IsFromInternal", offsetof(InputContainerRec, IsFromInternal), 1, false},
        {"IsOnlyDirect", offsetof(InputContainerRec, IsOnlyDirect), 1, false},
        {"IsSlave", offsetof(InputContainerRec, IsSlave), 1, false},
        {"IsMustExist", offsetof(InputContainerRec, IsMustExist), 1, false},
        {"DataBaseID", offsetof(InputContainerRec, DataBaseID), 16, false},
        {"DataObjectInst", offsetof(InputContainerRec, DataObjectInst), 8, false},
        {"DataLocalBuf", offsetof(InputContainerRec, DataLocalBuf), 8, false},
        {"QZProcID", offsetof(InputContainerRec, QZProcID), 16, false},
        {"DataQueue", offsetof(InputContainerRec, DataQueue), 8, true},
    };
    int i = 0;
    for (const Expect &e : table) {
        VS_ATTRIBUTEINFO info{};
        ASSERT_TRUE(s->GetAttributeInfoEx(cls, e.name, &info)) << e.name;
        EXPECT_EQ(size_t(info.Offset), e.offset) << e.name;
        EXPECT_EQ(info.Size, e.size) << e.name;
        EXPECT_EQ(bool(info.IsQueue), e.queue) << e.name;
        EXPECT_EQ(info.AttributeIndex, i) << e.name;
        EXPECT_EQ(s->GetAttributeIndex(cls, e.name), i) << e.name;
        ++i;
    }
    VS_ATTRIBUTEINFO info{};
    ASSERT_TRUE(s->GetAttributeInfoEx(cls, "DataQueue", &info));
    EXPECT_EQ(info.Offset, 64);
    EXPECT_FALSE(s->GetAttributeInfoEx(cls, "NoSuch", &info));
    EXPECT_EQ(s->GetAttributeIndex(cls, "NoSuch"), VS_INVALID_ATTRIBUTEINDEX);

    // Defaults from the template; "void *" stays NULL whatever its Default says.
    auto *r = static_cast<InputContainerRec *>(newObject(cls));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Index, 0);
    EXPECT_EQ(r->RequestNumber, 1);
    EXPECT_EQ(r->IsMustExist, 1);
    EXPECT_EQ(r->IsFromInternal, 0);
    EXPECT_EQ(r->DataLocalBuf, nullptr);
    EXPECT_EQ(r->DataQueue, nullptr);

    // Declared luafunc slots exist before anyone asks for them.
    tvh::HostObject *c = desc(cls);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->slots.size(), 3u);
    ASSERT_TRUE(c->slots.count("GetLocalBuf"));
    EXPECT_EQ(c->slots["SetLocalBuf"]->desc, "void SetLocalBuf(VS_PARAPKGPTR Buf)");
}

TEST_F(ClassTest, DerivedRecordEmbedsParentAndDefaultsParseByType) {
    void *base = defineClass(classXml("TBase", kBaseID, kBaseAttrs), nullptr);
    ASSERT_NE(base, nullptr);
    void *der = defineClass(classXml("TDerived", kDerivedID, kDerivedAttrs, "TBase"), kDerivedID);
    ASSERT_NE(der, nullptr);

    struct Expect {
        const char *name;
        size_t offset;
    } table[] = {
        {"Flag", offsetof(DerivedRec, base.Flag)},   {"Big", offsetof(DerivedRec, base.Big)},
        {"Flag2", offsetof(DerivedRec, base.Flag2)}, {"Text", offsetof(DerivedRec, base.Text)},
        {"Count", offsetof(DerivedRec, base.Count)}, {"Id", offsetof(DerivedRec, base.Id)},
        {"Tail", offsetof(DerivedRec, base.Tail)},   {"D1", offsetof(DerivedRec, D1)},
        {"Children", offsetof(DerivedRec, Children)}, {"D2", offsetof(DerivedRec, D2)},
    };
    int i = 0;
    for (const Expect &e : table) {
        VS_ATTRIBUTEINFO info{};
        ASSERT_TRUE(s->GetAttributeInfoEx(der, e.name, &info)) << e.name;
        EXPECT_EQ(size_t(info.Offset), e.offset) << e.name;
        // The same attribute has the same index in every derived class.
        EXPECT_EQ(info.AttributeIndex, i) << e.name;
        if (i < 7) {
            EXPECT_EQ(s->GetAttributeIndex(base, e.name), i);
        }
        ++i;
    }
    EXPECT_EQ(tvh::layoutOf(desc(der))->recordSize, sizeof(DerivedRec));
    EXPECT_EQ(tvh::layoutOf(desc(base))->recordSize, sizeof(BaseRec));
    VS_ATTRIBUTEINFO qi{};
    ASSERT_TRUE(s->GetAttributeInfoEx(der, "Children", &qi));
    EXPECT_TRUE(qi.IsQueue); // Class="" still marks a queue

    // The ID came from the template when none was passed.
    VS_UUID bid = uuid(kBaseID);
    EXPECT_EQ(s->GetObject(&bid), base);

    auto *r = static_cast<DerivedRec *>(newObject(der));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->base.Flag, 1);
    EXPECT_EQ(r->base.Big, -9000000000LL);
    EXPECT_EQ(r->base.Flag2, 0);
    ASSERT_NE(r->base.Text.Buf, nullptr);
    EXPECT_STREQ(r->base.Text.Buf, "hello & <bye>");
    EXPECT_EQ(r->base.Count, 4294967295u);
    EXPECT_STREQ(s->UuidToString(&r->base.Id), "01234567-89AB-CDEF-0123-456789ABCDEF");
    EXPECT_EQ(r->base.Tail, 1);
    EXPECT_EQ(r->D1, 1);
    EXPECT_EQ(r->D2, 0); // unparsable -> 0
    // Each record owns its own copy of a text default.
    auto *r2 = static_cast<DerivedRec *>(newObject(der));
    EXPECT_NE(r2->base.Text.Buf, r->base.Text.Buf);
    s->SetVString(&r->base.Text, "changed");
    EXPECT_STREQ(r2->base.Text.Buf, "hello & <bye>");
    // The class object's record carries the defaults as well.
    EXPECT_EQ(static_cast<DerivedRec *>(der)->base.Big, -9000000000LL);
}

TEST_F(ClassTest, ClassObjectsHaveNameParentRootAndGlobalLookup) {
    void *base = defineClass(classXml("TBase", kBaseID, kBaseAttrs), kBaseID);
    void *der = defineClass(classXml("TDerived", kDerivedID, kDerivedAttrs, "TBase"), kDerivedID);
    ASSERT_NE(der, nullptr);
    EXPECT_STREQ(s->GetName(der), "TDerived");
    EXPECT_EQ(s->GetObjectEx(nullptr, "TDerived"), der);
    EXPECT_EQ(s->GetClass(der), base); // the parent class
    EXPECT_EQ(s->GetClass(base), nullptr);
    EXPECT_EQ(s->GetParent(der), root());
    EXPECT_EQ(s->GetIndex(der), VS_INVALID_ATTRIBUTEINDEX);
    EXPECT_TRUE(s->IsInst(s->GetIDEx(base), der)); // registered subclasses are instances
    EXPECT_FALSE(s->IsInst(s->GetIDEx(der), base));
    // The host's own base class.
    void *obj = s->GetObjectEx(nullptr, "_Object");
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(s->GetObject(const_cast<VS_UUID *>(&tvh::kObjectClassID)), obj);
    void *plain = newObject(obj);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(s->GetClass(plain), obj);
}

TEST_F(ClassTest, FunctionSlotsAreMadeOnDemandAndValidated) {
    void *cls = defineClass(kInputContainerXml, nullptr);
    void *atomic = s->GetAtomicObjectEx(nullptr, "QZDataInputContainer");
    ASSERT_NE(atomic, nullptr);
    EXPECT_EQ(s->AtomicToObject(atomic), cls);
    void *f = s->GetAtomicFunctionByName(atomic, "GetLocalBuf");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(s->GetAtomicFunctionByName(atomic, "GetLocalBuf"), f);
    // Undeclared names get a slot too.
    void *undeclared = s->GetAtomicFunctionByName(atomic, "IsFromEnv");
    ASSERT_NE(undeclared, nullptr);
    auto fn = [](void *) -> VS_INT32 { return 0; };
    EXPECT_TRUE(s->SetAtomicFunction(undeclared, fn));
    EXPECT_EQ(desc(cls)->slots["IsFromEnv"]->fn, static_cast<VS_LUAFUNCPTR>(fn));
    EXPECT_EQ(s->CreateAtomicLuaFunction(atomic, "IsFromEnv", nullptr, ""), undeclared);
    // Not a slot: refused, nothing written.
    int junk = 0;
    EXPECT_FALSE(s->SetAtomicFunction(&junk, fn));
    EXPECT_FALSE(s->SetAtomicFunction(nullptr, fn));
    EXPECT_EQ(junk, 0);
    // Slots of a freed object are no longer slots.
    void *obj = newObject(cls);
    void *slot = s->CreateAtomicLuaFunction(s->ObjectToAtomic(obj), "Mine", nullptr, "");
    ASSERT_NE(slot, nullptr);
    s->FreeObject(obj);
    EXPECT_FALSE(s->SetAtomicFunction(slot, fn));
}

TEST_F(ClassTest, AtomicUuidAttributeLandsAfterTheLayoutAndIsInherited) {
    // A class whose record is 176 bytes, like the data base class.
    std::string attrs;
    for (int i = 0; i < 22; ++i) attrs += "<P" + std::to_string(i) + " Type=\"void *\"/>\n";
    void *cls = defineClass(classXml("T176", "A0000000-0000-4000-8000-000000000176", attrs), nullptr);
    ASSERT_NE(cls, nullptr);
    ASSERT_EQ(tvh::layoutOf(desc(cls))->recordSize, 176u);
    void *type = newObject(cls);
    void *inst0 = newObject(type); // made before the attribute exists
    newObject(inst0);              // the chain above inst0 is looked at before the attribute exists
    EXPECT_EQ(s->CreateAtomicAttribute(s->ObjectToAtomic(type), "DataBaseID", 7), nullptr); // other codes
    void *field = s->CreateAtomicAttribute(s->ObjectToAtomic(type), "DataBaseID", VS_ATTRIBUTETYPE_UUID, 0, "");
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field, static_cast<char *>(type) + 176);
    EXPECT_EQ(s->CreateAtomicAttribute(s->ObjectToAtomic(type), "DataBaseID", VS_ATTRIBUTETYPE_UUID), nullptr);
    VS_ATTRIBUTEINFO info{};
    ASSERT_TRUE(s->GetAttributeInfoEx(type, "DataBaseID", &info));
    EXPECT_EQ(info.Offset, 176);
    EXPECT_EQ(info.AttributeIndex, 22);
    EXPECT_FALSE(s->GetAttributeInfoEx(cls, "DataBaseID", &info)); // not on the class

    void *inst = newObject(type);
    ASSERT_TRUE(s->GetAttributeInfoEx(inst, "DataBaseID", &info));
    EXPECT_EQ(info.Offset, 176);
    VS_UUID *onInst = reinterpret_cast<VS_UUID *>(static_cast<char *>(inst) + 176);
    *onInst = uuid("11111111-2222-4333-8444-555555555555"); // room in the record (sanitizer-checked)
    void *deeper = newObject(inst);
    EXPECT_TRUE(s->GetAttributeInfoEx(deeper, "DataBaseID", &info));
    // Older instances have the zeroed spare bytes.
    EXPECT_TRUE(s->GetAttributeInfoEx(inst0, "DataBaseID", &info));
    VS_UUID zero{};
    EXPECT_EQ(std::memcmp(static_cast<char *>(inst0) + 176, &zero, 16), 0);
    // What is made from them afterwards lays the attribute out.
    EXPECT_EQ(desc(newObject(inst0))->layoutEnd, 192u);
}
