// Value lists and data records in the forms that scripts cannot ask for by
// themselves: the tag form (saved without object IDs and not for a tag), the
// writer appending behind what the list already holds, and the ObjectID
// fix-up that relinks rebuilt procs and input containers.
#include "module_test_util.h"
#include "trelk_data_api.h"

#include <string>

namespace {

class SavedFormsInternal : public trelktest::LoadedModule {
  protected:
    SavedFormsInternal() : LoadedModule("saved_forms_internal") {}

    // The tag text of a data object, as the tag code hands it over.
    std::string Tag(void *Data) {
        QZDataBase_GetTag_Internal((StructOfQZDataBase *)Data);
        const VS_CHAR *Text = XRQ->LuaToString(-1);
        std::string Result = Text != nullptr ? Text : "";
        XRQ->LuaPop(1);
        return Result;
    }
    static const VS_CHAR *Str(VS_PARAPKGPTR Pkg, const VS_CHAR *Key) {
        VS_INT32 i = Pkg->FindDict(Key);
        return i >= 0 && i < Pkg->GetNumber() ? Pkg->GetStr(i) : nullptr;
    }
    static bool Has(VS_PARAPKGPTR Pkg, const VS_CHAR *Key) {
        VS_INT32 i = Pkg->FindDict(Key);
        return i >= 0 && i < Pkg->GetNumber();
    }
    static std::string UuidText(ClassOfXRQInterface *X, void *Object) {
        const VS_CHAR *Text = X->UuidToString(X->GetIDEx(Object));
        return Text != nullptr ? Text : "";
    }
};

// Saved without object IDs and not for a tag, a data record holds the data's
// tag as its value and no type name; a failed write leaves the target alone.
TEST_F(SavedFormsInternal, TagFormRecord) {
    Run(R"(
        local P = QZDataBase:CreateType("tf.P") _LockGC(P)
        local d = P(1, "a") _SetName(d, "tf.d") _LockGC(d)
        d:SetSignature("")
    )");
    void *D = Named("tf.d");
    std::string Expected = Tag(D);
    ASSERT_EQ(Expected.size(), 40u);

    VS_PARAPKGPTR Rec = Trelk_GetParaPkgInterface(__LINE__);
    Rec->InsertInt(0, 99);
    ASSERT_TRUE(QZDataBase_SaveTo_Inernal((StructOfQZDataBase *)D, Rec, VS_FALSE, VS_FALSE));
    ASSERT_EQ(Rec->GetNumber(), 4) << "PackageInfo and Value only, the old content cleared";
    EXPECT_STREQ(Rec->GetStr(0), "PackageInfo");
    EXPECT_EQ(Rec->GetType(1), VSTYPE_PARAPKG);
    EXPECT_STREQ(Rec->GetStr(2), "Value");
    ASSERT_EQ(Rec->GetType(3), VSTYPE_STRING);
    EXPECT_EQ(std::string(Rec->GetStr(3)), Expected);
    EXPECT_FALSE(Has(Rec, "ClassName"));
    EXPECT_FALSE(Has(Rec, "Signature"));
    EXPECT_TRUE(Rec->IsDict());

    // A data type cannot be saved in any form; the target keeps what it had.
    VS_PARAPKGPTR Kept = Trelk_GetParaPkgInterface(__LINE__);
    Kept->InsertInt(0, 7);
    tvh::errors(true);
    EXPECT_FALSE(QZDataBase_SaveTo_Inernal((StructOfQZDataBase *)Named("tf.P"), Kept, VS_FALSE, VS_FALSE));
    auto Reports = tvh::errors(true);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].level, 1);
    EXPECT_EQ(Reports[0].text, "[" + UuidText(XRQ, Named("tf.P")) + ":tf.P] is data object type, can not save");
    ASSERT_EQ(Kept->GetNumber(), 1);
    EXPECT_EQ(Kept->GetInt(0), 7);
    Kept->Release();
    Rec->Release();
}

// The value list of a data item follows the flags: without object IDs and not
// for a tag the item's Value is the tag text; for a tag it is the value pair.
// The writer appends behind what the list holds; the reader clears first.
TEST_F(SavedFormsInternal, ValueListFlagsAndAppend) {
    Run(R"(
        local P = QZDataBase:CreateType("vf.P") _LockGC(P)
        local d = P(5) _SetName(d, "vf.d") _LockGC(d)
    )");
    void *D = Named("vf.d");
    std::string Expected = Tag(D);

    VS_PARAPKGPTR Buf = Trelk_GetParaPkgInterface(__LINE__);
    Buf->InsertObject(0, D);
    Buf->InsertInt(1, 3);
    struct Case {
        VS_BOOL SaveProcObjectID, CallFromGetTag;
        bool ValueIsTag;
    } Cases[] = {{VS_FALSE, VS_FALSE, true}, {VS_FALSE, VS_TRUE, false}, {VS_TRUE, VS_FALSE, false}};
    for (const Case &C : Cases) {
        SCOPED_TRACE(testing::Message() << "flags " << (int)C.SaveProcObjectID << (int)C.CallFromGetTag);
        VS_PARAPKGPTR Info = Trelk_GetParaPkgInterface(__LINE__);
        VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
        List->InsertStr(0, "already there");
        ASSERT_TRUE(QZProcChain_Save_ParaPkg(D, Buf, Info, List, C.SaveProcObjectID, C.CallFromGetTag));
        ASSERT_EQ(List->GetNumber(), 3) << "one item dict per item, behind the old content";
        EXPECT_STREQ(List->GetStr(0), "already there");
        VS_PARAPKGPTR Item = List->GetParaPackage(1);
        ASSERT_NE(Item, nullptr);
        EXPECT_STREQ(Str(Item, "BaseClass"), "QZDataBase");
        EXPECT_STREQ(Str(Item, "ClassName"), "vf.P");
        VS_INT32 v = Item->FindDict("Value");
        ASSERT_TRUE(v >= 0 && v < Item->GetNumber());
        if (C.ValueIsTag) {
            ASSERT_EQ(Item->GetType(v), VSTYPE_STRING);
            EXPECT_EQ(std::string(Item->GetStr(v)), Expected);
        } else {
            ASSERT_EQ(Item->GetType(v), VSTYPE_PARAPKG);
            EXPECT_EQ(Item->GetParaPackage(v)->GetNumber(), 2);
        }

        // Reading drops what the target held. A tag cannot be rebuilt into a
        // data object: that list is refused.
        VS_PARAPKGPTR Items = Trelk_GetParaPkgInterface(__LINE__);
        VS_PARAPKGPTR Back = Trelk_GetParaPkgInterface(__LINE__);
        Items->AppendFrom(List);
        Items->Del(0);
        Back->InsertStr(0, "junk");
        Back->InsertStr(1, "junk");
        Back->InsertStr(2, "junk");
        VS_BOOL Read = QZProcChain_Load_ParaPkg(D, Back, Items, VS_FALSE);
        EXPECT_EQ(Read, C.ValueIsTag ? VS_FALSE : VS_TRUE);
        if (Read) {
            ASSERT_EQ(Back->GetNumber(), 2);
            EXPECT_EQ(Back->GetType(0), VSTYPE_OBJECT);
            EXPECT_EQ(Back->GetInt(1), 3);
        }
        Back->Release();
        Items->Release();
        List->Release();
        Info->Release();
    }
    Buf->Release();
    tvh::collectGarbage();
}

// Rebuilt procs and input containers are relinked to the first rebuilt object
// saved under the same ID text, without regard to case; entries that are no
// package, lack a key, or name a gone object are passed over.
TEST_F(SavedFormsInternal, ObjectIDFixUp) {
    auto *First = (StructOfQZProcBase *)NewObject(QZProcBaseClass);
    auto *Second = (StructOfQZProcBase *)NewObject(QZProcBaseClass);
    auto *Target = (StructOfQZProcBase *)NewObject(QZProcBaseClass);
    auto *Other = (StructOfQZProcBase *)NewObject(QZProcBaseClass);
    auto *Input = (StructOfQZDataInputContainer *)NewObject(QZDataInputContainerClass);
    void *Gone = NewObject(QZProcBaseClass);
    void *Stranger = NewObject(QZRuleBaseClass);
    ASSERT_TRUE(First && Second && Target && Other && Input && Gone && Stranger);
    XRQ->FreeObject(Gone);

    auto Entry = [&](const VS_CHAR *ID, void *Object) {
        VS_PARAPKGPTR E = Trelk_GetParaPkgInterface(__LINE__);
        E->InsertStr(0, "ObjectID");
        if (ID != nullptr)
            E->InsertStr(1, ID);
        else
            E->InsertInt(1, 1);
        E->InsertStr(2, "Object");
        E->InsertObject(3, Object);
        E->AsDict(VS_TRUE);
        return E;
    };
    auto Append = [](VS_PARAPKGPTR List, VS_PARAPKGPTR E) {
        List->InsertParaPackage(List->GetNumber(), E);
        E->Release();
    };
    VS_PARAPKGPTR Saved = Trelk_GetParaPkgInterface(__LINE__);
    Saved->InsertInt(0, 5);                              // no package
    Append(Saved, Entry("aaaa-1", Gone));                // object gone
    Append(Saved, Entry("AAAA-1", Target));              // first match
    Append(Saved, Entry("aaaa-1", Other));               // later match, never used
    Append(Saved, Entry("bbbb-2", Other));
    VS_PARAPKGPTR Next = Trelk_GetParaPkgInterface(__LINE__);
    Append(Next, Entry("aaaa-1", First));
    Append(Next, Entry("Aaaa-1", Input));
    Append(Next, Entry("cccc-3", Second)); // no match: stays as it was
    Append(Next, Entry(nullptr, Second));  // ID that is no text
    Append(Next, Entry("BBBB-2", Stranger)); // neither proc nor input container
    Next->InsertStr(Next->GetNumber(), "not a package");

    Second->QZProcNext = nullptr;
    QZProcChain_Load_ParaPkg_FixObjectID(Saved, Next);
    EXPECT_EQ(First->QZProcNext, XRQ->ObjectToAtomic(Target));
    VS_UUID TargetID = XRQ->GetID(Target);
    EXPECT_EQ(memcmp(&Input->QZProcID, &TargetID, sizeof(VS_UUID)), 0);
    EXPECT_EQ(Second->QZProcNext, nullptr);

    // Missing lists are left alone.
    QZProcChain_Load_ParaPkg_FixObjectID(nullptr, Next);
    QZProcChain_Load_ParaPkg_FixObjectID(Saved, nullptr);
    Saved->Release();
    Next->Release();
    for (void *O : {(void *)First, (void *)Second, (void *)Target, (void *)Other, (void *)Input, Stranger})
        XRQ->FreeObject(O);
    EXPECT_TRUE(tvh::errors(true).empty());
}

} // namespace
