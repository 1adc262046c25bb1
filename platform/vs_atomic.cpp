// Guarded integers: an integer and the layer's own mutex, the same on every
// system.
#include "vs_platform.h"

#include <cerrno>

extern "C" {

VS_BOOL vs_atomic_init(vs_atomic *Atomic)
{
    if (Atomic == nullptr)
        return VS_FALSE;
    Atomic->Value = 0;
    return vs_mutex_init(&Atomic->Mutex);
}

void vs_atomic_set(vs_atomic *Atomic, VS_INT32 Value)
{
    if (Atomic == nullptr)
        return;
    vs_mutex_lock(&Atomic->Mutex);
    Atomic->Value = Value;
    vs_mutex_unlock(&Atomic->Mutex);
}

VS_INT32 vs_atomic_get(vs_atomic *Atomic)
{
    if (Atomic == nullptr)
        return 0;
    vs_mutex_lock(&Atomic->Mutex);
    VS_INT32 Value = Atomic->Value;
    vs_mutex_unlock(&Atomic->Mutex);
    return Value;
}

VS_INT32 vs_atomic_compare_set(vs_atomic *Atomic, VS_INT32 NewValue, VS_INT32 Expected)
{
    if (Atomic == nullptr)
        return 0;
    vs_mutex_lock(&Atomic->Mutex);
    VS_INT32 Found = Atomic->Value;
    if (Found == Expected)
        Atomic->Value = NewValue;
    vs_mutex_unlock(&Atomic->Mutex);
    return Found;
}

VS_INT32 vs_atomic_destory(vs_atomic *Atomic)
{
    if (Atomic == nullptr)
        return EINVAL;
    return vs_mutex_destory(&Atomic->Mutex);
}

} // extern "C"
