// Clock functions for Windows: ticks of the performance counter (from system
// start) and local clock fields.
#include "vs_win_internal.h"

#include <cstring>
#include <ctime>

static void FillClock(const struct tm *Tm, VS_UINT16 Milliseconds, VS_TIME_T *Time)
{
    Time->wYear = (VS_UINT16)(Tm->tm_year + 1900);
    Time->wMonth = (VS_UINT16)(Tm->tm_mon + 1);
    Time->wDayOfWeek = (VS_UINT16)(Tm->tm_wday + 1);
    Time->wDay = (VS_UINT16)Tm->tm_mday;
    Time->wHour = (VS_UINT16)Tm->tm_hour;
    Time->wMinute = (VS_UINT16)Tm->tm_min;
    Time->wSecond = (VS_UINT16)Tm->tm_sec;
    Time->wMilliseconds = Milliseconds;
}

// The C library's shared result area is avoided: the _s forms fill the
// caller's record.
static bool LocalFields(VS_INT64 Seconds, struct tm *Tm)
{
    time_t t = (time_t)Seconds;
    if ((VS_INT64)t != Seconds)
        return false;
    return localtime_s(Tm, &t) == 0;
}

static bool LocalClock(VS_INT64 Seconds, VS_UINT16 Milliseconds, VS_TIME_T *Time)
{
    struct tm Tm;
    if (!LocalFields(Seconds, &Tm) || (long long)Tm.tm_year + 1900 < 0 || (long long)Tm.tm_year + 1900 > 0xFFFF) {
        memset(Time, 0, sizeof(*Time));
        return false;
    }
    FillClock(&Tm, Milliseconds, Time);
    return true;
}

// Ticks in Unit parts of a second; without a performance counter the
// system's millisecond tick stands in.
static VS_INT64 Ticks(VS_INT64 Unit)
{
    LARGE_INTEGER Frequency, Count;
    if (QueryPerformanceFrequency(&Frequency) && Frequency.QuadPart > 0 && QueryPerformanceCounter(&Count))
        return vs_internal::ScaleCounter((VS_INT64)Count.QuadPart, (VS_INT64)Frequency.QuadPart, Unit);
    return (VS_INT64)GetTickCount64() * (Unit / 1000);
}

extern "C" {

VS_INT64 vs_tm_gettickcount64()
{
    return Ticks(1000);
}

VS_INT64 vs_tm_gettickcount()
{
    return vs_tm_gettickcount64();
}

VS_INT64 vs_tm_gettickcount_us()
{
    return Ticks(1000000);
}

void vs_tm_getlocaltime(VS_TIME_T *Time)
{
    if (Time == nullptr)
        return;
    struct tm Tm;
    if (!LocalFields((VS_INT64)time(nullptr), &Tm)) {
        memset(Time, 0, sizeof(*Time));
        return;
    }
    FillClock(&Tm, 0, Time);
}

VS_INT32 vs_tm_time2clock(const VS_TIMEVALUE *Value, VS_TIME_T *Time)
{
    if (Time == nullptr)
        return -1;
    if (Value == nullptr) {
        memset(Time, 0, sizeof(*Time));
        return -1;
    }
    return LocalClock(Value->Seconds, Value->Milliseconds, Time) ? 0 : -1;
}

VS_INT32 vs_tm_clock2time(const VS_TIME_T *Time, VS_TIMEVALUE *Value)
{
    if (Time == nullptr || Value == nullptr)
        return -1;
    struct tm Tm;
    memset(&Tm, 0, sizeof(Tm));
    Tm.tm_year = (int)Time->wYear - 1900;
    Tm.tm_mon = (int)Time->wMonth - 1;
    Tm.tm_mday = Time->wDay;
    Tm.tm_hour = Time->wHour;
    Tm.tm_min = Time->wMinute;
    Tm.tm_sec = Time->wSecond;
    Tm.tm_isdst = -1;
    Tm.tm_wday = -1;
    time_t t = mktime(&Tm);
    if (t == (time_t)-1 && Tm.tm_wday == -1)
        return -1;
    Value->Seconds = (VS_INT64)t;
    Value->Milliseconds = Time->wMilliseconds;
    return 0;
}

VS_INT32 vs_tm_gmt2clock(VS_INT64 Seconds, VS_TIME_T *Time)
{
    if (Time == nullptr)
        return -1;
    time_t t = (time_t)Seconds;
    struct tm Gm;
    if ((VS_INT64)t != Seconds || gmtime_s(&Gm, &t) != 0) {
        memset(Time, 0, sizeof(*Time));
        return -1;
    }
    Gm.tm_isdst = 0;
    time_t Back = mktime(&Gm);
    if (Back == (time_t)-1) {
        memset(Time, 0, sizeof(*Time));
        return -1;
    }
    VS_INT32 Offset = (VS_INT32)(VS_UWORD)((VS_INT64)t - (VS_INT64)Back);
    VS_INT64 Shifted;
    if (__builtin_add_overflow(Seconds, (VS_INT64)Offset, &Shifted)) {
        memset(Time, 0, sizeof(*Time));
        return -1;
    }
    return LocalClock(Shifted, 0, Time) ? 0 : -1;
}

} // extern "C"
