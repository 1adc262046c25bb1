// Functions of subsystems that are not part of the build yet, referenced
// weakly: until their subsystem defines them their address is NULL, and each
// caller checks it and refuses the work with a report instead of crashing.
//
// Procs and chains are saved by the proc persistence and rebuilt and checked
// by the realm services.
//
// A weak reference also stays NULL when a definition differs in the smallest
// part of its signature, silently. The test module_weak_symbols compares the
// module's unresolved weak symbols with the list in
// tests/module/weak_symbols.cmake: when a subsystem defines one of these,
// move the declaration to the subsystem's header (or trelk_upcalls.h) and
// take it off that list.
#ifndef TRELK_WEAK_H
#define TRELK_WEAK_H

#include "tarvex_api.h"

struct StructOfQZProcBase;
struct StructOfQZProcChainBase;
struct StructOfQZRealmBase;
struct StructOfQZDataBase;

#define TRELK_WEAK __attribute__((weak))

// ---------------------------------------------------------------------------
// Realm services (realm/)
// ---------------------------------------------------------------------------

#endif
