// The realm's index of its env data and the stamp order of its active
// records, held against what the host's own queue and index say after
// changes the module was not told of: items moved out and back by the host's
// ChangeParent, data freed while they wait, captures from another realm,
// stamps that change or tie, resets in the middle of a cycle.
#include "module_test_util.h"
#include "trelk_realm_api.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

class RealmEnvIndex : public trelktest::LoadedModule {
  protected:
    RealmEnvIndex() : LoadedModule("realm_envindex") {}

    StructOfQZRealmBase *NewRealm(const char *Name) {
        auto *R = (StructOfQZRealmBase *)NewObject(QZRealmBaseClass);
        XRQ->SetName(R, Name);
        XRQ->LockGC(R);
        return R;
    }
    OBJECTATTRIBUTEINDEX EnvIndex() { return XRQ->GetAttributeIndex(QZRealmBaseClass, "EnvDataQueue"); }
    // Adds a stamped copy of Datum; returns the new item.
    StructOfQZDataBase *Add(StructOfQZRealmBase *R, void *Datum) {
        QZRealmBase_AddEnvData_Internal_Ex(R, (StructOfQZDataBase *)Datum);
        return (StructOfQZDataBase *)Last(R);
    }
    // Captures X into R (it keeps its stamps); returns the new item.
    StructOfQZDataBase *Capture(StructOfQZRealmBase *R, void *X) {
        XRQ->LuaPushObject(X);
        QZRealmBase_AddEnvData_Internal(R, XRQ->LuaGetTop(), VS_TRUE, VS_FALSE);
        XRQ->LuaPop(1);
        return (StructOfQZDataBase *)Last(R);
    }
    void *Last(StructOfQZRealmBase *R) {
        void *Last = nullptr;
        for (void *X = XRQ->QueryFirst(&R->EnvDataQueue); X != nullptr; X = XRQ->QueryNext(X))
            Last = X;
        return Last;
    }
    std::vector<void *> Queue(StructOfQZRealmBase *R) {
        std::vector<void *> Items;
        for (void *X = XRQ->QueryFirst(&R->EnvDataQueue); X != nullptr; X = XRQ->QueryNext(X))
            Items.push_back(X);
        return Items;
    }
    // The queue by stamp, ties in queue order, walked in full.
    std::vector<void *> ByStamp(StructOfQZRealmBase *R) {
        std::vector<void *> Items = Queue(R);
        auto Key = [](void *X) {
            auto *D = (StructOfQZDataBase *)X;
            uint64_t Tick = (uint64_t)D->ScheduleTickCount;
            return std::array<uint64_t, 3>{Tick & 0xffffffffu, Tick >> 32, (uint64_t)D->SequenceIndex};
        };
        std::stable_sort(Items.begin(), Items.end(), [&](void *a, void *b) { return Key(a) < Key(b); });
        return Items;
    }
    static std::vector<void *> Items(VS_PARAPKGPTR Pkg) {
        std::vector<void *> Out;
        for (VS_INT32 i = 0; i < Pkg->GetNumber(); i++)
            Out.push_back(Pkg->GetObject(i));
        Pkg->Release();
        return Out;
    }
    // Every datum the index hands out, in its order; with a class, only the
    // instances of it.
    std::vector<void *> Walk(StructOfQZRealmBase *R, void *Class) {
        std::vector<void *> Out;
        uint64_t Mark = QZRealmBase_EnvMark_Internal(R), Cursor = 0;
        VS_UUID Wanted = Class != nullptr ? XRQ->GetID(Class) : VS_UUID{};
        VS_UUID ID;
        for (void *X; (X = QZRealmBase_EnvNext_Internal(R, &Cursor, Mark, &Wanted, 1, Class == nullptr, &ID)) != nullptr;)
            Out.push_back(X);
        return Out;
    }
    std::vector<void *> Instances(StructOfQZRealmBase *R, void *Class) {
        std::vector<void *> Out;
        for (void *X : Queue(R))
            if (XRQ->IsInst(XRQ->GetIDEx(Class), X))
                Out.push_back(X);
        return Out;
    }
    void ExpectInStep(StructOfQZRealmBase *R, void *Class, const std::string &After) {
        std::vector<void *> Stamped = ByStamp(R);
        EXPECT_EQ(Items(QZRealmBase_EnvOldest_Internal(R, 1 << 20)), Stamped) << "stamp order after " << After;
        Stamped.resize(std::min<size_t>(2, Stamped.size()));
        EXPECT_EQ(Items(QZRealmBase_EnvOldest_Internal(R, 2)), Stamped) << "the oldest two after " << After;
        EXPECT_EQ(Walk(R, nullptr), Queue(R)) << "queue order after " << After;
        EXPECT_EQ(Walk(R, Class), Instances(R, Class)) << "one class's data after " << After;
    }
};

TEST_F(RealmEnvIndex, FollowsTheQueueThroughChangesItWasNotToldOf) {
    StructOfQZRealmBase *R = NewRealm("r"), *Other = NewRealm("other");
    auto *A = (StructOfQZDataBase *)NewObject(QZDataBaseClass);
    auto *B = (StructOfQZDataBase *)NewObject(QZDataBaseClass);
    std::vector<void *> Held;
    auto Datum = [&](void *Type) {
        void *D = NewObject(Type);
        XRQ->LockGC(D);
        Held.push_back(D);
        return D;
    };
    for (int i = 0; i < 6; i++)
        Add(R, Datum(i % 2 ? A : B));
    ExpectInStep(R, A, "adding");
    // Each change is made through the host alone, between two looks.
    struct Change {
        const char *Name;
        std::function<void()> Make;
    };
    OBJECTATTRIBUTEINDEX Env = EnvIndex();
    std::vector<Change> Changes = {
        {"the last item taken out", [&] { XRQ->ChangeParent(Last(R), nullptr, 0); }},
        {"a middle item out and back at the tail",
         [&] {
             void *X = Queue(R)[2];
             XRQ->ChangeParent(X, nullptr, 0);
             XRQ->ChangeParent(X, R, Env);
         }},
        {"the last item out, two more in, then it comes back",
         [&] {
             void *X = Last(R);
             XRQ->ChangeParent(X, nullptr, 0);
             Add(R, Datum(A));
             Add(R, Datum(B));
             XRQ->ChangeParent(X, R, Env);
         }},
        {"a waiting datum freed", [&] { XRQ->FreeObject(Queue(R)[1]); }},
        {"the last datum freed", [&] { XRQ->FreeObject(Last(R)); }},
        {"captured from another realm with its stamps (ties)",
         [&] {
             Other->ScheduleTickCount = R->ScheduleTickCount;
             StructOfQZDataBase *There = Add(Other, Datum(A));
             There->SequenceIndex = 1;
             Capture(R, There);
             EXPECT_EQ(XRQ->QueryFirst(&Other->EnvDataQueue), nullptr) << "the capture took it from the other realm";
         }},
        {"a stamp changed in place", [&] { ((StructOfQZDataBase *)Queue(R)[0])->ScheduleTickCount = 1000; }},
        {"a datum of the other realm captured after that realm looked",
         [&] {
             void *There = Add(Other, Datum(B));
             EXPECT_EQ(Items(QZRealmBase_EnvOldest_Internal(Other, 10)), std::vector<void *>{There});
             Capture(R, There);
             EXPECT_TRUE(Items(QZRealmBase_EnvOldest_Internal(Other, 10)).empty()) << "the other realm let it go";
         }},
        {"every item taken out", [&] {
             for (void *X : Queue(R))
                 XRQ->ChangeParent(X, nullptr, 0);
         }},
        {"new items after that", [&] {
             Add(R, Datum(A));
             Add(R, Datum(B));
         }},
    };
    for (const Change &C : Changes) {
        C.Make();
        ExpectInStep(R, A, C.Name);
    }
    // Many items that left unseen do not stay in the index for ever: the
    // walks above and below still agree after a thousand more.
    for (int i = 0; i < 1000; i++) {
        void *X = Add(R, Datum(i % 2 ? A : B));
        if (i % 3 != 0)
            XRQ->ChangeParent(X, nullptr, 0);
        if (i % 100 == 0)
            ExpectInStep(R, A, "churn");
    }
    ExpectInStep(R, B, "churn");
    for (void *D : Held)
        if (XRQ->GetObject(XRQ->GetIDEx(D)) == D)
            XRQ->UnLockGC(D);
}

TEST_F(RealmEnvIndex, OutsideMeansInTheEnvWhenTheCycleOpened) {
    StructOfQZRealmBase *R = NewRealm("r");
    auto *Type = (StructOfQZDataBase *)NewObject(QZDataBaseClass);
    void *Model = NewObject(Type);
    XRQ->LockGC(Model);
    StructOfQZDataBase *Stays = Add(R, NewObject(Type));
    StructOfQZDataBase *Removed = Add(R, NewObject(Type));
    StructOfQZDataBase *Moved = Add(R, NewObject(Type));
    StructOfQZDataBase *Freed = Add(R, NewObject(Type));
    XRQ->LockGC(Removed);
    void *Models[] = {Model};
    QZRealmBase_SetOutsideData_Internal(R, Models, 1);
    // After the opening: one datum leaves as the module lets it go, one
    // leaves and comes back through the host alone, one is freed; one new
    // datum arrives.
    QZRealmBase_EnvLeft_Internal(R, Removed);
    XRQ->ChangeParent(Removed, nullptr, 0);
    XRQ->ChangeParent(Moved, nullptr, 0);
    XRQ->ChangeParent(Moved, R, EnvIndex());
    XRQ->FreeObject(Freed);
    StructOfQZDataBase *Late = Add(R, NewObject(Type));
    QZRealmBase_EnvMark_Internal(R); // the index looks at the queue again
    const struct {
        void *Data;
        bool Outside;
        const char *Name;
    } Cases[] = {
        {Stays, true, "in the env throughout"},    {Removed, true, "let go after the opening"},
        {Moved, true, "out and back after the opening"}, {Model, true, "a model of a cell's datum"},
        {Late, false, "arrived after the opening"}, {NewObject(Type), false, "never in the env"},
    };
    for (const auto &C : Cases)
        EXPECT_EQ(QZRealmBase_IsFromOutSide_Internal(R, (StructOfQZDataBase *)C.Data) ? true : false, C.Outside)
            << C.Name;
    // A reset forgets the cycle.
    QZRealmBase_Reset_Internal(R, VS_FALSE);
    for (const auto &C : Cases)
        EXPECT_FALSE(QZRealmBase_IsFromOutSide_Internal(R, (StructOfQZDataBase *)C.Data)) << C.Name << ", reset";
    XRQ->UnLockGC(Removed);
    XRQ->UnLockGC(Model);
}

TEST_F(RealmEnvIndex, TrimmingTakesTheOldestRecordsAsAFullSortWould) {
    StructOfQZRealmBase *R = NewRealm("r"), *Source = NewRealm("source");
    std::vector<void *> Objects;
    for (int i = 0; i < 24; i++) {
        void *X = NewObject(QZDataBaseClass);
        XRQ->LockGC(X);
        Objects.push_back(X);
    }
    // The host's ID index, sorted by stamp; equal stamps in the index's
    // order.
    auto Expected = [&](size_t Take) {
        struct Rec {
            std::array<uint64_t, 3> Key;
            VS_UUID ID;
        };
        std::vector<Rec> All;
        void *Index = QZRealmBase_GetLocalBuf_Internal(R)->ActiveRealmObjectTree;
        VS_UUID Key;
        for (void *V = XRQ->QueryFirstIDKey(Index, &Key); V != nullptr; V = XRQ->QueryNextIDKey(Index, &Key)) {
            auto *Record = (StructOfQZRealmBaseActiveObjectRecord *)V;
            uint64_t Tick = (uint64_t)Record->ScheduleTickCount;
            All.push_back({{Tick & 0xffffffffu, Tick >> 32, (uint64_t)Record->SequenceIndex}, Key});
        }
        std::stable_sort(All.begin(), All.end(), [](const Rec &a, const Rec &b) { return a.Key < b.Key; });
        std::vector<std::string> Out;
        for (size_t i = 0; i < Take && i < All.size(); i++)
            Out.push_back(XRQ->UuidToString(&All[i].ID));
        return Out;
    };
    auto Oldest = [&](size_t Take) {
        TrelkVector<VS_UUID> IDs;
        QZRealmBase_ActiveOldest_Internal(R, (VS_ULONG)Take, IDs);
        std::vector<std::string> Out;
        for (VS_UUID &ID : IDs)
            Out.push_back(XRQ->UuidToString(&ID));
        return Out;
    };
    auto Same = [&](const std::string &After) {
        size_t Count = QZRealmBase_GetLocalBuf_Internal(R)->ActiveRealmObjectCount;
        for (size_t Take : {size_t(1), size_t(5), Count})
            EXPECT_EQ(Oldest(Take), Expected(Take)) << Take << " oldest after " << After;
    };
    // Stamps tie when the realm's counters are set back.
    for (int i = 0; i < 12; i++) {
        R->ScheduleTickCount = 7;
        R->DataSequenceIndex = i % 3;
        QZRealmBase_ActiveData_Internal(R, Objects[i], nullptr, 1);
    }
    Same("activations with equal stamps");
    VS_PARAPKGPTR Sources = Trelk_GetParaPkgInterface(__LINE__);
    Sources->InsertObject(0, Objects[0]);
    Sources->InsertObject(1, Objects[13]);
    R->ScheduleTickCount = 9;
    QZRealmBase_ActiveData_Internal(R, Objects[12], Sources, 2); // links and recounts
    Sources->Release();
    Same("an activation with sources");
    QZRealmBase_DeactiveData_Internal(R, Objects[13], 0); // its target is recounted, so stamped again
    Same("a source removed");
    QZRealmBase_DeactiveData_Internal(R, Objects[3], 1);
    Same("an own count lowered");
    QZRealmBase_DeactiveAll_Internal(R, 8);
    Same("the records before tick 8 removed");
    // Records taken over keep the source's (older) stamps; the realm has
    // a record for each already, so their number stays.
    for (int i = 14; i < 20; i++) {
        Source->ScheduleTickCount = 3;
        QZRealmBase_ActiveData_Internal(Source, Objects[i], nullptr, 1);
        R->ScheduleTickCount = 10;
        QZRealmBase_ActiveData_Internal(R, Objects[i], nullptr, 1);
    }
    Same("more activations");
    R->ScheduleTickCount = 11;
    ASSERT_TRUE(QZRealmBase_SyncFrom_Internal(R, Source, VS_TRUE));
    Same("records taken over from another realm");
    XRQ->FreeObject(Objects[15]);
    Same("a key object freed");

    // A step trims to ActiveLength, the oldest first.
    R->ActiveLength = 3;
    R->CreateFrameData = VS_FALSE;
    size_t Count = QZRealmBase_GetLocalBuf_Internal(R)->ActiveRealmObjectCount;
    ASSERT_GT(Count, 3u);
    std::vector<std::string> Kept = Expected(Count);
    Kept.erase(Kept.begin(), Kept.end() - 3);
    VS_UUID RealmID = XRQ->GetID(R);
    tvh::errors(true);
    for (int Step = 0; Step < 4 && XRQ->GetObject(&RealmID) == R; Step++)
        if (Tarvex_ScheduleRealm(R, nullptr) == 1)
            break;
    std::vector<std::string> Left = Expected(1 << 20);
    std::sort(Left.begin(), Left.end());
    std::sort(Kept.begin(), Kept.end());
    EXPECT_EQ(Left, Kept) << "the newest three stay";
    for (void *X : Objects)
        if (XRQ->GetObject(XRQ->GetIDEx(X)) == X)
            XRQ->UnLockGC(X);
}

} // namespace
