// The platform layer's behaviour where the systems differ, one table of
// expectations per system; the same tests run on each.
#include "vs_platform.h"

#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

namespace {

struct OsExpectations {
    VS_CHAR Separator;         // what paths reach the system with
    const char *DllErrorStart; // how a failed library load's text begins ("" when the system's own text)
    int UuidVersion;           // the generator's UUID version
    bool TicksFromEpoch;       // ticks count from 1970 (else from system start)
};

#if defined(_WIN32)
const OsExpectations kOs = {'\\', "error code = ", 4, false};
#else
const OsExpectations kOs = {'/', "", 1, true};
#endif

} // namespace

TEST(VsOsTable, FullNamesUseTheSystemsSeparator)
{
    VS_CHAR Path[VS_MAX_PATH] = "sub";
    vs_dir_tofullnameex("base", Path, sizeof(Path));
    EXPECT_EQ(std::string(Path), std::string("base") + kOs.Separator + "sub");
    strcpy(Path, "../x");
    vs_dir_tofullnameex("top/base", Path, sizeof(Path));
    EXPECT_EQ(std::string(Path), std::string("top") + kOs.Separator + "x");
}

TEST(VsOsTable, FailedLibraryLoadsReportTheSystemsError)
{
    VS_CHAR *Text = nullptr;
    EXPECT_EQ(vs_dll_openex("no_such_library_for_trelk", VS_TRUE, &Text), nullptr);
    ASSERT_NE(Text, nullptr);
    std::string Got = Text;
    ASSERT_FALSE(Got.empty());
    EXPECT_EQ(Got.compare(0, strlen(kOs.DllErrorStart), kOs.DllErrorStart), 0) << Got;
#if defined(_WIN32)
    unsigned Code = 0;
    char Tail = 0;
    EXPECT_EQ(sscanf(Got.c_str(), "error code = %u%c", &Code, &Tail), 2) << Got;
    EXPECT_EQ(Tail, '\n');
    EXPECT_NE(Code, 0u);
#endif
}

TEST(VsOsTable, UuidVersionAndVariant)
{
    VS_UUID a, b;
    vs_uuid_create(&a);
    vs_uuid_create(&b);
    EXPECT_NE(memcmp(&a, &b, sizeof(a)), 0);
    for (const VS_UUID &u : {a, b}) {
        EXPECT_EQ(u.Data3 >> 12, kOs.UuidVersion);
        EXPECT_EQ(u.Data4[0] & 0xC0, 0x80) << "the standard variant";
    }
}

TEST(VsOsTable, TickCounts)
{
    VS_INT64 Ms = vs_tm_gettickcount64();
    VS_INT64 Us = vs_tm_gettickcount_us();
    EXPECT_GE(Us / 1000, Ms);
    EXPECT_LT(Us / 1000 - Ms, 1000) << "both read the same clock";
    EXPECT_EQ(vs_tm_gettickcount() / 1000, vs_tm_gettickcount64() / 1000);
    VS_INT64 EpochMs = (VS_INT64)time(nullptr) * 1000;
    if (kOs.TicksFromEpoch)
        EXPECT_LT(llabs(Ms - EpochMs), 5000);
    else
        EXPECT_LT(Ms, EpochMs / 2) << "ticks count from system start";
}

TEST(VsOsTable, PendingSignalIsKeptForOneWait)
{
    VS_COND Cond;
    ASSERT_TRUE(vs_cond_init(&Cond));
    vs_cond_signal(&Cond);
    EXPECT_TRUE(vs_cond_timewait(&Cond, 2000)) << "given before the wait, taken by it";
    EXPECT_FALSE(vs_cond_timewait(&Cond, 50)) << "taken once";
    vs_cond_signal(&Cond);
    vs_cond_signal(&Cond);
    EXPECT_TRUE(vs_cond_timewait(&Cond, 2000));
    EXPECT_FALSE(vs_cond_timewait(&Cond, 50)) << "signals do not add up";
    vs_cond_destroy(&Cond);
}

TEST(VsOsTable, C99Formatting)
{
    VS_CHAR Buf[64];
    EXPECT_EQ(vs_string_snprintf(Buf, sizeof(Buf), "%lld|%llu|%zu|%hhd", -9007199254740993LL,
                                 18446744073709551615ULL, (size_t)123, (signed char)-5),
              (VS_INT32)strlen("-9007199254740993|18446744073709551615|123|-5"));
    EXPECT_STREQ(Buf, "-9007199254740993|18446744073709551615|123|-5");
    // The result is the full length even when cut, as C99 has it.
    EXPECT_EQ(vs_string_snprintf(Buf, 4, "%s", "abcdefgh"), 8);
    EXPECT_STREQ(Buf, "abc");
}
