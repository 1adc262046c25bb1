// UUIDs for Windows: the system's generator (random, version 4).
#include "vs_win_internal.h"

#include <cstring>
#include <rpc.h>

static_assert(sizeof(UUID) == sizeof(VS_UUID), "the system's UUID has the host's layout");

extern "C" {

void uuid_create_internal(VS_UUID *Uuid)
{
    if (Uuid == nullptr)
        return;
    UUID Made;
    RPC_STATUS Status = UuidCreate(&Made);
    if (Status != RPC_S_OK && Status != RPC_S_UUID_LOCAL_ONLY) {
        // No UUID was made; a zero one means none.
        memset(Uuid, 0, sizeof(*Uuid));
        return;
    }
    memcpy(Uuid, &Made, sizeof(*Uuid));
}

void vs_uuid_create(VS_UUID *Uuid)
{
    uuid_create_internal(Uuid);
}

} // extern "C"
