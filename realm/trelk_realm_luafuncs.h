// Luafuncs of the realm and the realm stub, for their binding tables.
#ifndef TRELK_REALM_LUAFUNCS_H
#define TRELK_REALM_LUAFUNCS_H

#include "tarvex_api.h"

VS_INT32 QZRealmStubBase_OnException(void *L);
VS_INT32 QZRealmBase_OnRemoteExecute(void *L);
VS_INT32 QZRealmBase_PerformanceEach(void *L);

#endif
