// Time-based (version 1) UUIDs for Linux: a 100-nanosecond clock, a clock
// sequence and a node number drawn from a small pseudo-random generator.
#include "vs_platform.h"

#include <cstdint>
#include <sys/time.h>

namespace {

// 100-nanosecond intervals from 1582-10-15 to 1970-01-01.
const uint64_t kGregorianOffset = 0x01B21DD213814000ULL;
// Extra stamps handed out for one clock reading before waiting for the next.
// The clock moves in microseconds, ten intervals at a time: more stamps per
// reading would reach into the next reading, which the generator would then
// take for the clock going back (a new clock sequence each time, and with
// only 14 bits of sequence, repeated UUIDs).
const uint16_t kStampsPerReading = 9;

struct UuidState {
    // Clock
    uint64_t LastRead;
    uint16_t ReadCount;
    bool ClockInited;
    // Generator
    uint64_t LastTimestamp;
    uint64_t ThisTimestamp;
    uint16_t TimeAdjust;
    uint16_t ClockSeq;
    // Node
    bool NodeMade;
    uint8_t Node[6];
    // Pseudo-random
    uint32_t M, IA, IB, IRAND;
};

UuidState g_State;
VS_MUTEX g_Lock;
pthread_once_t g_LockOnce = PTHREAD_ONCE_INIT;

void MakeLock()
{
    vs_mutex_init(&g_Lock);
}

uint64_t ReadTime()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint64_t)tv.tv_sec * 10000000ULL + (uint64_t)tv.tv_usec * 10ULL + kGregorianOffset;
}

uint64_t GetClock(UuidState &s)
{
    for (;;) {
        uint64_t T = ReadTime();
        if (!s.ClockInited || T != s.LastRead) {
            s.ClockInited = true;
            s.LastRead = T;
            s.ReadCount = 0;
            return T;
        }
        if (s.ReadCount < kStampsPerReading) {
            s.ReadCount++;
            return T + s.ReadCount;
        }
    }
}

uint16_t Random16(UuidState &s)
{
    s.M += 7;
    if (s.M > 9972)
        s.M -= 9871;
    s.IA += 1907;
    if (s.IA > 99990)
        s.IA -= 89989;
    s.IB += 73939;
    if (s.IB > 224728)
        s.IB -= 96233;
    s.IRAND = s.IRAND * s.M + s.IA + s.IB;
    return (uint16_t)((s.IRAND & 0x3FFF) ^ (s.IRAND >> 16));
}

void MakeNode(UuidState &s)
{
    s.M = 971;
    s.IA = 11113;
    s.IB = 104322;
    s.IRAND = 4181;
    uint64_t c = GetClock(s);
    s.IRAND += (uint32_t)((c ^ (c >> 16) ^ (c >> 32) ^ (c >> 48)) & 0xFFFF);
    s.LastTimestamp = GetClock(s);
    for (int i = 0; i < 6; i++)
        s.Node[i] = (uint8_t)(Random16(s) & 0xFF);
    s.NodeMade = true;
}

} // namespace

extern "C" {

void uuid_create_internal(VS_UUID *Uuid)
{
    if (Uuid == nullptr)
        return;
    // The lock is made exactly once even when the first callers race.
    pthread_once(&g_LockOnce, MakeLock);
    vs_mutex_lock(&g_Lock);
    UuidState &s = g_State;
    if (!s.NodeMade)
        MakeNode(s);

    for (;;) {
        s.ThisTimestamp = GetClock(s);
        if (s.ThisTimestamp < s.LastTimestamp) {
            if (s.ClockSeq == 0)
                s.ClockSeq = Random16(s);
            s.ClockSeq = (uint16_t)((s.ClockSeq + 1) & 0x3FFF);
            if (s.ClockSeq == 0)
                s.ClockSeq = 1;
            s.TimeAdjust = 0;
        } else if (s.ThisTimestamp > s.LastTimestamp) {
            s.TimeAdjust = 0;
        } else {
            if (s.TimeAdjust == 9)
                continue;
            s.TimeAdjust++;
        }
        break;
    }
    s.LastTimestamp = s.ThisTimestamp;
    uint64_t Stamp = s.ThisTimestamp + s.TimeAdjust;

    Uuid->Data1 = (VS_ULONG)(Stamp & 0xFFFFFFFFULL);
    Uuid->Data2 = (VS_UINT16)((Stamp >> 32) & 0xFFFF);
    Uuid->Data3 = (VS_UINT16)(((Stamp >> 48) & 0x0FFF) + 0x1000);
    Uuid->Data4[0] = (VS_UINT8)(((s.ClockSeq >> 8) & 0x3F) | 0x80);
    Uuid->Data4[1] = (VS_UINT8)(s.ClockSeq & 0xFF);
    for (int i = 0; i < 6; i++)
        Uuid->Data4[2 + i] = s.Node[i];
    vs_mutex_unlock(&g_Lock);
}

void vs_uuid_create(VS_UUID *Uuid)
{
    uuid_create_internal(Uuid);
}

} // extern "C"
