// What the Windows sources of the platform layer share: the system headers
// in the right order and the check that the layer's stand-in records hold the
// system's ones.
#ifndef VS_WIN_INTERNAL_H
#define VS_WIN_INTERNAL_H

#include "vs_internal.h"

// winsock2.h before windows.h, which would otherwise bring the old winsock.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(VS_MUTEX::Mutex), "a critical section must fit in VS_MUTEX");
static_assert(alignof(CRITICAL_SECTION) <= 8, "VS_MUTEX is aligned for a critical section");
static_assert(sizeof(SOCKET) == sizeof(VS_SOCKET), "VS_SOCKET carries a SOCKET");

#pragma GCC visibility push(hidden)
namespace vs_internal {

inline CRITICAL_SECTION *CriticalSectionOf(VS_MUTEX *Mutex)
{
    return reinterpret_cast<CRITICAL_SECTION *>(Mutex->Mutex);
}

// Scales a counter reading to Unit parts of a second without the overflow of
// Count * Unit, which for a 10 MHz counter and microseconds would come after
// about 10 days of uptime.
inline VS_INT64 ScaleCounter(VS_INT64 Count, VS_INT64 Frequency, VS_INT64 Unit)
{
    return (Count / Frequency) * Unit + (Count % Frequency) * Unit / Frequency;
}

} // namespace vs_internal
#pragma GCC visibility pop

#endif
