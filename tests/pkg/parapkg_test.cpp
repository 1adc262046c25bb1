// Parameter package semantics: insert rule, readers, deletion, dictionaries,
// copies, comparison, read-only lock, references and cycles.
#include "pkg_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

TEST(ParaPkg, InsertAppendsReplacesAndRefusesOutOfRange) {
    Pkg p;
    EXPECT_EQ(p->GetNumber(), 0);
    EXPECT_TRUE(p->InsertInt(0, 7));     // append
    EXPECT_TRUE(p->InsertStr(1, "x"));   // append
    EXPECT_FALSE(p->InsertInt(3, 1));    // gap
    EXPECT_FALSE(p->InsertInt(-1, 1));   // negative
    EXPECT_TRUE(p->InsertFloat(0, 2.5)); // replace
    ASSERT_EQ(p->GetNumber(), 2);
    EXPECT_EQ(p->GetType(0), VSTYPE_DOUBLE);
    EXPECT_EQ(p->GetFloat(0), 2.5);
    EXPECT_STREQ(p->GetStr(1), "x");
    // Out of range reads are empty, never a crash.
    EXPECT_EQ(p->GetType(2), VSTYPE_EMPTY);
    EXPECT_EQ(p->GetType(-5), VSTYPE_EMPTY);
    EXPECT_EQ(p->GetInt(99), 0);
    EXPECT_EQ(p->GetStr(99), nullptr);
    EXPECT_EQ(p->GetParaPackage(-1), nullptr);
    EXPECT_EQ(p->GetObject(7), nullptr);
    VS_INT32 len = 42;
    EXPECT_EQ(p->GetBin(99, &len), nullptr);
    EXPECT_EQ(len, 0);
}

TEST(ParaPkg, EveryItemTypeIsStoredWithItsCode) {
    Pkg p, inner;
    const VS_INT8 bin[3] = {1, 0, 2};
    ASSERT_TRUE(p->InsertEmpty(0));
    ASSERT_TRUE(p->InsertInt(1, -3));
    ASSERT_TRUE(p->InsertFloat(2, 0.5));
    ASSERT_TRUE(p->InsertBin(3, bin, 3));
    ASSERT_TRUE(p->InsertStr(4, "s"));
    ASSERT_TRUE(p->InsertTime(5, 1700000000123LL));
    ASSERT_TRUE(p->InsertBool(6, VS_TRUE));
    ASSERT_TRUE(p->InsertObject(7, nullptr)); // NULL object: an empty item
    ASSERT_TRUE(p->InsertParaPackage(8, inner.get()));
    ASSERT_TRUE(p->InsertInt64(9, 1LL << 40));
    const VS_INT32 want[] = {0, 1, 2, 3, 4, 5, 6, 0, 8, 9};
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(p->GetType(i), want[i]) << "item " << i;
    VS_INT32 len = 0;
    const VS_INT8 *b = p->GetBin(3, &len);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(memcmp(b, bin, 3), 0);
    EXPECT_EQ(p->GetTime(5), 1700000000123LL);
    EXPECT_EQ(p->GetParaPackage(8), inner.get());
}

TEST(ParaPkg, ReadersConvertAmongNumbersAndBool) {
    Pkg p;
    p->InsertInt(0, -7);
    p->InsertInt64(1, 0x1234567887654321LL);
    p->InsertFloat(2, -3.9);
    p->InsertBool(3, VS_TRUE);
    p->InsertStr(4, "12");
    p->InsertTime(5, 99);
    p->InsertFloat(6, 1e300);
    p->InsertFloat(7, std::nan(""));
    EXPECT_EQ(p->GetInt64(0), -7);
    EXPECT_EQ(p->GetFloat(0), -7.0);
    EXPECT_TRUE(p->GetBool(0));
    EXPECT_EQ(p->GetInt(1), static_cast<VS_INT32>(0x87654321u)); // low 32 bits
    EXPECT_EQ(p->GetInt(2), -3);                                 // truncated
    EXPECT_EQ(p->GetInt64(2), -3);
    EXPECT_EQ(p->GetInt(3), 1);
    EXPECT_EQ(p->GetFloat(3), 1.0);
    // Strings and times do not convert.
    EXPECT_EQ(p->GetInt(4), 0);
    EXPECT_FALSE(p->GetBool(4));
    EXPECT_EQ(p->GetInt64(5), 0);
    EXPECT_EQ(p->GetTime(0), 0);
    EXPECT_EQ(p->GetStr(0), nullptr);
    // Doubles out of range saturate instead of overflowing.
    EXPECT_EQ(p->GetInt(6), std::numeric_limits<VS_INT32>::max());
    EXPECT_EQ(p->GetInt64(6), std::numeric_limits<VS_INT64>::max());
    EXPECT_EQ(p->GetInt(7), 0);
}

TEST(ParaPkg, StringsKeepEmbeddedZeroBytesAndBadLengthsAreRefused) {
    Pkg p;
    ASSERT_TRUE(p->InsertStrEx(0, "a\0b", 3));
    VS_INT32 len = 0;
    const VS_CHAR *s = p->GetStrEx(0, &len);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(std::string(s, 3), std::string("a\0b", 3));
    EXPECT_EQ(s[3], 0); // always terminated
    EXPECT_FALSE(p->InsertStrEx(1, "abc", -1));
    EXPECT_FALSE(p->InsertStrEx(1, nullptr, 4));
    EXPECT_FALSE(p->InsertStr(1, nullptr));
    EXPECT_FALSE(p->InsertBin(1, nullptr, 4));
    EXPECT_FALSE(p->InsertBin(1, reinterpret_cast<const VS_INT8 *>("ab"), -2));
    EXPECT_TRUE(p->InsertStrEx(1, nullptr, 0)); // empty string
    EXPECT_STREQ(p->GetStr(1), "");
    EXPECT_EQ(p->GetNumber(), 2);
}

// A text handed out stays valid while its own item is unchanged, whatever
// happens to the other items (short texts too).
TEST(ParaPkg, TextPointersSurviveChangesToOtherItems) {
    Pkg p;
    p->InsertStr(0, "zero");
    p->InsertStr(1, "one");
    p->InsertBin(2, reinterpret_cast<const VS_INT8 *>("bin"), 3);
    const VS_CHAR *one = p->GetStr(1);
    VS_INT32 len = 0;
    const VS_INT8 *bin = p->GetBin(2, &len);
    for (int i = 3; i < 1000; ++i)
        p->InsertInt(i, i);
    ASSERT_TRUE(p->Del(0));
    ASSERT_TRUE(p->InsertStr(p->GetNumber(), "tail"));
    EXPECT_EQ(p->GetStr(0), one);
    EXPECT_STREQ(one, "one");
    EXPECT_EQ(memcmp(bin, "bin", 3), 0);
}

TEST(ParaPkg, DelMovesLaterItemsDownAndClearKeepsTheDictMark) {
    Pkg p;
    for (int i = 0; i < 4; ++i)
        p->InsertInt(i, i * 10);
    EXPECT_TRUE(p->Del(1));
    EXPECT_FALSE(p->Del(3));
    EXPECT_FALSE(p->Del(-1));
    ASSERT_EQ(p->GetNumber(), 3);
    EXPECT_EQ(p->GetInt(1), 20);
    EXPECT_EQ(p->GetInt(2), 30);
    p->AsDict(VS_TRUE);
    p->Clear();
    EXPECT_EQ(p->GetNumber(), 0);
    EXPECT_TRUE(p->IsDict());
}

TEST(ParaPkg, FindDictLooksAtEvenPositionsOnly) {
    Pkg p;
    // "b" appears first as a value (odd position), then as a key.
    p->InsertStr(0, "a");
    p->InsertStr(1, "b");
    p->InsertStr(2, "b");
    p->InsertInt(3, 2);
    p->InsertInt(4, 5); // non-string key
    p->InsertStr(5, "x");
    p->InsertStr(6, "a"); // repeated key: the first wins
    p->InsertInt(7, 9);
    p->InsertStr(8, "last"); // no value
    struct Case {
        const char *key;
        VS_INT32 want;
    } cases[] = {{"a", 1}, {"b", 3}, {"x", -1}, {"last", -1}, {"nope", -1}, {"", -1}};
    for (const Case &c : cases)
        EXPECT_EQ(p->FindDict(c.key), c.want) << c.key;
    EXPECT_EQ(p->FindDict(nullptr), -1);
    EXPECT_FALSE(p->IsDict()); // works on unmarked packages
}

TEST(ParaPkg, NestedPackagesAreHeldStrongly) {
    long long before = tvh::counters().LivePackages;
    {
        Pkg outer;
        VS_PARAPKGPTR inner = tvh::newParaPkg();
        inner->InsertInt(0, 1);
        ASSERT_TRUE(outer->InsertParaPackage(0, inner));
        inner->Release(); // outer keeps it alive
        EXPECT_EQ(tvh::counters().LivePackages, before + 2);
        EXPECT_EQ(outer->GetParaPackage(0)->GetInt(0), 1);
        // Replacing the item releases the nested package.
        outer->InsertInt(0, 5);
        EXPECT_EQ(tvh::counters().LivePackages, before + 1);
        // Del and Clear release too.
        VS_PARAPKGPTR a = tvh::newParaPkg();
        outer->InsertParaPackage(1, a);
        outer->InsertParaPackage(2, a);
        a->Release();
        EXPECT_EQ(tvh::counters().LivePackages, before + 2);
        outer->Del(1);
        EXPECT_EQ(tvh::counters().LivePackages, before + 2);
        outer->Clear();
        EXPECT_EQ(tvh::counters().LivePackages, before + 1);
    }
    EXPECT_EQ(tvh::counters().LivePackages, before);
}

TEST(ParaPkg, ReleaseOfALongChainFreesEverythingWithoutRecursion) {
    long long before = tvh::counters().LivePackages;
    VS_PARAPKGPTR head = tvh::newParaPkg();
    VS_PARAPKGPTR cur = head;
    for (int i = 0; i < 200000; ++i) {
        VS_PARAPKGPTR next = tvh::newParaPkg();
        ASSERT_TRUE(cur->InsertParaPackage(0, next));
        next->Release();
        cur = next;
    }
    EXPECT_EQ(tvh::counters().LivePackages, before + 200001);
    EXPECT_EQ(head->Release(), 0u);
    EXPECT_EQ(tvh::counters().LivePackages, before);
}

TEST(ParaPkg, CyclesAreRefusedDirectAndIndirect) {
    Pkg a, b, c;
    EXPECT_FALSE(a->InsertParaPackage(0, a.get()));
    ASSERT_TRUE(a->InsertParaPackage(0, b.get()));
    ASSERT_TRUE(b->InsertParaPackage(0, c.get()));
    EXPECT_FALSE(c->InsertParaPackage(0, a.get())); // c -> a -> b -> c
    EXPECT_FALSE(b->InsertParaPackage(1, a.get()));
    EXPECT_EQ(c->GetNumber(), 0);
    EXPECT_EQ(b->GetNumber(), 1);
    // AppendFrom must not smuggle a cycle in either: a's items hold b, which
    // would end up inside c, which b holds.
    EXPECT_FALSE(c->AppendFrom(a.get()));
    EXPECT_EQ(c->GetNumber(), 0);
    // Sharing without a cycle is fine.
    EXPECT_TRUE(a->InsertParaPackage(1, c.get()));
    EXPECT_TRUE(a->AppendFrom(a.get()));
    EXPECT_EQ(a->GetNumber(), 4);
    // Something that is not a package is refused.
    int notAPackage = 0;
    EXPECT_FALSE(a->InsertParaPackage(0, reinterpret_cast<VS_PARAPKGPTR>(&notAPackage)));
    EXPECT_FALSE(a->InsertParaPackage(0, nullptr));
    EXPECT_FALSE(a->AppendFrom(nullptr));
}

TEST(ParaPkg, AppendFromCopiesItemsAndSharesNestedPackages) {
    Pkg src, dst, inner;
    src->InsertStr(0, "k");
    src->InsertParaPackage(1, inner.get());
    src->AsDict(VS_TRUE);
    dst->InsertInt(0, 1);
    ASSERT_TRUE(dst->AppendFrom(src.get()));
    ASSERT_EQ(dst->GetNumber(), 3);
    EXPECT_STREQ(dst->GetStr(1), "k");
    EXPECT_EQ(dst->GetParaPackage(2), inner.get()); // by reference
    EXPECT_FALSE(dst->IsDict());
    src->InsertStr(0, "changed");
    EXPECT_STREQ(dst->GetStr(1), "k"); // a copy
}

TEST(ParaPkg, DupIsDeepKeepsMarksAndDropsReadOnly) {
    Pkg p, inner;
    inner->InsertStr(0, "key");
    inner->InsertFloat(1, 1.5);
    inner->AsDict(VS_TRUE);
    p->InsertParaPackage(0, inner.get());
    p->InsertParaPackage(1, inner.get()); // shared
    p->InsertBin(2, reinterpret_cast<const VS_INT8 *>("\x01\x02"), 2);
    p->SetReadOnly("k", VS_TRUE);
    Pkg d(p->Dup());
    ASSERT_NE(d.get(), nullptr);
    EXPECT_FALSE(d->IsReadOnly());
    EXPECT_TRUE(d->Equals(p.get()));
    VS_PARAPKGPTR di = d->GetParaPackage(0);
    ASSERT_NE(di, nullptr);
    EXPECT_NE(di, inner.get()); // deep
    EXPECT_TRUE(di->IsDict());
    EXPECT_EQ(d->GetParaPackage(1), di); // shared the same way as in the original
    inner->InsertFloat(1, 2.5);
    EXPECT_EQ(di->GetFloat(1), 1.5);
    EXPECT_FALSE(d->Equals(p.get()));

    // A package without nested packages is copied the same way.
    Pkg flat;
    flat->InsertStr(0, "k");
    flat->InsertInt64(1, -9);
    flat->AsDict(VS_TRUE);
    flat->SetReadOnly("k", VS_TRUE);
    Pkg f(flat->Dup());
    ASSERT_NE(f.get(), nullptr);
    EXPECT_TRUE(f->IsDict());
    EXPECT_FALSE(f->IsReadOnly());
    EXPECT_TRUE(f->Equals(flat.get()));
    EXPECT_NE(f->GetStr(0), flat->GetStr(0)); // its own bytes
    EXPECT_TRUE(f->InsertStr(0, "changed"));
    EXPECT_STREQ(flat->GetStr(0), "k");
}

TEST(ParaPkg, EqualsIsStrict) {
    auto make = [](auto fill) {
        VS_PARAPKGPTR p = tvh::newParaPkg();
        fill(p);
        return p;
    };
    struct Case {
        const char *name;
        bool equal;
        VS_PARAPKGPTR a, b;
    } cases[] = {
        {"same ints", true, make([](VS_PARAPKGPTR p) { p->InsertInt(0, 1); }),
         make([](VS_PARAPKGPTR p) { p->InsertInt(0, 1); })},
        {"int32 vs int64", false, make([](VS_PARAPKGPTR p) { p->InsertInt(0, 1); }),
         make([](VS_PARAPKGPTR p) { p->InsertInt64(0, 1); })},
        {"double", true, make([](VS_PARAPKGPTR p) { p->InsertFloat(0, 0.1); }),
         make([](VS_PARAPKGPTR p) { p->InsertFloat(0, 0.1); })},
        {"nan", false, make([](VS_PARAPKGPTR p) { p->InsertFloat(0, std::nan("")); }),
         make([](VS_PARAPKGPTR p) { p->InsertFloat(0, std::nan("")); })},
        {"string length", false, make([](VS_PARAPKGPTR p) { p->InsertStrEx(0, "a\0", 2); }),
         make([](VS_PARAPKGPTR p) { p->InsertStr(0, "a"); })},
        {"string vs binary", false, make([](VS_PARAPKGPTR p) { p->InsertStr(0, "a"); }),
         make([](VS_PARAPKGPTR p) { p->InsertBin(0, reinterpret_cast<const VS_INT8 *>("a"), 1); })},
        {"count", false, make([](VS_PARAPKGPTR p) { p->InsertInt(0, 1); }), make([](VS_PARAPKGPTR p) {
             p->InsertInt(0, 1);
             p->InsertEmpty(1);
         })},
        {"dict mark ignored", true, make([](VS_PARAPKGPTR p) { p->AsDict(VS_TRUE); }),
         make([](VS_PARAPKGPTR) {})},
        {"nested", true, make([](VS_PARAPKGPTR p) { p->FromJSon("[1,[2,{\"a\":[3]}]]"); }),
         make([](VS_PARAPKGPTR p) { p->FromJSon("[1,[2,{\"a\":[3]}]]"); })},
        {"nested differs", false, make([](VS_PARAPKGPTR p) { p->FromJSon("[1,[2,{\"a\":[3]}]]"); }),
         make([](VS_PARAPKGPTR p) { p->FromJSon("[1,[2,{\"a\":[4]}]]"); })},
        {"time", false, make([](VS_PARAPKGPTR p) { p->InsertTime(0, 5); }),
         make([](VS_PARAPKGPTR p) { p->InsertTime(0, 6); })},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.a->Equals(c.b) != 0, c.equal) << c.name;
        EXPECT_EQ(c.b->Equals(c.a) != 0, c.equal) << c.name;
        EXPECT_TRUE(c.a->Equals(c.a)) << c.name;
        c.a->Release();
        c.b->Release();
    }
    Pkg p;
    EXPECT_FALSE(p->Equals(nullptr));
}

TEST(ParaPkg, ReadOnlyRefusesEveryChangeUntilUnlockedWithTheSameKey) {
    Pkg p, other;
    p->InsertInt(0, 1);
    p->InsertStr(1, "v");
    ASSERT_TRUE(p->SetReadOnly("key1", VS_TRUE));
    EXPECT_TRUE(p->IsReadOnly());
    EXPECT_FALSE(p->SetReadOnly("key2", VS_TRUE)); // the first key stays
    EXPECT_FALSE(p->InsertInt(0, 2));
    EXPECT_FALSE(p->InsertInt(2, 2));
    EXPECT_FALSE(p->InsertStrEx(2, "x", 1));
    EXPECT_FALSE(p->InsertBin(2, reinterpret_cast<const VS_INT8 *>("x"), 1));
    EXPECT_FALSE(p->InsertParaPackage(2, other.get()));
    EXPECT_FALSE(p->InsertObject(2, nullptr));
    EXPECT_FALSE(p->Del(0));
    EXPECT_FALSE(p->AppendFrom(other.get()));
    EXPECT_FALSE(p->FromJSon("[5]"));
    p->Clear();
    p->AsDict(VS_TRUE);
    EXPECT_EQ(p->GetNumber(), 2);
    EXPECT_EQ(p->GetInt(0), 1);
    EXPECT_FALSE(p->IsDict());
    EXPECT_FALSE(p->SetReadOnly("key2", VS_FALSE));
    EXPECT_TRUE(p->IsReadOnly());
    EXPECT_TRUE(p->SetReadOnly("key1", VS_FALSE));
    EXPECT_FALSE(p->IsReadOnly());
    EXPECT_TRUE(p->InsertInt(0, 2));
    // Nested packages of a locked package stay writable; reading is allowed.
    EXPECT_EQ(other->GetParaPackage(0), nullptr);
}

TEST(ParaPkg, LivePackageCheck) {
    VS_PARAPKGPTR p = tvh::newParaPkg();
    EXPECT_TRUE(tvh::isParaPkg(p));
    EXPECT_FALSE(tvh::isParaPkg(nullptr));
    int x = 0;
    EXPECT_FALSE(tvh::isParaPkg(&x));
    EXPECT_EQ(p->AddRef(), 2u);
    EXPECT_EQ(p->Release(), 1u);
    EXPECT_EQ(p->Release(), 0u);
    EXPECT_FALSE(tvh::isParaPkg(p));
}

TEST(BinBuf, SetGrowsWithZeroGapAndTracksTheValidLength) {
    long long before = tvh::counters().LiveBinBufs;
    ClassOfXRQBinBufInterface *b = tvh::newBinBuf();
    EXPECT_TRUE(tvh::isBinBuf(b));
    EXPECT_EQ(tvh::counters().LiveBinBufs, before + 1);
    EXPECT_EQ(b->GetBuf(), nullptr);
    EXPECT_EQ(b->GetOffset(), 0);
    ASSERT_TRUE(b->Set(4, 3, reinterpret_cast<const VS_INT8 *>("abc")));
    EXPECT_EQ(b->GetOffset(), 7);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b->GetBuf()), 7), std::string("\0\0\0\0abc", 7));
    ASSERT_TRUE(b->Set(0, 2, reinterpret_cast<const VS_INT8 *>("XY"))); // inside: length unchanged
    EXPECT_EQ(b->GetOffset(), 7);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b->GetBuf()), 7), std::string("XY\0\0abc", 7));
    EXPECT_TRUE(b->Set(9, 0, nullptr)); // an empty write still extends
    EXPECT_EQ(b->GetOffset(), 9);
    // Bad input changes nothing.
    EXPECT_FALSE(b->Set(-1, 1, reinterpret_cast<const VS_INT8 *>("a")));
    EXPECT_FALSE(b->Set(0, -1, reinterpret_cast<const VS_INT8 *>("a")));
    EXPECT_FALSE(b->Set(0, 1, nullptr));
    EXPECT_FALSE(b->Set(INT32_MAX, 1, reinterpret_cast<const VS_INT8 *>("a")));
    EXPECT_EQ(b->GetOffset(), 9);
    EXPECT_EQ(b->AddRef(), 2u);
    EXPECT_EQ(b->Release(), 1u);
    EXPECT_EQ(b->Release(), 0u);
    EXPECT_FALSE(tvh::isBinBuf(b));
    EXPECT_EQ(tvh::counters().LiveBinBufs, before);
}

} // namespace
