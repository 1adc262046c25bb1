// Clock functions that read the same on every system: local clock fields
// from seconds and back. The per-system sources supply the ticks, the local
// fields of a second and the zone's offset.
#include "vs_internal.h"

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

// Local clock fields of Seconds; false (fields all 0) when the C library
// cannot convert them or the year does not fit the 16-bit field.
static bool LocalClock(VS_INT64 Seconds, VS_UINT16 Milliseconds, VS_TIME_T *Time)
{
    struct tm Tm;
    if (!vs_internal::LocalFields(Seconds, &Tm) || (long long)Tm.tm_year + 1900 < 0 ||
        (long long)Tm.tm_year + 1900 > 0xFFFF) {
        memset(Time, 0, sizeof(*Time));
        return false;
    }
    FillClock(&Tm, Milliseconds, Time);
    return true;
}

extern "C" {

VS_INT64 vs_tm_gettickcount()
{
    return vs_tm_gettickcount64();
}

void vs_tm_getlocaltime(VS_TIME_T *Time)
{
    if (Time == nullptr)
        return;
    struct tm Tm;
    if (!vs_internal::LocalFields((VS_INT64)time(nullptr), &Tm)) {
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
    // mktime gives -1 both for failure and for the last second of 1969; a
    // successful call always fills in the day of the week.
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
    VS_INT32 Offset;
    VS_INT64 Shifted;
    if (!vs_internal::ZoneOffset(Seconds, &Offset) || __builtin_add_overflow(Seconds, (VS_INT64)Offset, &Shifted)) {
        memset(Time, 0, sizeof(*Time));
        return -1;
    }
    return LocalClock(Shifted, 0, Time) ? 0 : -1;
}

} // extern "C"
