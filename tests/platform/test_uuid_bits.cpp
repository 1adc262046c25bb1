// UUIDs (version, variant, uniqueness across threads) and the float / integer
// bit conversions.
#include "vs_platform.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

uint64_t StampOf(const VS_UUID &u)
{
    return (uint64_t)u.Data1 | ((uint64_t)u.Data2 << 32) | ((uint64_t)(u.Data3 & 0x0FFF) << 48);
}

unsigned ClockSeqOf(const VS_UUID &u)
{
    return ((unsigned)(u.Data4[0] & 0x3F) << 8) | u.Data4[1];
}

std::string Key(const VS_UUID &u)
{
    return std::string((const char *)&u, sizeof(u));
}

} // namespace

TEST(VsUuid, VersionVariantAndIncreasingStamps)
{
    static_assert(sizeof(VS_UUID) == 16, "16-byte UUID");
    VS_UUID First;
    vs_uuid_create(&First);
    VS_UUID Prev = First;
    for (int i = 0; i < 20000; i++) {
        VS_UUID u;
        vs_uuid_create(&u);
        ASSERT_GE(u.Data3, 0x1000);
        ASSERT_LE(u.Data3, 0x1FFF);
        ASSERT_GE(u.Data4[0], 0x80);
        ASSERT_LE(u.Data4[0], 0xBF);
        ASSERT_GT(StampOf(u), StampOf(Prev)) << "at " << i;
        ASSERT_EQ(ClockSeqOf(u), ClockSeqOf(Prev));
        ASSERT_EQ(memcmp(u.Data4 + 2, First.Data4 + 2, 6), 0) << "the node never changes";
        Prev = u;
    }

    // The stamp counts 100-nanosecond intervals since 1582-10-15.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t Now = (uint64_t)ts.tv_sec * 10000000ULL + (uint64_t)ts.tv_nsec / 100 + 0x01B21DD213814000ULL;
    uint64_t Stamp = StampOf(Prev);
    EXPECT_LT(Stamp > Now ? Stamp - Now : Now - Stamp, 10000000ULL * 60) << "within a minute of now";

    uuid_create_internal(nullptr);
    vs_uuid_create(nullptr);
}

TEST(VsUuid, UniqueAcrossThreads)
{
    const int PerThread = 100000;
    std::vector<VS_UUID> A(PerThread), B(PerThread);
    std::thread t1([&] {
        for (auto &u : A)
            vs_uuid_create(&u);
    });
    std::thread t2([&] {
        for (auto &u : B)
            uuid_create_internal(&u);
    });
    t1.join();
    t2.join();
    std::set<std::string> Seen;
    for (auto *v : {&A, &B})
        for (auto &u : *v)
            ASSERT_TRUE(Seen.insert(Key(u)).second) << "duplicate UUID";
    EXPECT_EQ(Seen.size(), (size_t)PerThread * 2);
}

TEST(VsBits, FloatWords)
{
    struct {
        float f;
        VS_UWORD Bits;
    } Cases[] = {
        {1.0f, 0x3F800000u}, {-1.0f, 0xBF800000u}, {0.0f, 0u}, {-0.0f, 0x80000000u},
        {0.1f, 0x3DCCCCCDu}, {std::numeric_limits<float>::infinity(), 0x7F800000u},
        {std::numeric_limits<float>::denorm_min(), 1u},
    };
    for (auto &c : Cases) {
        EXPECT_EQ(Float2UWord(c.f), c.Bits) << c.f;
        EXPECT_EQ(Float2Int64(c.f), (VS_INT64)c.Bits) << "not sign-extended";
        float Back = UWord2Float(c.Bits);
        EXPECT_EQ(memcmp(&Back, &c.f, 4), 0);
        Back = Int642Float((VS_INT64)c.Bits);
        EXPECT_EQ(memcmp(&Back, &c.f, 4), 0);
        // The high half of the word is ignored.
        Back = UWord2Float(c.Bits | 0xFFFFFFFF00000000ULL);
        EXPECT_EQ(memcmp(&Back, &c.f, 4), 0);
    }
    // A NaN keeps its payload.
    float Nan = UWord2Float(0x7FC00123u);
    EXPECT_TRUE(std::isnan(Nan));
    EXPECT_EQ(Float2UWord(Nan), 0x7FC00123u);
}

TEST(VsBits, DoubleThroughUWordIsSinglePrecision)
{
    EXPECT_EQ(Double2UWord(0.1), 0x3DCCCCCDu);
    EXPECT_EQ(UWord2Double(Double2UWord(0.1)), (double)0.1f);
    EXPECT_NE(UWord2Double(Double2UWord(0.1)), 0.1);
    for (double d : {0.0, 1.0, -2.5, 1024.0, 0.15625}) // exact in single precision
        EXPECT_EQ(UWord2Double(Double2UWord(d)), d);
    EXPECT_EQ(Double2UWord(1e300), 0x7F800000u) << "beyond single precision: infinity";
    EXPECT_EQ(UWord2Double(0xFFFFFFFF3F800000ULL), 1.0);
}

TEST(VsBits, DoubleThroughInt64IsExact)
{
    const VS_INT64 Patterns[] = {
        0, (VS_INT64)0x8000000000000000ULL, 0x3FB999999999999ALL /* 0.1 */,
        0x7FF0000000000000LL /* inf */, 0x7FF8000000000123LL /* NaN with payload */,
        0x7FF0000000000001LL /* signalling NaN */, 1 /* smallest denormal */, (VS_INT64)0xFFFFFFFFFFFFFFFFULL,
    };
    for (VS_INT64 p : Patterns)
        EXPECT_EQ(Double2Int64(Int642Double(p)), p) << std::hex << p;
    for (double d : {0.1, -1e-300, 123456789.123456789, std::numeric_limits<double>::max()})
        EXPECT_EQ(Int642Double(Double2Int64(d)), d);
    EXPECT_EQ(Double2Int64(0.1), 0x3FB999999999999ALL);
}
