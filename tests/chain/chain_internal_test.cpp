// Saved procs and chains in the forms scripts cannot ask for: records written
// without object IDs (the tag form) and read back, the strict check, output
// records, package versions, the sort order of equal child chains, and a
// runner that marks its procs before it frees them.
#include "module_test_util.h"
#include "trelk_data_api.h"
#include "trelk_realm_internal.h"
#include "trelk_proc_internal.h"

#include <string>

namespace {

class ChainInternal : public trelktest::LoadedModule {
  protected:
    ChainInternal() : LoadedModule("chain_internal") {}

    static const VS_CHAR *Str(VS_PARAPKGPTR Pkg, const VS_CHAR *Key) {
        return QZProcBase_OnSaveProc_GetPackageValueFromKey(Pkg, Key);
    }
    static VS_PARAPKGPTR List(VS_PARAPKGPTR Pkg, const VS_CHAR *Key) {
        return QZProcBase_OnSaveProc_GetParaValueFromKey(Pkg, Key);
    }
    std::string Json(VS_PARAPKGPTR Pkg) {
        VS_CHAR *Text = Pkg->ToJSon();
        std::string Result = Text != nullptr ? Text : "";
        if (Text != nullptr)
            Pkg->FreeBuf(Text);
        return Result;
    }
    // The chain record, written with or without object IDs.
    VS_PARAPKGPTR Save(void *Chain, VS_BOOL WithIDs) {
        VS_PARAPKGPTR Info = Trelk_GetParaPkgInterface(__LINE__);
        VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
        EXPECT_TRUE(QZProcBase_OnSaveProc_SaveProcChain((StructOfQZProcChainBase *)Chain, Info, Record, WithIDs));
        Info->Release();
        return Record;
    }
    // Checked, loaded and fixed up as the value list does it.
    void *Load(VS_PARAPKGPTR Record, VS_BOOL Strict) {
        if (!QZRealmBase_CheckValid_QZProcChain(Record, (VS_CHAR *)"QZProcChain", Strict))
            return nullptr;
        VS_PARAPKGPTR Ids = Trelk_GetParaPkgInterface(__LINE__);
        VS_PARAPKGPTR Next = Trelk_GetParaPkgInterface(__LINE__);
        void *Chain = QZRealmBase_Load_QZProcChain(Record, (VS_CHAR *)"QZProcChain", Ids, Next);
        QZProcChain_Load_ParaPkg_FixObjectID(Ids, Next);
        Ids->Release();
        Next->Release();
        return Chain;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> Out;
        for (const tvh::ErrorReport &R : tvh::errors())
            Out.push_back(R.text);
        return Out;
    }
};

// A chain with a rejoining child chain, saved without object IDs, comes back
// with the rejoin link, and is written again to the very same record.
TEST_F(ChainInternal, RoundTripWithoutObjectIDsKeepsTheRejoin) {
    Run(R"(
        local function ptype(n) local t = _New(QZProcBase) _SetName(t, n) _LockGC(t) return t end
        local A, B, C, D = ptype("ci_A"), ptype("ci_B"), ptype("ci_C"), ptype("ci_D")
        local a, b, c = _New(A), _New(B), _New(C)
        local ch = _New(QZProcChainBase) ch:FromPara(a, b, c) _SetName(ch, "ci_chain") _LockGC(ch)
        ch:AddChildProcChain(a, _New(D), c)
        ch:AddChildProcChain(b, _New(D), nil)
    )");
    void *Chain = Named("ci_chain");
    tvh::errors();
    VS_PARAPKGPTR First = Save(Chain, VS_FALSE);
    std::string Text = Json(First);
    EXPECT_EQ(Text.find("ObjectID"), std::string::npos) << "no object IDs in the tag form";
    VS_PARAPKGPTR Procs = List(First, "QZProcBase");
    ASSERT_NE(Procs, nullptr);
    VS_PARAPKGPTR ChildEnd = List(List(Procs->GetParaPackage(0), "QZProcChild")->GetParaPackage(0), "QZProcBase")
                                 ->GetParaPackage(0);
    EXPECT_STREQ(Str(ChildEnd, "QZProcNext"), "00000000-0000-0000-0000-000000000002")
        << "the rejoin proc by its position in the enclosing chain";

    void *Loaded = Load(First, VS_TRUE);
    ASSERT_NE(Loaded, nullptr);
    StructOfQZProcBase *L0 = TrelkChain_StartProc(&((StructOfQZProcChainBase *)Loaded)->QZProcStart);
    StructOfQZProcBase *L2 = TrelkChain_NextProc(TrelkChain_NextProc(L0));
    ASSERT_NE(L2, nullptr);
    StructOfQZProcChainBase *Kid = (StructOfQZProcChainBase *)XRQ->QueryFirst(&L0->QZProcChild);
    ASSERT_NE(Kid, nullptr);
    StructOfQZProcBase *KidEnd = TrelkChain_StartProc(&Kid->QZProcStart);
    ASSERT_NE(KidEnd, nullptr);
    EXPECT_TRUE(KidEnd->ChildEndMarker);
    EXPECT_EQ(TrelkChain_NextProc(KidEnd), L2) << "the rejoin link is restored";
    StructOfQZProcChainBase *Kid2 = (StructOfQZProcChainBase *)XRQ->QueryFirst(&TrelkChain_NextProc(L0)->QZProcChild);
    ASSERT_NE(Kid2, nullptr);
    EXPECT_EQ(TrelkChain_NextProc(TrelkChain_StartProc(&Kid2->QZProcStart)), nullptr) << "no rejoin stays none";

    VS_PARAPKGPTR Second = Save(Loaded, VS_FALSE);
    EXPECT_TRUE(First->Equals(Second)) << "the same package";
    EXPECT_EQ(Json(Second), Text) << "the same JSON text";
    EXPECT_TRUE(QZProcChainBase_Equals_Internal((StructOfQZProcChainBase *)Loaded, (StructOfQZProcChainBase *)Chain));
    EXPECT_TRUE(Texts().empty());
    First->Release();
    Second->Release();
    XRQ->UnLockGC(Loaded);
}

// Strict and lenient checks of one saved proc against a class whose input
// flags changed after saving.
TEST_F(ChainInternal, StrictAndLenientChecks) {
    Run(R"(
        local P = QZDataBase:CreateType("ci_P")
        local A = _New(QZProcBase) _SetName(A, "ci_SA") _LockGC(A)
        A:InputFrom(P, 2, P)
    )");
    struct Case {
        const char *What;
        const char *Key;
        bool Value;
        bool LenientOk;
    } Cases[] = {
        {"IsOnlyDirect set", "IsOnlyDirect", true, true},
        {"IsSlave set", "IsSlave", true, true},
        {"IsMustExist cleared", "IsMustExist", false, true},
    };
    for (const Case &C : Cases) {
        VS_PARAPKGPTR Rec = Trelk_GetParaPkgInterface(__LINE__);
        Rec->InsertStr(0, "ClassName");
        Rec->InsertStr(1, "ci_SA");
        VS_PARAPKGPTR Inputs = Trelk_GetParaPkgInterface(__LINE__);
        for (int i = 0; i < 2; i++) {
            VS_PARAPKGPTR In = Trelk_GetParaPkgInterface(__LINE__);
            In->InsertStr(0, "RequestNumber");
            In->InsertInt(1, i == 0 ? 1 : 2);
            In->InsertStr(2, "DataBaseName");
            In->InsertStr(3, "ci_P");
            if (i == 1) {
                In->InsertStr(4, C.Key);
                In->InsertBool(5, C.Value);
            }
            In->AsDict(VS_TRUE);
            Inputs->InsertParaPackage(i, In);
            In->Release();
        }
        Rec->InsertStr(2, "InputQueue");
        Rec->InsertParaPackage(3, Inputs);
        Inputs->Release();
        Rec->InsertStr(4, "Type");
        Rec->InsertStr(5, "QZProc");
        Rec->AsDict(VS_TRUE);
        tvh::errors();
        EXPECT_EQ(QZRealmBase_CheckValid_QZProc(Rec, (VS_CHAR *)"QZProc", VS_FALSE) != 0, C.LenientOk) << C.What;
        EXPECT_TRUE(Texts().empty()) << C.What;
        EXPECT_FALSE(QZRealmBase_CheckValid_QZProc(Rec, (VS_CHAR *)"QZProc", VS_TRUE)) << C.What;
        std::vector<std::string> Got = Texts();
        ASSERT_EQ(Got.size(), 1u) << C.What;
        EXPECT_EQ(Got[0], "Load object failed, InputQueue is not same with it's class [ci_SA]") << C.What;

        // The loaded proc keeps the saved flag and the saved order.
        StructOfQZProcBase *Proc =
            (StructOfQZProcBase *)QZRealmBase_Load_QZProc(Rec, (VS_CHAR *)"QZProc", nullptr, nullptr);
        ASSERT_NE(Proc, nullptr);
        StructOfQZDataInputContainer *In0 = (StructOfQZDataInputContainer *)XRQ->QueryFirst(&Proc->InputQueue);
        ASSERT_NE(In0, nullptr);
        StructOfQZDataInputContainer *In1 = (StructOfQZDataInputContainer *)XRQ->QueryNext(In0);
        ASSERT_NE(In1, nullptr);
        EXPECT_EQ(In0->Index, 0);
        EXPECT_EQ(In1->Index, 1);
        EXPECT_EQ(In1->RequestNumber, 2);
        EXPECT_EQ(In0->IsMustExist, 1) << "an absent IsMustExist reads as true";
        if (std::string(C.Key) == "IsMustExist") {
            EXPECT_EQ(In1->IsMustExist, 0);
        }
        XRQ->UnLockGC(Proc);
        Rec->Release();
    }
}

// Output records leave out defaults and read back with them; a missing data
// type refuses the save; a proc type cannot be saved.
TEST_F(ChainInternal, OutputRecordsAndRefusedSaves) {
    Run(R"(
        local P = QZDataBase:CreateType("ci_OP")
        local Q = QZDataBase:CreateType("ci_OQ")
        local O = _New(QZProcBase) _SetName(O, "ci_O") _LockGC(O)
        local o = _New(O) _SetName(o, "ci_o") _LockGC(o)
    )");
    StructOfQZProcBase *Type = (StructOfQZProcBase *)Named("ci_O");
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)Named("ci_o");
    void *P = Named("ci_OP");
    void *Q = Named("ci_OQ");
    auto AddOutput = [&](StructOfQZProcBase *To, void *Data, void *Original, VS_BOOL MustExist, VS_INT32 Return) {
        StructOfQZDataOutputContainer *Out =
            (StructOfQZDataOutputContainer *)NewObject(QZDataOutputContainerClass);
        Out->DataBaseID = XRQ->GetID(Data);
        if (Original != nullptr)
            Out->OriginalDataBaseID = XRQ->GetID(Original);
        Out->IsMustExist = MustExist;
        Out->ReturnNumber = Return;
        XRQ->ChangeParent(Out, To, XRQ->GetAttributeIndex(QZProcBaseClass, "OutputQueue"));
    };
    AddOutput(Type, P, nullptr, VS_FALSE, 1);
    AddOutput(Type, Q, P, VS_TRUE, 3);
    AddOutput(Proc, P, nullptr, VS_FALSE, 1);
    AddOutput(Proc, Q, P, VS_TRUE, 3);

    VS_PARAPKGPTR Info = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Rec = Trelk_GetParaPkgInterface(__LINE__);
    ASSERT_TRUE(QZProcBase_OnSaveProc_SaveProc(Proc, Info, Rec, VS_TRUE, VS_FALSE));
    VS_PARAPKGPTR Outs = List(Rec, "OutputQueue");
    ASSERT_NE(Outs, nullptr);
    ASSERT_EQ(Outs->GetNumber(), 2);
    EXPECT_EQ(Json(Outs->GetParaPackage(0)), "{\"DataBaseName\":\"ci_OP\"}");
    EXPECT_EQ(Json(Outs->GetParaPackage(1)),
              "{\"DataBaseName\":\"ci_OQ\",\"OriginalDataBaseName\":\"ci_OP\",\"IsMustExist\":true,\"ReturnNumber\":3}");
    EXPECT_STREQ(Str(Rec, "Type"), "QZProc");
    tvh::errors();
    ASSERT_TRUE(QZRealmBase_CheckValid_QZProc(Rec, (VS_CHAR *)"QZProc", VS_TRUE));
    StructOfQZProcBase *Back = (StructOfQZProcBase *)QZRealmBase_Load_QZProc(Rec, (VS_CHAR *)"QZProc", nullptr, nullptr);
    ASSERT_NE(Back, nullptr);
    StructOfQZDataOutputContainer *O0 = (StructOfQZDataOutputContainer *)XRQ->QueryFirst(&Back->OutputQueue);
    ASSERT_NE(O0, nullptr);
    StructOfQZDataOutputContainer *O1 = (StructOfQZDataOutputContainer *)XRQ->QueryNext(O0);
    ASSERT_NE(O1, nullptr);
    EXPECT_EQ(XRQ->GetObject(&O0->DataBaseID), P);
    EXPECT_TRUE(Trelk_IsZeroID(&O0->OriginalDataBaseID));
    EXPECT_EQ(O0->IsMustExist, 0);
    EXPECT_EQ(O0->ReturnNumber, 1);
    EXPECT_EQ(XRQ->GetObject(&O1->OriginalDataBaseID), P);
    EXPECT_EQ(O1->IsMustExist, 1);
    EXPECT_EQ(O1->ReturnNumber, 3);
    XRQ->UnLockGC(Back);

    // A proc type is refused, leaving an empty record.
    Rec->InsertInt(0, 1);
    EXPECT_FALSE(QZProcBase_OnSaveProc_SaveProc(Type, Info, Rec, VS_TRUE, VS_FALSE));
    EXPECT_EQ(Rec->GetNumber(), 0);
    std::vector<std::string> Got = Texts();
    ASSERT_EQ(Got.size(), 1u);
    EXPECT_EQ(Got[0], "can not save QZProc [ci_O], which IsType is true");

    // An output whose original data type is gone. The package of its data
    // type, met before the failure, stays in the package list.
    StructOfQZDataOutputContainer *Last = (StructOfQZDataOutputContainer *)XRQ->QueryNext(
        XRQ->QueryFirst(&Proc->OutputQueue));
    VS_UUID Gone = Last->OriginalDataBaseID;
    Gone.Data1 ^= 0x5A5A5A5A;
    Last->OriginalDataBaseID = Gone;
    VS_PARAPKGPTR Names = Trelk_GetParaPkgInterface(__LINE__);
    Names->InsertStr(0, "ci_OQ");
    VS_PARAPKGPTR PkgRec = Trelk_GetParaPkgInterface(__LINE__);
    PkgRec->InsertStr(0, "PackageName");
    PkgRec->InsertStr(1, "ci_opkg");
    PkgRec->InsertStr(2, "PackageVersion");
    PkgRec->InsertStr(3, "2");
    PkgRec->InsertStr(4, "PackageUrl");
    PkgRec->InsertStr(5, "url-o");
    PkgRec->InsertStr(6, "ObjectList");
    PkgRec->InsertParaPackage(7, Names);
    PkgRec->AsDict(VS_TRUE);
    QZObject_SystemPackageInfo->InsertParaPackage(QZObject_SystemPackageInfo->GetNumber(), PkgRec);
    Names->Release();
    PkgRec->Release();
    Info->Clear();
    EXPECT_FALSE(QZProcBase_OnSaveProc_SaveProc(Proc, Info, Rec, VS_TRUE, VS_FALSE));
    EXPECT_EQ(Rec->GetNumber(), 0);
    ASSERT_EQ(Info->GetNumber(), 1) << "the data type met before the failure is recorded";
    EXPECT_STREQ(Str(Info->GetParaPackage(0), "PackageName"), "ci_opkg");
    Got = Texts();
    ASSERT_EQ(Got.size(), 1u);
    EXPECT_EQ(Got[0], std::string("can not save OutputQueue [") + XRQ->UuidToString(&Gone) +
                          "], data object may be freed some where");
    Rec->Release();
    Info->Release();
}

// Package versions are compared part by part: 1.10 is newer than 1.9.
TEST_F(ChainInternal, PackageVersionsCompareByNumber) {
    Run(R"(
        local V1 = _New(QZProcBase) _SetName(V1, "ci_V1") _LockGC(V1)
        local V2 = _New(QZProcBase) _SetName(V2, "ci_V2") _LockGC(V2)
    )");
    auto Package = [&](const char *Version, const char *Url, const char *ClassName) {
        VS_PARAPKGPTR Names = Trelk_GetParaPkgInterface(__LINE__);
        Names->InsertStr(0, ClassName);
        VS_PARAPKGPTR Rec = Trelk_GetParaPkgInterface(__LINE__);
        Rec->InsertStr(0, "PackageName");
        Rec->InsertStr(1, "ci_pkg");
        Rec->InsertStr(2, "PackageVersion");
        Rec->InsertStr(3, Version);
        Rec->InsertStr(4, "PackageUrl");
        Rec->InsertStr(5, Url);
        Rec->InsertStr(6, "ObjectList");
        Rec->InsertParaPackage(7, Names);
        Rec->AsDict(VS_TRUE);
        QZObject_SystemPackageInfo->InsertParaPackage(QZObject_SystemPackageInfo->GetNumber(), Rec);
        Names->Release();
        Rec->Release();
    };
    Package("1.9", "url-9", "ci_V1");
    Package("1.10", "url-10", "ci_V2");
    for (int Order = 0; Order < 2; Order++) {
        VS_PARAPKGPTR Info = Trelk_GetParaPkgInterface(__LINE__);
        const char *First = Order == 0 ? "ci_V1" : "ci_V2";
        const char *Second = Order == 0 ? "ci_V2" : "ci_V1";
        QZProcBase_OnSaveProc_SaveParaPkgInfo(Named(First), Info, VS_TRUE);
        QZProcBase_OnSaveProc_SaveParaPkgInfo(Named(Second), Info, VS_TRUE);
        ASSERT_EQ(Info->GetNumber(), 1) << "one entry per package";
        EXPECT_STREQ(Str(Info->GetParaPackage(0), "PackageVersion"), "1.10");
        EXPECT_STREQ(Str(Info->GetParaPackage(0), "PackageUrl"), "url-10");
        Info->Release();
    }
    EXPECT_STREQ(QZProcBase_OnSaveProc_GetFullClassName(Named("ci_V2")), "ci_pkg[1.10].ci_V2");
}

// Freeing a runner marks its waiting procs cancelled before it frees them
// (the proc's cancel notice sees Status -1); a proc with Status 0 keeps it
// and gets no notice; a proc the runner does not own is left alone.
TEST_F(ChainInternal, RunnerMarksItsProcsBeforeFreeingThem) {
    Run(R"(
        notices = {}
        local W = _New(QZProcBase) _SetName(W, "ci_W") _LockGC(W)
        function W:Execute(realm, cell, runner) notices[#notices + 1] = self.Status end
        local stranger = _New(W) _SetName(stranger, "ci_stranger") _LockGC(stranger)
        local realm = _New(QZRealmBase) _SetName(realm, "ci_realm") _LockGC(realm)
        local cell = _New(QZCellBase) _SetName(cell, "ci_cell") _LockGC(cell)
    )");
    void *Realm = Named("ci_realm");
    void *Cell = Named("ci_cell");
    ASSERT_TRUE(XRQ->ChangeParent(Cell, Realm, XRQ->GetAttributeIndex(QZRealmBaseClass, "QZCellQueue")));
    void *Runner = NewObject(QZProcRunnerBaseClass);
    ASSERT_NE(Runner, nullptr);
    ASSERT_TRUE(XRQ->ChangeParent(Runner, Cell, XRQ->GetAttributeIndex(QZCellBaseClass, "NormalRunnerQueue")));
    StructOfQZProcRunnerBase *R = (StructOfQZProcRunnerBase *)Runner;
    void *W = Named("ci_W");
    StructOfQZProcBase *P1 = (StructOfQZProcBase *)NewObject(W);
    StructOfQZProcBase *P2 = (StructOfQZProcBase *)NewObject(W);
    StructOfQZProcBase *Stranger = (StructOfQZProcBase *)Named("ci_stranger");
    OBJECTATTRIBUTEINDEX Index = XRQ->GetAttributeIndex(QZProcRunnerBaseClass, "QZProcBase");
    ASSERT_TRUE(XRQ->ChangeParent(P1, Runner, Index));
    ASSERT_TRUE(XRQ->ChangeParent(P2, Runner, Index));
    R->QZProcStart = XRQ->GetID(P1);
    P1->QZProcNext = XRQ->ObjectToAtomic(P2);
    P2->QZProcNext = XRQ->ObjectToAtomic(Stranger); // an order that runs on into a proc of nobody's
    P1->RunnerID = XRQ->GetID(Runner);
    P2->RunnerID = XRQ->GetID(Runner);
    P1->Status = 0;
    P2->Status = 2147483647;
    Stranger->Status = 2147483647;
    VS_UUID Id1 = XRQ->GetID(P1), Id2 = XRQ->GetID(P2);

    XRQ->FreeObject(Runner);
    EXPECT_EQ(XRQ->GetObject(&Id1), nullptr) << "the runner's procs are freed";
    EXPECT_EQ(XRQ->GetObject(&Id2), nullptr);
    EXPECT_EQ(XRQ->GetObject(XRQ->GetIDEx(Stranger)), Stranger) << "a proc the runner does not own is not freed";
    EXPECT_EQ(Stranger->Status, 2147483647) << "nor marked";
    Run(R"(
        assert(#notices == 1, "one cancel notice, got " .. #notices)
        assert(notices[1] == -1, "the waiting proc is marked before it is freed")
    )");
}

} // namespace
