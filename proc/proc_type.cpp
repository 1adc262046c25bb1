// The proc type of a proc: the object on which performance records, saved
// forms, tags and equality of procs are keyed.
#include "trelk_proc_internal.h"

VS_BOOL TrelkProc_IsProcClassObject(void *Object)
{
    return Object != NULL && (Object == QZProcBaseClass || Object == QZProcRemoteBaseClass || Object == QZCellBaseClass)
               ? VS_TRUE
               : VS_FALSE;
}

static VS_BOOL IsProcTypeObject(void *Object)
{
    if (Object == NULL)
        return VS_FALSE;
    if (TrelkProc_IsProcClassObject(Object))
        return VS_TRUE;
    // Only objects of the proc classes carry a proc record.
    if (QZProcBaseClass == NULL || !QZObject_XRQInterface->IsInst(QZObject_XRQInterface->GetIDEx(QZProcBaseClass), Object))
        return VS_FALSE;
    return ((StructOfQZProcBase *)Object)->IsType ? VS_TRUE : VS_FALSE;
}

void *QZProcBase_GetProcType_Internal(StructOfQZProcBase *QZProc)
{
    for (void *X = QZProc; X != NULL; X = QZObject_XRQInterface->GetClass(X))
        if (IsProcTypeObject(X))
            return X;
    return NULL;
}
