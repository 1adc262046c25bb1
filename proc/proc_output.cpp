// Output side of procs: the exclude ID under which a data object remembers a
// proc that already took or refused it.
#include "trelk_proc_internal.h"

#include <cstring>

VS_BOOL QZRunnerBase_GetExcludeIDForEnvData(StructOfQZProcBase *QZProc, VS_UUID *ExcludeID)
{
    static const VS_UUID Zero = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    if (QZProc == NULL || ExcludeID == NULL)
        return VS_FALSE;
    // A runner's copy counts as the proc it was copied from.
    if (memcmp(&QZProc->RootProcID, &Zero, sizeof(VS_UUID)) != 0)
        *ExcludeID = QZProc->RootProcID;
    else
        *ExcludeID = QZObject_XRQInterface->GetID(QZProc);
    return VS_TRUE;
}
