// Clock functions for Linux: wall-clock ticks, local clock fields and the
// zone's offset.
#include "vs_internal.h"

#include <ctime>

// The result area of localtime/gmtime is shared by every thread, so the
// reentrant forms are used throughout.
bool vs_internal::LocalFields(VS_INT64 Seconds, struct tm *Tm)
{
    time_t t = (time_t)Seconds;
    if ((VS_INT64)t != Seconds)
        return false;
    return localtime_r(&t, Tm) != nullptr;
}

bool vs_internal::ZoneOffset(VS_INT64 Seconds, VS_INT32 *Offset)
{
    time_t t = (time_t)Seconds;
    struct tm Gm;
    if ((VS_INT64)t != Seconds || gmtime_r(&t, &Gm) == nullptr)
        return false;
    Gm.tm_isdst = 0;
    time_t Back = mktime(&Gm);
    *Offset = (VS_INT32)(VS_UWORD)((VS_INT64)t - (VS_INT64)Back);
    return true;
}

extern "C" {

VS_INT64 vs_tm_gettickcount64()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (VS_INT64)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

VS_INT64 vs_tm_gettickcount_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (VS_INT64)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

} // extern "C"
