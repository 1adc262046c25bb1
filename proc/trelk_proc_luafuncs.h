// Luafuncs and system-event handlers of the proc classes (QZObjectPointer,
// QZObjectPointerWithChangeFlag, the data containers, QZProcBase,
// QZProcRemoteBase, QZProcRunnerBase, QZProcChainBase, QZCellBase), for their
// binding tables (the *_bind.cpp files). A luafunc takes the script state and
// returns the number of results it pushed.
#ifndef TRELK_PROC_LUAFUNCS_H
#define TRELK_PROC_LUAFUNCS_H

#include "tarvex_api.h"

#endif
