// Procs, cells, runners and proc chains as the other subsystems see them.
//
// The proc functions that the layers below call (a proc's type, its exclude
// ID, the package information of saved objects) are declared in
// trelk_upcalls.h, which this header brings in; what only realm/ and
// scheduler/ call is declared here. The luafuncs are in
// trelk_proc_luafuncs.h, the helpers that only the proc files share in
// trelk_proc_internal.h.
#ifndef TRELK_PROC_API_H
#define TRELK_PROC_API_H

#include "trelk_data_api.h"
#include "trelk_upcalls.h"

#endif
