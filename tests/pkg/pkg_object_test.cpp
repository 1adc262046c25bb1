// Packages and indexes reached through a running host: object items (weak,
// by ID) and the service interface's forwarding.
#include "pkg_test_util.h"
#include "tarvex_host.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

class PkgHost : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tvh::start());
        tvh::lockBoth();
        svc = tvh::service();
    }
    void TearDown() override {
        tvh::unlockBoth();
        tvh::stop();
    }
    void *newObject(const char *name) {
        VS_UUID cls = tvh::kObjectClassID;
        void *o = svc->MallocObjectL(&cls, 0, nullptr);
        if (o) svc->SetName(o, name);
        return o;
    }
    ClassOfXRQInterfaceHost *svc = nullptr;
};

TEST_F(PkgHost, ObjectItemsAreWeakReferencesByID) {
    void *o = newObject("thing");
    ASSERT_NE(o, nullptr);
    std::string id = svc->UuidToString(svc->GetIDEx(o));
    Pkg p(svc->GetParaPkgInterface());
    ASSERT_TRUE(p->InsertObject(0, o));
    EXPECT_EQ(p->GetType(0), VSTYPE_OBJECT);
    EXPECT_EQ(p->GetObject(0), o);
    EXPECT_EQ(jsonOf(p.get()), "<none>"); // objects have no JSON form
    EXPECT_EQ(jsonOf(p.get(), true), "[\"[" + id + ":thing]\"]");

    Pkg copy(p->Dup());
    EXPECT_EQ(copy->GetObject(0), o); // copied by ID
    EXPECT_TRUE(copy->Equals(p.get()));
    void *other = newObject("other");
    Pkg q(svc->GetParaPkgInterface());
    q->InsertObject(0, other);
    EXPECT_FALSE(q->Equals(p.get()));

    // The package does not keep the object alive; the item stays type 7.
    svc->FreeObject(o);
    EXPECT_EQ(p->GetType(0), VSTYPE_OBJECT);
    EXPECT_EQ(p->GetObject(0), nullptr);
    EXPECT_EQ(jsonOf(p.get(), true), "[\"[" + id + ":]\"]");
    EXPECT_TRUE(copy->Equals(p.get())); // still the same ID

    // A freed or unknown pointer stores an empty item.
    ASSERT_TRUE(p->InsertObject(1, o));
    EXPECT_EQ(p->GetType(1), VSTYPE_EMPTY);
    svc->FreeObject(other);
}

TEST_F(PkgHost, ServiceForwardsPackagesBuffersAndIndexes) {
    long long pkgs = tvh::stats().LivePackages;
    VS_PARAPKGPTR p = svc->GetParaPkgInterface();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(tvh::stats().LivePackages, pkgs + 1);
    p->Release();
    EXPECT_EQ(tvh::stats().LivePackages, pkgs);

    ClassOfXRQBinBufInterface *b = svc->GetXRQBinBufInterface();
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->Set(0, 2, reinterpret_cast<const VS_INT8 *>("ab")));
    EXPECT_EQ(b->GetOffset(), 2);
    b->Release();

    void *three = svc->CreateIndex_Nor(3, 0);
    int a = 1, c = 2;
    EXPECT_TRUE(svc->InsertThreeKey(three, 1, 2, 3, &a));
    EXPECT_FALSE(svc->InsertThreeKey(three, 1, 2, 3, &c));
    EXPECT_TRUE(svc->InsertThreeKey(three, 1, 2, static_cast<VS_UWORD>(-1), &c));
    VS_UWORD k1, k2, k3;
    EXPECT_EQ(svc->QueryFirstThreeKey(three, &k1, &k2, &k3), &c); // -1 sorts first
    EXPECT_EQ(svc->QueryNextThreeKey(three, &k1, &k2, &k3), &a);
    EXPECT_EQ(svc->DelThreeKey(three, 1, 2, 3), &a);
    EXPECT_EQ(svc->GetKeyNumber(three), 1u);
    svc->DestoryIndex(three);

    void *ids = svc->CreateIDIndex_Nor(0);
    VS_UUID u{};
    u.Data1 = 7;
    EXPECT_TRUE(svc->InsertIDKey(ids, &u, &a));
    EXPECT_TRUE(svc->InsertIDKey(ids, &u, &c));
    EXPECT_EQ(svc->FindIDKey(ids, &u), &c);
    svc->DestoryIndex(ids);

    void *strs = svc->CreateStringIndex_Nor(128);
    EXPECT_TRUE(svc->InsertStringKey(strs, "k", &a));
    EXPECT_EQ(svc->FindStringKey(strs, "k"), &a);
    svc->DestoryIndex(strs);

    // A NULL index is harmless through the service as well.
    EXPECT_EQ(svc->FindOneKey(nullptr, 1), nullptr);
    EXPECT_FALSE(svc->InsertTwoKey(nullptr, 1, 2, &a));
    svc->DelAllKey(nullptr);
    svc->DestoryIndex(nullptr);
}

TEST_F(PkgHost, PackageCallsWithoutTheHostLockAreCounted) {
    Pkg p(svc->GetParaPkgInterface());
    long long v = tvh::stats().LockViolations;
    p->InsertInt(0, 1);
    p->GetInt(0);
    EXPECT_EQ(tvh::stats().LockViolations, v); // held: nothing counted
    tvh::unlockBoth();
    p->GetNumber();
    long long after = tvh::stats().LockViolations;
    tvh::lockBoth();
    EXPECT_EQ(after, v + 1); // counted, not refused
}

// FindObjectID against a plain scan, through every kind of change, on
// packages small (scanned) and large (hashed), with repeated members.
TEST_F(PkgHost, FindObjectIDAgreesWithAScanThroughEveryChange) {
    std::vector<void *> objs;
    for (int k = 0; k < 6; ++k) objs.push_back(newObject("member"));
    Pkg p(svc->GetParaPkgInterface());
    Pkg other(svc->GetParaPkgInterface());
    other->InsertObject(0, objs[5]);
    other->InsertInt(1, 9);
    other->InsertObject(2, objs[0]);
    std::mt19937 rng(14);
    auto pick = [&](int n) { return static_cast<VS_INT32>(rng() % static_cast<unsigned>(n)); };
    for (int step = 0; step < 3000; ++step) {
        VS_INT32 n = p->GetNumber();
        switch (pick(n > 40 ? 9 : 7)) {
        case 0:
        case 1:
        case 2:
            p->InsertObject(n, objs[static_cast<size_t>(pick(6))]);
            break;
        case 3:
            p->InsertInt(n, step);
            break;
        case 4: // replace, by an object or by something else
            if (n > 0) {
                if (pick(2)) p->InsertObject(pick(n), objs[static_cast<size_t>(pick(6))]);
                else p->InsertStr(pick(n), "x");
            }
            break;
        case 5:
            if (pick(4) == 0) p->AppendFrom(pick(2) ? other.get() : p.get());
            break;
        case 6:
        case 7:
            if (n > 0) p->Del(pick(n));
            break;
        default:
            if (pick(2)) p->Clear();
            else p->FromJSon("[1,2]");
        }
        if (pick(3) == 0) continue; // some changes land while no query has been made
        n = p->GetNumber();
        for (void *o : objs) {
            VS_INT32 want = -1;
            for (VS_INT32 i = 0; i < n && want < 0; ++i)
                if (p->GetObject(i) == o) want = i;
            ASSERT_EQ(tvh::packageHost(p.get())->FindObjectID(svc->GetIDEx(o)), want) << "step " << step << ", " << n << " items";
        }
    }
    EXPECT_EQ(tvh::packageHost(p.get())->FindObjectID(nullptr), -1);

    // The ID of a freed object is still found: items compare IDs only.
    Pkg big(svc->GetParaPkgInterface());
    for (int k = 0; k < 20; ++k) big->InsertInt(k, k);
    void *gone = newObject("gone");
    VS_UUID goneID = *svc->GetIDEx(gone);
    big->InsertObject(20, gone);
    svc->FreeObject(gone);
    EXPECT_EQ(big->GetObject(20), nullptr);
    EXPECT_EQ(tvh::packageHost(big.get())->FindObjectID(&goneID), 20);
    for (void *o : objs) svc->FreeObject(o);
}

} // namespace
