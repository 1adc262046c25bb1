// The flat tables behind the registries of live objects and packages, and the
// package item list, against the standard containers they replaced: long
// random runs of inserts and removals, with the growth and the deletion
// shifts they cause.
#include "core/registry.h"
#include "pkg/pkg_internal.h"
#include "pkg/ptr_set.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using tvh::HostObject;

TEST(LiveTables, PointerSetAgreesWithAStandardSet) {
    tvh::pkg::PtrSet set;
    std::set<uintptr_t> want;
    std::mt19937_64 rng(7);
    // Few distinct 16-byte aligned addresses: many repeats, removals of
    // absent ones, long probe runs at 7/8 load.
    for (int step = 0; step < 200000; ++step) {
        uintptr_t v = 0x10000 + (rng() % 5000) * 16;
        const void *p = reinterpret_cast<const void *>(v);
        switch (rng() % 3) {
        case 0:
            set.insert(p);
            want.insert(v);
            break;
        case 1:
            set.erase(p);
            want.erase(v);
            break;
        default:
            ASSERT_EQ(set.contains(p), want.count(v) == 1) << "step " << step;
        }
    }
    for (uintptr_t v = 0x10000; v < 0x10000 + 5000 * 16; v += 16)
        ASSERT_EQ(set.contains(reinterpret_cast<const void *>(v)), want.count(v) == 1);
    EXPECT_FALSE(set.contains(nullptr));
}

struct IdOrder {
    bool operator()(const VS_UUID &a, const VS_UUID &b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

TEST(LiveTables, ObjectIndexesAgreeWithStandardMaps) {
    // Descriptors with a few distinct IDs (so that IDs are shared, as when an
    // object is registered under an ID in use).
    std::vector<std::unique_ptr<HostObject>> objs;
    for (int i = 0; i < 3000; ++i) {
        auto o = std::make_unique<HostObject>();
        o->id.Data1 = VS_ULONG(i % 1200);
        objs.push_back(std::move(o));
    }
    tvh::ObjectIndex<tvh::ByIdTraits> byId;
    std::map<VS_UUID, HostObject *, IdOrder> wantId;
    std::mt19937_64 rng(11);
    for (int step = 0; step < 100000; ++step) {
        HostObject *o = objs[rng() % objs.size()].get();
        if (rng() % 2) {
            byId.put(o);
            wantId[o->id] = o;
        } else {
            auto it = wantId.find(o->id);
            bool filed = it != wantId.end() && it->second == o;
            ASSERT_EQ(byId.erase(o), filed) << "step " << step;
            if (filed) wantId.erase(it);
        }
        HostObject *q = objs[rng() % objs.size()].get();
        auto wi = wantId.find(q->id);
        ASSERT_EQ(byId.find(q->id), wi == wantId.end() ? nullptr : wi->second) << "step " << step;
    }
    EXPECT_EQ(byId.size(), wantId.size());
    for (auto &o : objs) {
        auto wi = wantId.find(o->id);
        ASSERT_EQ(byId.find(o->id), wi == wantId.end() ? nullptr : wi->second);
    }
}

TEST(LiveTables, SequenceIndexKeepsCreationOrderThroughRemovals) {
    tvh::SeqIndex index;
    std::map<uint64_t, HostObject *> want;
    std::mt19937_64 rng(3);
    uint64_t seq = 0;
    for (int step = 0; step < 20000; ++step) {
        if (want.empty() || rng() % 3 != 0) {
            auto o = std::make_unique<HostObject>();
            o->seq = seq += 1 + rng() % 3;
            want[o->seq] = o.get();
            index.append(std::move(o));
        } else {
            auto it = want.begin();
            std::advance(it, long(rng() % want.size()));
            std::unique_ptr<HostObject> taken = index.take(it->second);
            ASSERT_EQ(taken.get(), it->second);
            EXPECT_EQ(index.take(it->second), nullptr) << "taken once";
            want.erase(it);
        }
        uint64_t probe = rng() % (seq + 2);
        auto wi = want.find(probe);
        ASSERT_EQ(index.find(probe), wi == want.end() ? nullptr : wi->second) << "step " << step;
    }
    ASSERT_EQ(index.size(), want.size());
    auto wi = want.begin();
    for (HostObject *o : index.walk()) {
        ASSERT_NE(wi, want.end());
        ASSERT_EQ(o, wi->second);
        ++wi;
    }
    EXPECT_EQ(wi, want.end());

    // Removals during a walk leave the walk on course, and objects appended
    // meanwhile are met at its end.
    std::vector<HostObject *> met;
    size_t before = index.size();
    for (HostObject *o : index.walk()) {
        met.push_back(o);
        if (met.size() <= before) {
            index.take(o); // deleted here, the walk going on past it
            if (met.size() == before) {
                auto extra = std::make_unique<HostObject>();
                extra->seq = ++seq;
                index.append(std::move(extra));
            }
        }
    }
    EXPECT_EQ(met.size(), before + 1);
    EXPECT_EQ(index.size(), 1u);
    EXPECT_NE(index.find(seq), nullptr);
}

TEST(LiveTables, ItemListCopiesMovesAndRemovesItems) {
    using tvh::pkg::Item;
    using tvh::pkg::ItemList;
    auto text = [](const char *s) {
        Item it;
        it.type = VSTYPE_STRING;
        it.bytes.assign(s, std::strlen(s));
        return it;
    };
    ItemList a;
    for (int i = 0; i < 20; ++i) a.push_back(text(std::to_string(i).c_str()));
    const char *kept = a[5].bytes.data();
    a.push_back(a[5]); // an item of the list itself, copied while the list grows
    ASSERT_EQ(a.size(), 21u);
    EXPECT_STREQ(a[20].bytes.data(), "5");
    EXPECT_EQ(a[5].bytes.data(), kept) << "growth moves the text buffers, never copies them";

    ItemList b = a;
    a.erase(a.begin() + 3);
    ASSERT_EQ(a.size(), 20u);
    EXPECT_STREQ(a[3].bytes.data(), "4");
    EXPECT_STREQ(a.back().bytes.data(), "5");
    ASSERT_EQ(b.size(), 21u);
    EXPECT_STREQ(b[3].bytes.data(), "3");
    EXPECT_NE(b[5].bytes.data(), a[4].bytes.data()) << "a copy has texts of its own";

    size_t room = b.capacity();
    b.clear();
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b.capacity(), room);
    b = std::move(a);
    EXPECT_EQ(b.size(), 20u);
    EXPECT_TRUE(a.empty());
}

} // namespace
