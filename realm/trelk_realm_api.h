// Realms and the realm stub as the other subsystems see them.
//
// The realm functions that the layers below call (the effective
// InitialLiveCount, the reset of the status layout) are declared in
// trelk_upcalls.h, which this header brings in; what only scheduler/ calls is
// declared here. The luafuncs are in trelk_realm_luafuncs.h, the helpers that
// only the realm files share in trelk_realm_internal.h.
#ifndef TRELK_REALM_API_H
#define TRELK_REALM_API_H

#include "trelk_proc_api.h"
#include "trelk_upcalls.h"

#endif
