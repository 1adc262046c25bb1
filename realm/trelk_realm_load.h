// Saved procs, cells, remote procs and proc chains read back: the checks
// that tell, before anything is made, whether a record fits the classes that
// exist now, and the loaders that rebuild the objects and note the saved
// object IDs for the fix-up that links them again.
#ifndef TRELK_REALM_LOAD_H
#define TRELK_REALM_LOAD_H

#include "trelk_proc.h"

// Deepest nesting of chains in chains (through child chains and cell chains)
// that a record may have.
#define TRELK_LOAD_MAXDEPTH 64

VS_BOOL QZRealmBase_CheckValid_Object(const VS_CHAR *ClassName);
VS_BOOL QZRealmBase_CheckValid_QZProc(VS_PARAPKGPTR QZProcPkg, VS_CHAR *Type, VS_BOOL IsStrictmatch);
VS_BOOL QZRealmBase_CheckValid_QZProcChain(VS_PARAPKGPTR QZProcChainPkg, VS_CHAR *Type, VS_BOOL IsStrictmatch);
VS_BOOL QZRealmBase_CheckValid_InputQueue(VS_INT32 InputQueueIndex, StructOfQZProcBase *QZProcClass,
                                          VS_PARAPKGPTR ParaPkg, VS_BOOL IsStrictmatch);

// Each returns the new object with one GC lock held for the caller; the
// record must have passed the matching check.
void *QZRealmBase_Load_QZProc(VS_PARAPKGPTR QZProcPkg, VS_CHAR *Type, VS_PARAPKGPTR QZProcRecord,
                              VS_PARAPKGPTR NextQZProcRecord);
void *QZRealmBase_Load_QZProcChain(VS_PARAPKGPTR QZProcChainPkg, VS_CHAR *Type, VS_PARAPKGPTR QZProcRecord,
                                   VS_PARAPKGPTR NextQZProcRecord);
void QZRealmBase_Load_InputQueue(StructOfQZDataInputContainer *QZDataInputContainer, VS_PARAPKGPTR ParaPkg,
                                 VS_PARAPKGPTR NextQZProcRecord);

#endif
