// Output side of procs: the exclude ID under which a data object remembers a
// proc that already took or refused it.
#include "trelk_proc_internal.h"

#include <cstring>

VS_BOOL QZRunnerBase_GetExcludeIDForEnvData(StructOfQZProcBase *QZProc, VS_UUID *ExcludeID)
{
    if (QZProc == NULL || ExcludeID == NULL)
        return VS_FALSE;
    // A runner's copy counts as the proc it was copied from.
    if (!Trelk_IsZeroID(&QZProc->RootProcID))
        *ExcludeID = QZProc->RootProcID;
    else
        *ExcludeID = QZObject_XRQInterface->GetID(QZProc);
    return VS_TRUE;
}
