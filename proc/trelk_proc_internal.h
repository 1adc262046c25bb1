// Helpers that only the proc files share. Nothing outside proc/ includes this
// header.
#ifndef TRELK_PROC_INTERNAL_H
#define TRELK_PROC_INTERNAL_H

#include "trelk_proc_api.h"
#include "trelk_helpers.h"

// One of the proc base class objects (QZProcBase, QZProcRemoteBase,
// QZCellBase): each is its own proc type.
VS_BOOL TrelkProc_IsProcClassObject(void *Object);

#endif
