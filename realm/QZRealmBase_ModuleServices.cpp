// The small realm and realm-stub services that start-up and the module's
// reporting rely on: the stub's default "OnException", the realm's default
// "OnRemoteExecute", the calibration workload "PerformanceEach" and the reset
// of the status layout table.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"

#include <cstring>

StructOfGetStatusPositionItem *GetStatusPositionItemRoot[GETSTATUS_MAXLAYER];

void QZRealmBase_GetStatus_InitGetStatusPositionItem() {
    for (int i = 0; i < GETSTATUS_MAXLAYER; i++)
        GetStatusPositionItemRoot[i] = nullptr;
    TrelkStatus_Start();
}

// void OnException(void *Realm, VS_INT32 AlarmLevel, VS_CHAR *Info): the level
// and the text the module's reporter passes, handed to the host unchanged.
VS_INT32 QZRealmStubBase_OnException(void *) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    VS_INT32 AlarmLevel = XRQ->LuaToInt(2);
    const VS_CHAR *Info = XRQ->LuaToString(3);
    XRQ->ProcessError(AlarmLevel, QUEL_TRELK_MODULENAME, 0, "%s", Info != nullptr ? Info : "");
    return 0;
}

// Default of the hook a remote proc's "Execute" calls: a remote proc fails
// unless script code overrides it.
VS_INT32 QZRealmBase_OnRemoteExecute(void *) {
    QZObject_XRQInterface->LuaPushInt(-1);
    return 1;
}

// The calibration workload: a copy of the text argument.
VS_INT32 QZRealmBase_PerformanceEach(void *) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    VS_INT32 Length = 0;
    const VS_CHAR *InputValue = XRQ->LuaToLString(2, &Length);
    if (InputValue == nullptr || Length < 0) {
        XRQ->LuaPushString("");
        return 1;
    }
    VS_CHAR *Copy = (VS_CHAR *)XRQ->Malloc_Nor((VS_ULONG)Length + 1);
    if (Copy == nullptr) {
        XRQ->LuaPushString("");
        return 1;
    }
    memcpy(Copy, InputValue, (size_t)Length);
    Copy[Length] = 0;
    XRQ->LuaPushLString(Copy, Length);
    XRQ->Free(Copy);
    return 1;
}
