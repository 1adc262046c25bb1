// Clocks and broken-down time: tick counts, conversions and the local zone.
#include "vs_platform.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

namespace {

VS_INT64 NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (VS_INT64)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Sets the local zone for one test and puts the old one back.
class ZoneGuard {
  public:
    explicit ZoneGuard(const char *Zone)
    {
        const char *Old = getenv("TZ");
        m_Had = Old != nullptr;
        if (m_Had)
            m_Old = Old;
        setenv("TZ", Zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (m_Had)
            setenv("TZ", m_Old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool m_Had;
    std::string m_Old;
};

void ExpectFields(const VS_TIME_T &t, int Y, int Mo, int Dow, int D, int H, int Mi, int S, int Ms)
{
    EXPECT_EQ(t.wYear, Y);
    EXPECT_EQ(t.wMonth, Mo);
    EXPECT_EQ(t.wDayOfWeek, Dow);
    EXPECT_EQ(t.wDay, D);
    EXPECT_EQ(t.wHour, H);
    EXPECT_EQ(t.wMinute, Mi);
    EXPECT_EQ(t.wSecond, S);
    EXPECT_EQ(t.wMilliseconds, Ms);
}

} // namespace

TEST(VsTime, TickCountsReadTheWallClock)
{
    VS_INT64 Before = NowMs();
    VS_INT64 Ms = vs_tm_gettickcount64();
    VS_INT64 Plain = vs_tm_gettickcount();
    VS_INT64 Us = vs_tm_gettickcount_us();
    VS_INT64 After = NowMs();
    EXPECT_LE(Before, Ms);
    EXPECT_LE(Ms, Plain);
    EXPECT_LE(Plain, After);
    EXPECT_LE(Before, Us / 1000);
    EXPECT_LE(Us / 1000, After);
    EXPECT_GT(Ms, 1600000000000LL) << "milliseconds since 1970";
}

TEST(VsTime, Time2ClockFieldsAndDayOfWeek)
{
    ZoneGuard Zone("UTC0");
    struct {
        VS_INT64 Seconds;
        int Y, Mo, Dow, D, H, Mi, S;
    } Cases[] = {
        {0, 1970, 1, 5, 1, 0, 0, 0},             // Thursday
        {951782400, 2000, 2, 3, 29, 0, 0, 0},    // leap day, Tuesday
        {1704067199, 2023, 12, 1, 31, 23, 59, 59}, // Sunday = 1
        {1718409600, 2024, 6, 7, 15, 0, 0, 0},   // Saturday = 7
        {4102444800, 2100, 1, 6, 1, 0, 0, 0},
        {-86400, 1969, 12, 4, 31, 0, 0, 0},
    };
    for (auto &c : Cases) {
        VS_TIMEVALUE v{c.Seconds, 250};
        VS_TIME_T t;
        ASSERT_EQ(vs_tm_time2clock(&v, &t), 0) << c.Seconds;
        ExpectFields(t, c.Y, c.Mo, c.Dow, c.D, c.H, c.Mi, c.S, 250);
    }
}

TEST(VsTime, LocalZoneIsApplied)
{
    ZoneGuard Zone("XST-2"); // two hours east of UTC, no daylight saving
    VS_TIMEVALUE v{0, 7};
    VS_TIME_T t;
    ASSERT_EQ(vs_tm_time2clock(&v, &t), 0);
    ExpectFields(t, 1970, 1, 5, 1, 2, 0, 0, 7);

    // The zone offset is added once more to the given seconds before they
    // are shown as local fields.
    ASSERT_EQ(vs_tm_gmt2clock(0, &t), 0);
    ExpectFields(t, 1970, 1, 5, 1, 4, 0, 0, 0);

    VS_TIME_T Back = {1970, 1, 0, 1, 2, 0, 0, 9};
    VS_TIMEVALUE r{};
    ASSERT_EQ(vs_tm_clock2time(&Back, &r), 0);
    EXPECT_EQ(r.Seconds, 0);
    EXPECT_EQ(r.Milliseconds, 9);
}

TEST(VsTime, Gmt2ClockInUtcIsPlainConversion)
{
    ZoneGuard Zone("UTC0");
    VS_TIME_T t;
    ASSERT_EQ(vs_tm_gmt2clock(1700000000, &t), 0);
    ExpectFields(t, 2023, 11, 3, 14, 22, 13, 20, 0);
}

TEST(VsTime, Clock2TimeRoundTrip)
{
    for (const char *ZoneName : {"UTC0", "XST-2", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
        ZoneGuard Zone(ZoneName);
        VS_TIME_T Cases[] = {
            {2024, 2, 0, 29, 13, 45, 30, 999},
            {1999, 12, 0, 31, 23, 59, 59, 0},
            {2024, 7, 0, 1, 12, 0, 0, 1},   // summer time where the zone has it
            {1970, 1, 0, 1, 0, 0, 0, 0},
            {2038, 1, 0, 19, 3, 14, 8, 500},
        };
        for (auto &In : Cases) {
            VS_TIMEVALUE v;
            ASSERT_EQ(vs_tm_clock2time(&In, &v), 0) << ZoneName;
            VS_TIME_T Out;
            ASSERT_EQ(vs_tm_time2clock(&v, &Out), 0);
            EXPECT_EQ(Out.wYear, In.wYear) << ZoneName;
            EXPECT_EQ(Out.wMonth, In.wMonth);
            EXPECT_EQ(Out.wDay, In.wDay);
            EXPECT_EQ(Out.wHour, In.wHour) << ZoneName << " " << In.wYear;
            EXPECT_EQ(Out.wMinute, In.wMinute);
            EXPECT_EQ(Out.wSecond, In.wSecond);
            EXPECT_EQ(Out.wMilliseconds, In.wMilliseconds);
            EXPECT_GE(Out.wDayOfWeek, 1);
            EXPECT_LE(Out.wDayOfWeek, 7);
        }
    }
}

TEST(VsTime, LastSecondOf1969IsNotAFailure)
{
    ZoneGuard Zone("UTC0");
    VS_TIME_T t = {1969, 12, 0, 31, 23, 59, 59, 0};
    VS_TIMEVALUE v{};
    EXPECT_EQ(vs_tm_clock2time(&t, &v), 0);
    EXPECT_EQ(v.Seconds, -1);
}

TEST(VsTime, UnconvertibleValuesGiveZeroFieldsAndMinusOne)
{
    VS_TIME_T t;
    // 1 << 42 seconds lie in a year beyond the 16-bit year field: refused,
    // never shown with a cut year.
    for (VS_INT64 Bad : {(VS_INT64)LLONG_MAX, (VS_INT64)LLONG_MIN, (VS_INT64)1 << 60, (VS_INT64)1 << 42,
                         (VS_INT64)-(1LL << 42)}) {
        memset(&t, 0x55, sizeof(t));
        VS_TIMEVALUE v{Bad, 5};
        EXPECT_EQ(vs_tm_time2clock(&v, &t), -1) << Bad;
        VS_TIME_T Zero{};
        EXPECT_EQ(memcmp(&t, &Zero, sizeof(t)), 0);
        memset(&t, 0x55, sizeof(t));
        EXPECT_EQ(vs_tm_gmt2clock(Bad, &t), -1) << Bad;
        EXPECT_EQ(memcmp(&t, &Zero, sizeof(t)), 0);
    }
    EXPECT_EQ(vs_tm_time2clock(nullptr, &t), -1);
    EXPECT_EQ(vs_tm_time2clock(nullptr, nullptr), -1);
    EXPECT_EQ(vs_tm_clock2time(nullptr, nullptr), -1);
    EXPECT_EQ(vs_tm_gmt2clock(0, nullptr), -1);
    vs_tm_getlocaltime(nullptr);
}

TEST(VsTime, GetLocalTimeMatchesTheClock)
{
    ZoneGuard Zone("UTC0");
    for (int Attempt = 0; Attempt < 3; Attempt++) {
        time_t Before = time(nullptr);
        VS_TIME_T t;
        vs_tm_getlocaltime(&t);
        if (time(nullptr) != Before)
            continue; // a second boundary passed in between
        struct tm Tm;
        gmtime_r(&Before, &Tm);
        ExpectFields(t, Tm.tm_year + 1900, Tm.tm_mon + 1, Tm.tm_wday + 1, Tm.tm_mday, Tm.tm_hour, Tm.tm_min,
                     Tm.tm_sec, 0);
        return;
    }
    FAIL() << "clock kept crossing second boundaries";
}
