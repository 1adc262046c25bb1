// The realm's internal operations that scripts cannot reach directly: the
// effective-setting getters with and without a stub, the raised
// unallocated-data limit, the object cache taken over by synchronisation,
// capture out of a cell, the outside test and activation refusals.
#include "module_test_util.h"
#include "trelk_realm_api.h"

#include <cstring>

namespace {

class RealmInternal : public trelktest::LoadedModule {
  protected:
    RealmInternal() : LoadedModule("realm_internal") {}

    StructOfQZRealmBase *NewRealm(const char *Name) {
        auto *R = (StructOfQZRealmBase *)NewObject(QZRealmBaseClass);
        XRQ->SetName(R, Name);
        return R;
    }
    StructOfQZRealmStubBase *SetStub() {
        auto *S = (StructOfQZRealmStubBase *)NewObject(QZRealmStubBaseClass);
        QZRealmStubObjectID = XRQ->GetID(S);
        QZRealStubObjectIsSet = VS_TRUE;
        return S;
    }
    StructOfQZRealmBaseLocalBuf *Buf(StructOfQZRealmBase *R) { return QZRealmBase_GetLocalBuf_Internal(R); }
};

TEST_F(RealmInternal, GettersFollowTheStubWhileItLives) {
    StructOfQZRealmBase *A = NewRealm("a"), *B = NewRealm("b");
    A->MaxLoopCount = 70;
    B->MaxLoopCount = 80;
    A->MaxSuspendTickCount = 1234;
    EXPECT_EQ(QZRealmBase_GetMaxLoopCount(A), 70);
    EXPECT_EQ(QZRealmBase_GetMaxSuspendTickCount(A), 1234);
    EXPECT_EQ(QZRealmBase_GetActiveLength(A), 100);
    EXPECT_EQ(QZRealmBase_GetInitialLiveCount(A), 64);
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData(A), 128);
    EXPECT_EQ(QZRealmBase_GetMaxSourceDataLength(A), 64);
    EXPECT_EQ(QZRealmBase_GetHistoryLength(A), 64);

    StructOfQZRealmStubBase *S = SetStub();
    S->MaxLoopCount = 5;
    S->ActiveLength = 6;
    S->InitialLiveCount = 7;
    S->MaxUnAllocatedData = 8;
    S->MaxSourceDataLength = 9;
    S->HistoryLength = 10;
    S->MaxSuspendTickCount = 11;
    for (StructOfQZRealmBase *R : {A, B}) {
        EXPECT_EQ(QZRealmBase_GetMaxLoopCount(R), 5);
        EXPECT_EQ(QZRealmBase_GetActiveLength(R), 6);
        EXPECT_EQ(QZRealmBase_GetInitialLiveCount(R), 7);
        EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData(R), 8);
        EXPECT_EQ(QZRealmBase_GetMaxSourceDataLength(R), 9);
        EXPECT_EQ(QZRealmBase_GetHistoryLength(R), 10);
        EXPECT_EQ(QZRealmBase_GetMaxSuspendTickCount(R), 11);
    }
    XRQ->FreeObject(S);
    EXPECT_EQ(QZRealmBase_GetMaxLoopCount(A), 70);
    EXPECT_EQ(QZRealmBase_GetMaxLoopCount(B), 80);
    EXPECT_EQ(QZRealmBase_GetMaxSuspendTickCount(A), 1234);
    EXPECT_EQ(QZRealmBase_GetMaxLoopCount(nullptr), 0);
}

TEST_F(RealmInternal, RaisedUnallocatedLimit) {
    StructOfQZRealmBase *R = NewRealm("r");
    void *Cell = NewObject(QZCellBaseClass);
    void *Other = NewObject(QZCellBaseClass);
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(R, Cell), 128);
    QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(R, Cell);
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(R, Cell), 192);
    QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(R, Cell);
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(R, Cell), 256);
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(R, Other), 128) << "per object";
    R->MaxUnAllocatedData = 300;
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(R, Cell), 300) << "an overtaken value is ignored";
    QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(R, Cell);
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(R, Cell), 364) << "and restarted from the setting";
    StructOfQZRealmStubBase *S = SetStub();
    S->MaxUnAllocatedData = 500;
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(R, Cell), 500) << "the stub's setting counts";
    QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(R, Cell);
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(R, Cell), 564);
    XRQ->FreeObject(S);
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(R, Cell), 564) << "the raised value stays";
    QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(nullptr, Cell);
    EXPECT_EQ(QZRealmBase_GetMaxUnAllocatedData_ForQZCell(nullptr, Cell), 0);
}

TEST_F(RealmInternal, SyncTakesOverACopyOfTheCache) {
    StructOfQZRealmBase *S = NewRealm("s"), *R = NewRealm("r");
    void *Kept = NewObject(QZDataBaseClass);
    void *Gone = NewObject(QZDataBaseClass);
    void *Old = NewObject(QZDataBaseClass);
    // The cache's entry form: key -> buffer with the object's ID, one lock.
    auto Insert = [&](StructOfQZRealmBaseLocalBuf *B, const char *Key, void *Object) {
        if (B->CachedObjectIndexTree == nullptr)
            B->CachedObjectIndexTree = XRQ->CreateStringIndex_Nor(128);
        auto *Entry = (VS_UUID *)XRQ->Malloc_Nor(sizeof(VS_UUID));
        *Entry = XRQ->GetID(Object);
        ASSERT_TRUE(XRQ->InsertStringKey(B->CachedObjectIndexTree, Key, Entry));
        XRQ->LockGC(Object);
    };
    Insert(Buf(S), "kept", Kept);
    Insert(Buf(S), "gone", Gone);
    Insert(Buf(R), "old", Old);
    VS_INT32 KeptRefs = XRQ->GetRefEx(Kept), OldRefs = XRQ->GetRefEx(Old);
    XRQ->FreeObject(Gone);
    ASSERT_TRUE(QZRealmBase_SyncFrom_Internal(R, S, VS_FALSE));
    void *Index = Buf(R)->CachedObjectIndexTree;
    ASSERT_NE(Index, nullptr);
    auto *Entry = (VS_UUID *)XRQ->FindStringKey(Index, "kept");
    ASSERT_NE(Entry, nullptr);
    EXPECT_EQ(XRQ->GetObject(Entry), Kept) << "found under the same key";
    EXPECT_NE((void *)Entry, XRQ->FindStringKey(Buf(S)->CachedObjectIndexTree, "kept")) << "with a buffer of its own";
    EXPECT_EQ(XRQ->FindStringKey(Index, "gone"), nullptr) << "entries of freed objects are skipped";
    EXPECT_EQ(XRQ->FindStringKey(Index, "old"), nullptr) << "the realm's own entries are dropped";
    EXPECT_EQ(XRQ->GetRefEx(Kept), KeptRefs + 1) << "the copy locks the object";
    EXPECT_EQ(XRQ->GetRefEx(Old), OldRefs - 1) << "a dropped entry gives its lock back";
    XRQ->FreeObject(S);
    XRQ->FreeObject(R);
    EXPECT_EQ(XRQ->GetRefEx(Kept), KeptRefs - 1) << "both realms gave their locks back";
    EXPECT_EQ(tvh::stats().UnlockAtZero, 0);
}

TEST_F(RealmInternal, SyncWithoutSourceCacheEmptiesTheRealmsCache) {
    StructOfQZRealmBase *S = NewRealm("s"), *R = NewRealm("r");
    void *Old = NewObject(QZDataBaseClass);
    VS_INT32 Refs = XRQ->GetRefEx(Old);
    Buf(R)->CachedObjectIndexTree = XRQ->CreateStringIndex_Nor(128);
    auto *Entry = (VS_UUID *)XRQ->Malloc_Nor(sizeof(VS_UUID));
    *Entry = XRQ->GetID(Old);
    XRQ->InsertStringKey(Buf(R)->CachedObjectIndexTree, "old", Entry);
    XRQ->LockGC(Old);
    EXPECT_FALSE(QZRealmBase_SyncFrom_Internal(R, R, VS_TRUE));
    EXPECT_EQ(tvh::service()->GetKeyNumber(Buf(R)->CachedObjectIndexTree), 1u) << "a refused sync changes nothing";
    EXPECT_TRUE(QZRealmBase_SyncFrom_Internal(R, S, VS_TRUE));
    EXPECT_EQ(tvh::service()->GetKeyNumber(Buf(R)->CachedObjectIndexTree), 0u);
    EXPECT_EQ(XRQ->GetRefEx(Old), Refs);
}

TEST_F(RealmInternal, CaptureOutOfACellGivesTheCellsLockBack) {
    Run(R"(
        local r = _New(QZRealmBase) _SetName(r, "realm") _LockGC(r)
        local c = _New(QZCellBase) _SetName(c, "cell") _LockGC(c)
        local d = QZDataBase:CreateType("cap.D")(1) _SetName(d, "datum") _LockGC(d)
    )");
    void *Cell = Named("cell"), *Datum = Named("datum");
    ASSERT_TRUE(XRQ->ChangeParent(Datum, Cell, XRQ->GetAttributeIndex(QZCellBaseClass, "EnvDataQueue")));
    XRQ->LockGC(Datum); // the cell's hold on its env datum
    VS_INT32 Refs = XRQ->GetRefEx(Datum);
    Run(R"(
        local r, d = _Find("realm"), _Find("datum")
        d.ScheduleTickCount, d.SequenceIndex = 4, 9
        r:CaptureEnvData(d)
        local item = r:GetEnvDataQueue():_Get(0)
        assert(item ~= nil and _Class(item) == d, "captured")
        assert(item.ScheduleTickCount == 4 and item.SequenceIndex == 9, "stamps kept")
        assert(_Parent(d) == nil, "detached from the cell")
    )");
    // The cell's lock went; the new item (an instance of the datum) holds one.
    EXPECT_EQ(XRQ->GetRefEx(Datum), Refs - 1 + 1);
    EXPECT_EQ(XRQ->GetParent(Datum), nullptr);
    EXPECT_EQ(tvh::stats().UnlockAtZero, 0);
}

TEST_F(RealmInternal, AddOneDatumAndTheOutsideTest) {
    StructOfQZRealmBase *R = NewRealm("r");
    R->ScheduleTickCount = 3;
    auto *Type = (StructOfQZDataBase *)NewObject(QZDataBaseClass);
    auto *Datum = (StructOfQZDataBase *)NewObject(Type);
    QZRealmBase_AddEnvData_Internal_Ex(R, nullptr);
    EXPECT_EQ(XRQ->QueryFirst(&R->EnvDataQueue), nullptr);
    VS_INT32 Top = XRQ->LuaGetTop();
    QZRealmBase_AddEnvData_Internal_Ex(R, Datum);
    EXPECT_EQ(XRQ->LuaGetTop(), Top) << "the pushed datum is popped again";
    auto *Item = (StructOfQZDataBase *)XRQ->QueryFirst(&R->EnvDataQueue);
    ASSERT_NE(Item, nullptr);
    EXPECT_EQ(XRQ->GetClass(Item), (void *)Datum);
    EXPECT_EQ(Item->ScheduleTickCount, 3);
    EXPECT_EQ(Item->SequenceIndex, 1u);
    ASSERT_NE(Item->SourceData, nullptr);
    EXPECT_EQ(Item->SourceData->GetNumber(), 0);
    EXPECT_NE(Item->SourceData, Datum->SourceData);

    VS_PARAPKGPTR All = QZRealmBase_GetEnvDataQueue_Internal(R, nullptr);
    EXPECT_EQ(All->GetNumber(), 1);
    All->Release();

    EXPECT_FALSE(QZRealmBase_IsFromOutSide_Internal(R, Item));
    Buf(R)->EnvDataQueuePackage->InsertObject(0, Item);
    EXPECT_TRUE(QZRealmBase_IsFromOutSide_Internal(R, Item));
    EXPECT_FALSE(QZRealmBase_IsFromOutSide_Internal(R, Datum));
    EXPECT_FALSE(QZRealmBase_IsFromOutSide_Internal(R, nullptr));
    EXPECT_FALSE(QZRealmBase_IsFromOutSide_Internal(nullptr, Item));
}

TEST_F(RealmInternal, NegativeActivationIsRefused) {
    StructOfQZRealmBase *R = NewRealm("r");
    void *Object = NewObject(QZDataBaseClass);
    XRQ->SetName(Object, "neg");
    tvh::errors(true);
    QZRealmBase_ActiveData_Internal(R, Object, nullptr, -1);
    auto Errors = tvh::errors(true);
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0].level, 1);
    std::string Want = std::string("[") + XRQ->UuidToString(XRQ->GetIDEx(Object)) +
                       ":neg]'s add active data failed, the active count must be greater than 0";
    EXPECT_EQ(Errors[0].text, Want);
    EXPECT_EQ(tvh::service()->GetKeyNumber(Buf(R)->ActiveRealmObjectTree), 0u);
    QZRealmBase_ActiveData_Internal(R, Object, nullptr, 0);
    EXPECT_EQ(tvh::service()->GetKeyNumber(Buf(R)->ActiveRealmObjectTree), 1u) << "a count of 0 is accepted";
    QZRealmBase_DeactiveAll_Internal(R, 0);
    EXPECT_EQ(tvh::service()->GetKeyNumber(Buf(R)->ActiveRealmObjectTree), 0u);
}

TEST_F(RealmInternal, EventsForTheClassObjectAreIgnored) {
    EXPECT_EQ(QZRealmBase_GetLocalBuf_Internal((StructOfQZRealmBase *)QZRealmBaseClass), nullptr);
    StructOfVSSysEventPara Para = {QZRealmBaseClass, VSEVENT_SYSTEMEVENT_ONCREATE};
    EXPECT_EQ(QZRealmBase_OnSystemEvent(0, &Para), 0);
    EXPECT_EQ(QZRealmBase_OnSystemEvent(0, nullptr), 0);
}

} // namespace
namespace {

TEST_F(RealmInternal, AddCellOfACellTypeAddsInstances) {
    Run(R"(
        local r = _New(QZRealmBase) _SetName(r, "realm") _LockGC(r)
        local t = _New(QZCellBase) _SetName(t, "cells.Type") _LockGC(t)
    )");
    auto *Type = (StructOfQZCellBase *)Named("cells.Type");
    Type->IsType = VS_TRUE; // what the cell functions' CreateType would set
    VS_INT32 Refs = XRQ->GetRefEx(Type);
    Run(R"(
        local r, Type = _Find("realm"), _Find("cells.Type")
        r:AddCell(Type)
        r:AddCell(Type)
        r:AddCellLibrary(Type)
        local queued, library = r:GetCell(), r:GetCellLibrary()
        assert(queued:_Count() == 2, "AddCell of a type twice gives two instances")
        assert(library:_Count() == 1, "AddCellLibrary of a type gives one instance")
        local a, b = queued:_Get(0), queued:_Get(1)
        assert(a ~= b and _Class(a) == Type and _Class(b) == Type and _Class(library:_Get(0)) == Type,
               "instances of the type")
        assert(a.IsReady == true, "the instance is ready")
        assert(_Parent(Type) == nil, "the type stays out of the realm")
        assert(Type.IsReady == true, "the type is marked ready too")
    )");
    // The instances lock their class; the realm itself holds no lock on it.
    XRQ->FreeObject(Named("realm"));
    tvh::collectGarbage();
    EXPECT_EQ(XRQ->GetRefEx(Type), Refs);
    EXPECT_EQ(tvh::stats().UnlockAtZero, 0);
}

} // namespace

namespace {

TEST_F(RealmInternal, RecordsOfFreedObjectsCanBeRemoved) {
    StructOfQZRealmBase *Realm = NewRealm("r");
    void *Gone = NewObject(QZDataBaseClass);
    void *Target = NewObject(QZDataBaseClass);
    VS_UUID GoneID = XRQ->GetID(Gone), TargetID = XRQ->GetID(Target);
    QZRealmBase_ActiveData_Internal(Realm, Gone, nullptr, 3);
    VS_PARAPKGPTR Sources = Trelk_GetParaPkgInterface(__LINE__);
    Sources->InsertObject(0, Gone);
    QZRealmBase_ActiveData_Internal(Realm, Target, Sources, 1);
    Sources->Release();
    void *Index = Buf(Realm)->ActiveRealmObjectTree;
    ASSERT_EQ(tvh::service()->GetKeyNumber(Index), 2u);
    XRQ->FreeObject(Gone); // freed while its record holds a lock on it
    EXPECT_NE(XRQ->FindIDKey(Index, &GoneID), nullptr) << "the record outlives its object";
    QZRealmBase_DeactiveDataByID_Internal(Realm, &GoneID);
    EXPECT_EQ(XRQ->FindIDKey(Index, &GoneID), nullptr) << "and is removed by its ID";
    EXPECT_NE(XRQ->FindIDKey(Index, &TargetID), nullptr);
    QZRealmBase_DeactiveDataByID_Internal(Realm, &TargetID);
    EXPECT_EQ(tvh::service()->GetKeyNumber(Index), 0u);
    EXPECT_EQ(tvh::stats().UnlockAtZero, 0);
    EXPECT_EQ(tvh::stats().InvalidObjects, 0);
}

} // namespace

namespace {

TEST_F(RealmInternal, SystemPackagesAndPerformanceDataThroughTheRealmAndTheStub) {
    // A system package that lists one data type, as scripts fill the table.
    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Names = Trelk_GetParaPkgInterface(__LINE__);
    Names->InsertStr(0, "shop.Order");
    Record->InsertStr(0, "PackageName");
    Record->InsertStr(1, "shop");
    Record->InsertStr(2, "ObjectList");
    Record->InsertParaPackage(3, Names);
    Record->AsDict(VS_TRUE);
    QZObject_SystemPackageInfo->InsertParaPackage(QZObject_SystemPackageInfo->GetNumber(), Record);
    Names->Release();
    Record->Release();
    // Performance figures of one proc type.
    auto *Proc = (StructOfQZProcBase *)NewObject(QZProcBaseClass);
    XRQ->SetName(Proc, "perf.P");
    Trelk_InsertPerformaceData(Proc, 500);
    Trelk_InsertPerformaceData(Proc, 700);
    Trelk_InsertPerformaceData_ForError(Proc);
    Run(R"(
        local r, stub = _New(QZRealmBase), _New(QZRealmStubBase)
        local Order = QZDataBase:CreateType("shop.Order")
        assert(r:FindSystemPackage(Order) == "shop", "a listed type")
        assert(r:FindSystemPackage(Order(1)) == "shop", "an instance of a listed type")
        assert(stub:FindSystemPackage(Order) == "shop", "the stub answers the same")
        assert(r:FindSystemPackage(QZDataBase:CreateType("shop.Other")) == "", "an unlisted type")
        assert(r:FindSystemPackage(QZRuleBase:CreateType("shop.Order")()) == "", "a rule instance")
        local list = stub:GetPerformanceData(false)
        assert(list:_Count() == 1, "one proc type has figures")
        local item = list:_Get(0)
        assert(_Name(item:_Get(0)) == "perf.P", "the proc type comes first")
        assert(item:_Get(2) == 3 and item:_Get(3) == 1, "runs and failed runs")
        assert(item:_Get(1) > 0, "the scaled run time")
        assert(r:GetPerformanceData(true):_Count() == 1, "the figures before the reset")
        assert(r:GetPerformanceData(false):_Count() == 0, "a reset empties them")
    )");
}

} // namespace
