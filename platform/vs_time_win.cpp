// Clock functions for Windows: ticks of the performance counter (from system
// start), local clock fields and the zone's offset.
#include "vs_win_internal.h"

#include <ctime>

// The C library's shared result area is avoided: the _s forms fill the
// caller's record.
bool vs_internal::LocalFields(VS_INT64 Seconds, struct tm *Tm)
{
    time_t t = (time_t)Seconds;
    if ((VS_INT64)t != Seconds)
        return false;
    return localtime_s(Tm, &t) == 0;
}

bool vs_internal::ZoneOffset(VS_INT64 Seconds, VS_INT32 *Offset)
{
    time_t t = (time_t)Seconds;
    struct tm Gm;
    if ((VS_INT64)t != Seconds || gmtime_s(&Gm, &t) != 0)
        return false;
    Gm.tm_isdst = 0;
    time_t Back = mktime(&Gm);
    if (Back == (time_t)-1)
        return false;
    *Offset = (VS_INT32)(VS_UWORD)((VS_INT64)t - (VS_INT64)Back);
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

VS_INT64 vs_tm_gettickcount_us()
{
    return Ticks(1000000);
}

} // extern "C"
