// Seeded mutations of valid JSON fed to FromJSon: every text is either read
// (and then writes back the same way) or refused cleanly with an empty
// package. Nothing leaks and nothing crashes.
#include "pkg_test_util.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

const char *kSeeds[] = {
    "{\"PackageInfo\":[\"QZDataBase\",\"1.0\"],\"Value\":[[\"Type\",\"int\"],{\"a\":1,\"a\":2.5e3}]}",
    "[1,-2,3.25,\"s\\n\\u0041\",true,false,null,[],{},[[{\"k\":[\"v\"]}]]]",
    "{\"x\":{\"y\":{\"z\":[9223372036854775807,-9223372036854775808,18446744073709551616]}}}",
    "[\"caf\xc3\xa9\",\"\\\"quoted\\\"\",0.30000000000000004,1e-300]",
};

std::string mutate(std::string s, std::mt19937 &rng) {
    static const char alphabet[] = "[]{}:,\"\\01-+.eEtrunlfas \n\x01\xff";
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 5) {
        case 0: // replace a byte
            if (!s.empty() && pos < s.size()) s[pos] = alphabet[rng() % (sizeof alphabet - 1)];
            break;
        case 1: // insert a byte
            s.insert(pos, 1, alphabet[rng() % (sizeof alphabet - 1)]);
            break;
        case 2: // delete a run
            if (pos < s.size()) s.erase(pos, 1 + rng() % 4);
            break;
        case 3: // duplicate a slice
            if (pos < s.size()) s.insert(pos, s.substr(pos, 1 + rng() % 12));
            break;
        default: // truncate
            s.resize(pos);
            break;
        }
    }
    return s;
}

TEST(JsonFuzz, MutatedTextIsReadOrRefusedCleanly) {
    long long before = tvh::counters().LivePackages;
    std::mt19937 rng(20240611);
    int accepted = 0, refused = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = mutate(kSeeds[round % (sizeof kSeeds / sizeof kSeeds[0])], rng);
        Pkg p;
        p->InsertInt(0, 1);
        if (p->FromJSon(text.c_str())) {
            ++accepted;
            // Whatever was read has a JSON form that reads back equal.
            std::string json = jsonOf(p.get());
            ASSERT_NE(json, "<none>") << text;
            Pkg q;
            ASSERT_TRUE(q->FromJSon(json.c_str())) << json;
            EXPECT_TRUE(q->Equals(p.get())) << json;
            EXPECT_EQ(q->IsDict(), p->IsDict());
            EXPECT_EQ(jsonOf(q.get()), json);
        } else {
            ++refused;
            ASSERT_EQ(p->GetNumber(), 0) << text;
        }
    }
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 1000);
    EXPECT_EQ(tvh::counters().LivePackages, before);
}

} // namespace
