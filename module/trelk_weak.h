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
// Proc persistence (proc/)
// ---------------------------------------------------------------------------
VS_BOOL QZProcBase_OnSaveProc_SaveProc(StructOfQZProcBase *QZProcBase, VS_PARAPKGPTR ParaPkg_PackageInfo,
                                       VS_PARAPKGPTR ParaPkg, VS_BOOL SaveChild, VS_BOOL SaveProcObjectID) TRELK_WEAK;
VS_BOOL QZProcBase_OnSaveProc_SaveProcChain(StructOfQZProcChainBase *QZProcChainBase,
                                            VS_PARAPKGPTR ParaPkg_PackageInfo, VS_PARAPKGPTR ParaPkg,
                                            VS_BOOL SaveProcObjectID) TRELK_WEAK;

// ---------------------------------------------------------------------------
// Realm services (realm/)
// ---------------------------------------------------------------------------
VS_BOOL QZRealmBase_CheckValid_QZProc(VS_PARAPKGPTR QZProcPkg, VS_CHAR *Type, VS_BOOL IsStrictmatch) TRELK_WEAK;
VS_BOOL QZRealmBase_CheckValid_QZProcChain(VS_PARAPKGPTR QZProcChainPkg, VS_CHAR *Type,
                                           VS_BOOL IsStrictmatch) TRELK_WEAK;
void *QZRealmBase_Load_QZProc(VS_PARAPKGPTR QZProcPkg, VS_CHAR *Type, VS_PARAPKGPTR QZProcRecord,
                              VS_PARAPKGPTR NextQZProcRecord) TRELK_WEAK;
void *QZRealmBase_Load_QZProcChain(VS_PARAPKGPTR QZProcChainPkg, VS_CHAR *Type, VS_PARAPKGPTR QZProcRecord,
                                   VS_PARAPKGPTR NextQZProcRecord) TRELK_WEAK;

#endif
