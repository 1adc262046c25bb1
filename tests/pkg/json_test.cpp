// JSON text of packages: round trips, number rules, double formatting,
// escaping, what has no JSON form, the value text, and bad input.
#include "pkg_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

TEST(Json, RoundTripKeepsOrderAndRepeatedKeys) {
    const char *texts[] = {
        "[]",
        "{}",
        "[1,2,3]",
        "{\"b\":1,\"a\":2,\"b\":3}",
        "{\"z\":[1,{\"y\":null,\"y\":true}],\"a\":false}",
        "[null,\"\",[],{},[[]]]",
        "[-2147483648,2147483647,2147483648,-2147483649,9223372036854775807,-9223372036854775808]",
        "[0.5,-0.0,1.0,1e+300,0.1]",
    };
    for (const char *t : texts)
        EXPECT_EQ(roundTrip(t), t);
}

TEST(Json, FromJSonBuildsTypedItemsAndDictMarks) {
    Pkg p;
    ASSERT_TRUE(p->FromJSon(" { \"k\" : [ 1 , 2.5, \"s\", null, true ], \"n\": {\"x\":1} } "));
    EXPECT_TRUE(p->IsDict());
    ASSERT_EQ(p->GetNumber(), 4);
    EXPECT_STREQ(p->GetStr(0), "k");
    VS_PARAPKGPTR list = p->GetParaPackage(1);
    ASSERT_NE(list, nullptr);
    EXPECT_FALSE(list->IsDict());
    const VS_INT32 types[] = {VSTYPE_INT32, VSTYPE_DOUBLE, VSTYPE_STRING, VSTYPE_EMPTY, VSTYPE_BOOL};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(list->GetType(i), types[i]) << i;
    EXPECT_TRUE(p->GetParaPackage(3)->IsDict());
    EXPECT_EQ(p->FindDict("n"), 3);
    // A top-level array makes a list again.
    ASSERT_TRUE(p->FromJSon("[1]"));
    EXPECT_FALSE(p->IsDict());
    EXPECT_EQ(p->GetNumber(), 1);
}

TEST(Json, NumberTypes) {
    struct Case {
        const char *text;
        VS_INT32 type;
        double value;
    } cases[] = {
        {"[0]", VSTYPE_INT32, 0},
        {"[-0]", VSTYPE_INT32, 0},
        {"[2147483647]", VSTYPE_INT32, 2147483647.0},
        {"[-2147483648]", VSTYPE_INT32, -2147483648.0},
        {"[2147483648]", VSTYPE_INT64, 2147483648.0},
        {"[4294967295]", VSTYPE_INT64, 4294967295.0},
        {"[-2147483649]", VSTYPE_INT64, -2147483649.0},
        {"[9223372036854775807]", VSTYPE_INT64, 9223372036854775807.0},
        {"[9223372036854775808]", VSTYPE_DOUBLE, 9223372036854775808.0},
        {"[18446744073709551616]", VSTYPE_DOUBLE, 18446744073709551616.0},
        {"[1.0]", VSTYPE_DOUBLE, 1.0},
        {"[1e2]", VSTYPE_DOUBLE, 100.0},
        {"[-1.5E-3]", VSTYPE_DOUBLE, -0.0015},
    };
    for (const Case &c : cases) {
        Pkg p;
        ASSERT_TRUE(p->FromJSon(c.text)) << c.text;
        EXPECT_EQ(p->GetType(0), c.type) << c.text;
        EXPECT_EQ(p->GetFloat(0), c.value) << c.text;
    }
    Pkg p;
    ASSERT_TRUE(p->FromJSon("[9223372036854775807,-9223372036854775808]"));
    EXPECT_EQ(p->GetInt64(0), std::numeric_limits<VS_INT64>::max());
    EXPECT_EQ(p->GetInt64(1), std::numeric_limits<VS_INT64>::min());
}

TEST(Json, DoubleFormatting) {
    struct Case {
        double v;
        const char *text;
    } cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {-42.0, "-42.0"},
        {0.5, "0.5"},
        {0.1, "0.1"},                                      // %.15g is enough
        {1.0 / 3.0, "0.3333333333333333"},                 // needs %.16g
        {0.1 + 0.2, "0.30000000000000004"},                // needs %.17g
        {123456789012345.0, "123456789012345.0"},          // integral: ".0"
        {1234567890123456789.0, "1.2345678901234568e+18"}, // exponent: no ".0"
        {1e300, "1e+300"},
        {1e15, "1e+15"},                                   // %.15g is the shortest text
        {1234567890123450.0, "1234567890123450.0"},        // %.16g is shorter than %.15g's exponent form
        {12345678901234560.0, "12345678901234560.0"},      // %.17g is shorter than %.16g's exponent form
        {18014398509481984.0, "18014398509481984.0"},      // only %.17g reads back
        {5e-324, "4.94065645841247e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tvh::pkg::formatDouble(c.v), c.text);
        Pkg p;
        p->InsertFloat(0, c.v);
        EXPECT_EQ(jsonOf(p.get()), std::string("[") + c.text + "]");
        // What is written reads back as the same double.
        Pkg q;
        ASSERT_TRUE(q->FromJSon(jsonOf(p.get()).c_str())) << c.text;
        EXPECT_EQ(q->GetType(0), VSTYPE_DOUBLE) << c.text;
        EXPECT_EQ(q->GetFloat(0), c.v) << c.text;
        EXPECT_EQ(std::signbit(q->GetFloat(0)), std::signbit(c.v)) << c.text;
    }
    // JSON has no form for a non-finite double: a null would read back as
    // another value. The value text (display only) shows null.
    const double nonFinite[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity()};
    for (double v : nonFinite) {
        Pkg p, inner;
        p->InsertFloat(0, 1.0);
        inner->InsertFloat(0, v);
        p->InsertParaPackage(1, inner.get());
        EXPECT_EQ(jsonOf(p.get()), "<none>") << v;
        EXPECT_EQ(jsonOf(p.get(), true), "[1.0,[null]]") << v;
    }
}

TEST(Json, StringEscaping) {
    struct Case {
        std::string in;
        const char *out;
    } cases[] = {
        {"plain", "[\"plain\"]"},
        {"q\"b\\", "[\"q\\\"b\\\\\"]"},
        {"\b\f\n\r\t", "[\"\\b\\f\\n\\r\\t\"]"},
        {std::string("\x01\x1f\0", 3), "[\"\\u0001\\u001F\\u0000\"]"},
        {"/\x7f", "[\"/\x7f\"]"},
        {"caf\xc3\xa9 \xff", "[\"caf\xc3\xa9 \xff\"]"}, // other bytes unchanged
    };
    for (const Case &c : cases) {
        Pkg p;
        p->InsertStrEx(0, c.in.data(), static_cast<VS_INT32>(c.in.size()));
        std::string json = jsonOf(p.get());
        EXPECT_EQ(json, c.out);
        Pkg q;
        ASSERT_TRUE(q->FromJSon(json.c_str())) << c.out;
        VS_INT32 len = 0;
        const VS_CHAR *s = q->GetStrEx(0, &len);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::string(s, len), c.in) << c.out;
    }
    // Escapes in keys too, and \u escapes are decoded on reading.
    Pkg d;
    ASSERT_TRUE(d->FromJSon("{\"a\\nb\":\"\\u00e9\\u0041\"}"));
    EXPECT_STREQ(d->GetStr(0), "a\nb");
    EXPECT_STREQ(d->GetStr(1), "\xc3\xa9"
                               "A");
    EXPECT_EQ(jsonOf(d.get()), "{\"a\\nb\":\"\xc3\xa9"
                               "A\"}");
}

TEST(Json, ItemsWithoutJsonFormGiveNoText) {
    auto noText = [](auto fill) {
        Pkg p, inner;
        p->InsertInt(0, 1);
        inner->InsertInt(0, 1);
        fill(inner.get());
        p->InsertParaPackage(1, inner.get()); // checked at depth too
        return jsonOf(p.get()) == "<none>";
    };
    EXPECT_TRUE(noText([](VS_PARAPKGPTR p) { p->InsertBin(1, reinterpret_cast<const VS_INT8 *>("x"), 1); }));
    EXPECT_TRUE(noText([](VS_PARAPKGPTR p) { p->InsertTime(1, 5); }));
    EXPECT_TRUE(noText([](VS_PARAPKGPTR p) {
        p->AsDict(VS_TRUE); // key 1 is an integer
    }));
    EXPECT_FALSE(noText([](VS_PARAPKGPTR p) { p->InsertEmpty(1); }));
    // A dict whose last key has no value writes null for it.
    Pkg d;
    d->AsDict(VS_TRUE);
    d->InsertStr(0, "a");
    d->InsertInt(1, 1);
    d->InsertStr(2, "b");
    EXPECT_EQ(jsonOf(d.get()), "{\"a\":1,\"b\":null}");
    // Integers and bools.
    Pkg l;
    l->InsertInt64(0, -5);
    l->InsertBool(1, VS_FALSE);
    l->InsertBool(2, VS_TRUE);
    l->InsertEmpty(3);
    EXPECT_EQ(jsonOf(l.get()), "[-5,false,true,null]");
}

TEST(Json, ValueTextNeverFails) {
    Pkg p, inner;
    p->AsDict(VS_TRUE);
    p->InsertStr(0, "bin");
    p->InsertBin(1, reinterpret_cast<const VS_INT8 *>("abc"), 3);
    p->InsertStr(2, "time");
    p->InsertTime(3, 1700000000000LL);
    p->InsertInt(4, 7); // non-string key: its text
    inner->InsertFloat(0, 2.0);
    p->InsertParaPackage(5, inner.get());
    p->InsertStr(6, "dangling");
    EXPECT_EQ(jsonOf(p.get(), true),
              "{\"bin\":\"<binary 3 bytes>\",\"time\":1700000000000,\"7\":[2.0],\"dangling\":null}");
    EXPECT_EQ(jsonOf(p.get(), false), "<none>");
    p->FreeBuf(nullptr); // harmless
}

TEST(Json, BadTextIsRefusedAndLeavesThePackageEmpty) {
    const char *bad[] = {
        "",           "1",     "\"s\"",      "null",       "true",      "[1,]",    "[1",   "{\"a\"}",
        "{\"a\":1,}", "{1:2}", "[1] [2]",    "[1] x",      "[\"\\x\"]", "[01]",    "[1.]", "[.5]",
        "[+1]",       "[NaN]", "[Infinity]", "[\"a\nb\"]", "{\"a\":}",  "[1e400]", "]",    "[\"\\ud800\"]",
        // digits just above the largest double, which would round to infinity
        "[1e309]", "[1.7976931348623159e308]", "[-1.7976931348623159e308]",
    };
    for (const char *t : bad) {
        Pkg p;
        p->InsertInt(0, 1);
        p->AsDict(VS_TRUE);
        EXPECT_FALSE(p->FromJSon(t)) << t;
        EXPECT_EQ(p->GetNumber(), 0) << t;
    }
    Pkg p;
    p->InsertInt(0, 1);
    EXPECT_FALSE(p->FromJSon(nullptr));
    EXPECT_EQ(p->GetNumber(), 0);
}

// A refused text leaves its reason for the caller: where reading stopped
// (bytes from the start) and why; the next read, or another package, has none.
TEST(Json, BadTextKeepsTheReasonAndTheOffset) {
    struct Case {
        const char *text, *why;
    } cases[] = {
        {"{\"a\":1,}", "invalid JSON at offset 7: Missing a name for object member."},
        {"[1,2", "invalid JSON at offset 4: Missing a comma or ']' after an array element."},
        {"", "invalid JSON at offset 0: The document is empty."},
        {"[1] x", "invalid JSON at offset 4: The document root must not be followed by other values."},
        {"5", "invalid JSON at offset 0: The top level is no array or object."},
        {"[1e999]", "invalid JSON at offset 1: Number too big to be stored in double."},
        {"[1.7976931348623159e308]", "invalid JSON at offset 1: A number is out of the range of a double."},
        {"{\"q\" 1}", "invalid JSON at offset 5: Missing a colon after a name of object member."},
    };
    for (const Case &c : cases) {
        Pkg p;
        EXPECT_FALSE(p->FromJSon(c.text)) << c.text;
        const VS_CHAR *why = p->GetJSonError();
        EXPECT_STREQ(why != nullptr ? why : "<none>", c.why) << c.text;
    }
    std::string deep(tvh::pkg::kMaxJsonDepth + 1, '[');
    Pkg p, other;
    EXPECT_FALSE(p->FromJSon(deep.c_str()));
    EXPECT_STREQ(p->GetJSonError(), "invalid JSON at offset 1000: Arrays and objects nest too deep.");
    EXPECT_EQ(other->GetJSonError(), nullptr) << "the reason belongs to the package read into";
    EXPECT_FALSE(p->FromJSon(nullptr));
    EXPECT_STREQ(p->GetJSonError(), "no text");
    EXPECT_TRUE(p->FromJSon("[1]"));
    EXPECT_EQ(p->GetJSonError(), nullptr) << "a good read leaves no reason";
    ASSERT_TRUE(p->SetReadOnly("k", VS_TRUE));
    EXPECT_FALSE(p->FromJSon("[2]"));
    EXPECT_STREQ(p->GetJSonError(), "the package is read-only");
    EXPECT_EQ(p->GetNumber(), 1);
    EXPECT_TRUE(p->SetReadOnly("k", VS_FALSE));
}

// The text may live inside the package being read into (a string item of
// its own): it is read completely before the old items go.
TEST(Json, FromJSonOfTheTargetsOwnText) {
    Pkg p;
    p->InsertStr(0, "{\"k\":[1,\"long enough to live on the heap\"]}");
    p->InsertStr(1, "[1,");
    ASSERT_TRUE(p->FromJSon(p->GetStr(0)));
    EXPECT_EQ(jsonOf(p.get()), "{\"k\":[1,\"long enough to live on the heap\"]}");
    Pkg q;
    q->InsertStr(0, "[1,");
    EXPECT_FALSE(q->FromJSon(q->GetStr(0)));
    EXPECT_EQ(q->GetNumber(), 0);
    // A nested package's text, read into its parent, which frees it.
    Pkg r, inner;
    inner->InsertStr(0, "[true]");
    r->InsertParaPackage(0, inner.get());
    VS_PARAPKGPTR held = r->GetParaPackage(0);
    ASSERT_TRUE(r->FromJSon(held->GetStr(0)));
    EXPECT_EQ(jsonOf(r.get()), "[true]");
}

TEST(Json, DeepNestingIsBoundedAndNeverOverflowsTheStack) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    long long before = tvh::counters().LivePackages;
    EXPECT_EQ(roundTrip(nested(tvh::pkg::kMaxJsonDepth).c_str()), nested(tvh::pkg::kMaxJsonDepth));
    EXPECT_EQ(roundTrip(nested(tvh::pkg::kMaxJsonDepth + 1).c_str()), "<refused>");
    EXPECT_EQ(roundTrip(std::string(1000000, '[').c_str()), "<refused>");
    EXPECT_EQ(tvh::counters().LivePackages, before);

    // A deep chain built by hand is written without recursion as well.
    Pkg head;
    VS_PARAPKGPTR cur = head.get();
    for (int i = 0; i < 100000; ++i) {
        VS_PARAPKGPTR next = tvh::newParaPkg();
        cur->InsertParaPackage(0, next);
        next->Release();
        cur = next;
    }
    EXPECT_EQ(jsonOf(head.get()), nested(100001));
    Pkg copy(head->Dup());
    EXPECT_TRUE(copy->Equals(head.get()));
}

} // namespace
