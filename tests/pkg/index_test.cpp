// Every index kind: order, insert rules, lookups, walks that survive
// deletion, NULL and mismatched handles.
#include "host_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace idx = tvh::idx;

namespace {

void *val(uintptr_t v) {
    return reinterpret_cast<void *>(v);
}

VS_UUID uuid(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3) {
    VS_UUID u;
    uint32_t w[4] = {w0, w1, w2, w3};
    memcpy(&u, w, sizeof u);
    return u;
}

TEST(IDIndex, AscendingByFourWordsAndInsertReplaces) {
    void *ix = idx::createID();
    // Word 0 decides before word 1, and words compare unsigned.
    VS_UUID keys[] = {uuid(2, 0, 0, 0), uuid(1, 0xFFFFFFFF, 0, 0), uuid(0x80000000u, 0, 0, 0),
                      uuid(1, 5, 0, 0), uuid(1, 5, 0, 1)};
    for (uintptr_t i = 0; i < 5; ++i)
        ASSERT_TRUE(idx::insertID(ix, &keys[i], val(i + 1)));
    EXPECT_TRUE(idx::insertID(ix, &keys[0], val(100))); // replaces
    EXPECT_EQ(idx::count(ix), 5u);
    EXPECT_EQ(idx::findID(ix, &keys[0]), val(100));
    std::vector<void *> order;
    VS_UUID k;
    for (void *v = idx::firstID(ix, &k); v; v = idx::nextID(ix, &k)) {
        order.push_back(v);
        EXPECT_EQ(idx::findID(ix, &k), v);
    }
    EXPECT_EQ(order, (std::vector<void *>{val(4), val(5), val(2), val(100), val(3)}));
    EXPECT_EQ(idx::delID(ix, &keys[1]), val(2));
    EXPECT_EQ(idx::delID(ix, &keys[1]), nullptr);
    EXPECT_EQ(idx::findID(ix, &keys[1]), nullptr);
    EXPECT_FALSE(idx::insertID(ix, &keys[1], nullptr)); // NULL means absent: never stored
    EXPECT_FALSE(idx::insertID(ix, nullptr, val(1)));
    idx::delAll(ix);
    EXPECT_EQ(idx::count(ix), 0u);
    EXPECT_EQ(idx::firstID(ix, &k), nullptr);
    idx::destroy(ix);
}

TEST(IntIndex, SignedLexicographicOrderAndDuplicateRefusal) {
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        void *ix = idx::createInt(n);
        ASSERT_NE(ix, nullptr);
        std::mt19937_64 rng(12345 + n);
        std::set<std::vector<int64_t>> model;
        for (int i = 0; i < 2000; ++i) {
            VS_UWORD k[3];
            std::vector<int64_t> mk;
            for (int j = 0; j < n; ++j) {
                int64_t v = static_cast<int64_t>(rng() % 7) - 3; // small range: many repeats and negatives
                if (rng() % 50 == 0) v = (rng() & 1) ? INT64_MIN : INT64_MAX;
                k[j] = static_cast<VS_UWORD>(v);
                mk.push_back(v);
            }
            bool fresh = model.insert(mk).second;
            void *before = idx::findInt(ix, n, k);
            EXPECT_EQ(idx::insertInt(ix, n, k, val(i + 1)) != 0, fresh);
            if (!fresh) {
                EXPECT_EQ(idx::findInt(ix, n, k), before); // unchanged
            }
        }
        EXPECT_EQ(idx::count(ix), model.size());
        VS_UWORD k[3] = {0, 0, 0};
        auto it = model.begin();
        for (void *v = idx::firstInt(ix, n, k); v; v = idx::nextInt(ix, n, k), ++it) {
            ASSERT_NE(it, model.end());
            for (int j = 0; j < n; ++j)
                EXPECT_EQ(static_cast<int64_t>(k[j]), (*it)[j]);
        }
        EXPECT_EQ(it, model.end());
        // A key count that does not match the index is refused.
        VS_UWORD four[3] = {1, 2, 3};
        int other = n == 3 ? 1 : n + 1;
        EXPECT_FALSE(idx::insertInt(ix, other, four, val(1)));
        EXPECT_EQ(idx::firstInt(ix, other, four), nullptr);
        idx::destroy(ix);
    }
    EXPECT_EQ(idx::createInt(0), nullptr);
    EXPECT_EQ(idx::createInt(4), nullptr);
}

TEST(IntIndex, ThreeKeyStampsAndTheFindDeleteInsertReplacement) {
    void *ix = idx::createInt(3);
    // (low 32 bits of a tick, high 32 bits, sequence), unsigned halves zero-extended.
    VS_UWORD a[3] = {0xFFFFFFFFu, 1, 7}, b[3] = {0, 2, 1}, c[3] = {0xFFFFFFFFu, 1, 8};
    ASSERT_TRUE(idx::insertInt(ix, 3, b, val(2)));
    ASSERT_TRUE(idx::insertInt(ix, 3, a, val(1)));
    ASSERT_TRUE(idx::insertInt(ix, 3, c, val(3)));
    EXPECT_FALSE(idx::insertInt(ix, 3, a, val(9))); // detectable refusal
    EXPECT_EQ(idx::findInt(ix, 3, a), val(1));
    // Replacing an entry takes find, delete and insert.
    ASSERT_EQ(idx::delInt(ix, 3, a), val(1));
    ASSERT_TRUE(idx::insertInt(ix, 3, a, val(9)));
    std::vector<void *> order;
    VS_UWORD k[3];
    for (void *v = idx::firstInt(ix, 3, k); v; v = idx::nextInt(ix, 3, k))
        order.push_back(v);
    EXPECT_EQ(order, (std::vector<void *>{val(2), val(9), val(3)}));
    idx::destroy(ix);
}

TEST(IDExIndex, DescendingByTwoWordsThenExtraKeyAndInsertReplaces) {
    void *ix = idx::createIDEx();
    auto key = [](uint64_t v1, uint64_t v2) {
        VS_UUID u;
        memcpy(reinterpret_cast<char *>(&u), &v1, 8);
        memcpy(reinterpret_cast<char *>(&u) + 8, &v2, 8);
        return u;
    };
    VS_UUID k1 = key(1, 0), k2 = key(0, ~0ull), k3 = key(~0ull, 0);
    ASSERT_TRUE(idx::insertIDEx(ix, &k1, 0, val(1)));
    ASSERT_TRUE(idx::insertIDEx(ix, &k1, 5, val(2)));
    ASSERT_TRUE(idx::insertIDEx(ix, &k2, 0, val(3)));
    ASSERT_TRUE(idx::insertIDEx(ix, &k3, 0, val(4)));
    ASSERT_TRUE(idx::insertIDEx(ix, &k1, 5, val(5))); // replaces
    EXPECT_EQ(idx::count(ix), 4u);
    EXPECT_EQ(idx::findIDEx(ix, &k1, 5), val(5));
    EXPECT_EQ(idx::findIDEx(ix, &k1, 6), nullptr);
    std::vector<void *> order;
    std::vector<VS_UWORD> extras;
    VS_UUID k;
    VS_UWORD e;
    for (void *v = idx::firstIDEx(ix, &k, &e); v; v = idx::nextIDEx(ix, &k, &e)) {
        order.push_back(v);
        extras.push_back(e);
        EXPECT_EQ(idx::findIDEx(ix, &k, e), v);
    }
    EXPECT_EQ(order, (std::vector<void *>{val(4), val(5), val(1), val(3)}));
    EXPECT_EQ(extras, (std::vector<VS_UWORD>{0, 5, 0, 0}));
    EXPECT_EQ(idx::delIDEx(ix, &k1, 0), val(1));
    EXPECT_EQ(idx::count(ix), 3u);
    idx::destroy(ix);
}

TEST(StringIndex, ByteOrderDuplicatesAndKeyLength) {
    void *ix = idx::createString(8);
    const char *keys[] = {"b", "a", "\xc3\xa9", "B", "ab", ""};
    for (uintptr_t i = 0; i < 6; ++i)
        ASSERT_TRUE(idx::insertString(ix, keys[i], val(i + 1))) << keys[i];
    EXPECT_FALSE(idx::insertString(ix, "a", val(9)));         // existing
    EXPECT_TRUE(idx::insertString(ix, "1234567", val(10)));   // 7 bytes: fits
    EXPECT_FALSE(idx::insertString(ix, "12345678", val(11))); // MaxKeyLength bytes: refused
    EXPECT_EQ(idx::findString(ix, "12345678"), nullptr);
    EXPECT_EQ(idx::findString(ix, "a"), val(2));
    std::vector<std::string> order;
    const char *k = nullptr;
    for (void *v = idx::firstString(ix, &k); v; v = idx::nextString(ix, &k))
        order.push_back(k);
    // Unsigned bytes: "\xc3\xa9" sorts after ASCII.
    EXPECT_EQ(order, (std::vector<std::string>{"", "1234567", "B", "a", "ab", "b", "\xc3\xa9"}));
    EXPECT_EQ(idx::delString(ix, "ab"), val(5));
    EXPECT_EQ(idx::delString(ix, "ab"), nullptr);
    EXPECT_FALSE(idx::insertString(ix, nullptr, val(1)));
    EXPECT_EQ(idx::createString(0), nullptr);
    idx::destroy(ix);
}

// Deleting the entry just returned, or others, never breaks the walk.
TEST(Indexes, DeleteDuringWalk) {
    void *ix = idx::createInt(1);
    for (uintptr_t i = 0; i < 10; ++i)
        idx::insertInt(ix, 1, reinterpret_cast<VS_UWORD *>(&i), val(i + 1));
    std::vector<VS_UWORD> seen;
    VS_UWORD k;
    for (void *v = idx::firstInt(ix, 1, &k); v; v = idx::nextInt(ix, 1, &k)) {
        seen.push_back(k);
        EXPECT_EQ(idx::delInt(ix, 1, &k), v); // the current one
        VS_UWORD nextOdd = k + 1;
        if (k % 2 == 0) idx::delInt(ix, 1, &nextOdd); // and the one after it
    }
    EXPECT_EQ(seen, (std::vector<VS_UWORD>{0, 2, 4, 6, 8}));
    EXPECT_EQ(idx::count(ix), 0u);
    idx::destroy(ix);

    void *sx = idx::createString(128);
    const char *names[] = {"a", "b", "c"};
    for (const char *n : names)
        idx::insertString(sx, n, val(1));
    std::vector<std::string> got;
    const char *key;
    for (void *v = idx::firstString(sx, &key); v; v = idx::nextString(sx, &key)) {
        idx::delString(sx, key);
        got.push_back(key); // still readable after its entry went
    }
    EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "c"}));
    idx::destroy(sx);

    void *ux = idx::createID();
    for (uint32_t i = 0; i < 5; ++i) {
        VS_UUID u = uuid(i, 0, 0, 0);
        idx::insertID(ux, &u, val(i + 1));
    }
    int n = 0;
    VS_UUID u;
    for (void *v = idx::firstID(ux, &u); v; v = idx::nextID(ux, &u)) {
        idx::delID(ux, &u);
        ++n;
    }
    EXPECT_EQ(n, 5);
    idx::destroy(ux);
}

TEST(Indexes, NullAndWrongKindHandlesAreHarmless) {
    VS_UUID u{};
    VS_UWORD k[3] = {0, 0, 0};
    const char *s = nullptr;
    VS_UWORD e = 0;
    idx::destroy(nullptr);
    idx::delAll(nullptr);
    EXPECT_EQ(idx::count(nullptr), 0u);
    EXPECT_FALSE(idx::insertID(nullptr, &u, val(1)));
    EXPECT_EQ(idx::findID(nullptr, &u), nullptr);
    EXPECT_EQ(idx::delID(nullptr, &u), nullptr);
    EXPECT_EQ(idx::firstID(nullptr, &u), nullptr);
    EXPECT_EQ(idx::nextID(nullptr, &u), nullptr);
    EXPECT_FALSE(idx::insertInt(nullptr, 1, k, val(1)));
    EXPECT_EQ(idx::findInt(nullptr, 2, k), nullptr);
    EXPECT_EQ(idx::delInt(nullptr, 3, k), nullptr);
    EXPECT_EQ(idx::firstInt(nullptr, 1, k), nullptr);
    EXPECT_EQ(idx::nextInt(nullptr, 1, k), nullptr);
    EXPECT_FALSE(idx::insertIDEx(nullptr, &u, 0, val(1)));
    EXPECT_EQ(idx::findIDEx(nullptr, &u, 0), nullptr);
    EXPECT_EQ(idx::delIDEx(nullptr, &u, 0), nullptr);
    EXPECT_EQ(idx::firstIDEx(nullptr, &u, &e), nullptr);
    EXPECT_EQ(idx::nextIDEx(nullptr, &u, &e), nullptr);
    EXPECT_FALSE(idx::insertString(nullptr, "a", val(1)));
    EXPECT_EQ(idx::findString(nullptr, "a"), nullptr);
    EXPECT_EQ(idx::delString(nullptr, "a"), nullptr);
    EXPECT_EQ(idx::firstString(nullptr, &s), nullptr);
    EXPECT_EQ(idx::nextString(nullptr, &s), nullptr);

    // An index of another kind answers like an empty one and is not touched.
    void *ix = idx::createID();
    ASSERT_TRUE(idx::insertID(ix, &u, val(1)));
    EXPECT_FALSE(idx::insertString(ix, "a", val(1)));
    EXPECT_FALSE(idx::insertInt(ix, 1, k, val(1)));
    EXPECT_EQ(idx::firstIDEx(ix, &u, &e), nullptr);
    EXPECT_EQ(idx::count(ix), 1u);
    // A walk that was never started, or has ended, gives nothing.
    EXPECT_EQ(idx::nextID(ix, &u), nullptr);
    EXPECT_EQ(idx::firstID(ix, nullptr), val(1)); // key out optional
    EXPECT_EQ(idx::nextID(ix, nullptr), nullptr);
    EXPECT_EQ(idx::nextID(ix, nullptr), nullptr);
    idx::destroy(ix);
}

} // namespace
