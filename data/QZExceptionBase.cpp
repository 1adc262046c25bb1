// Exception objects: exception types (direct instances of QZExceptionBase)
// and the exceptions made from them, with a text form for scripts to override
// and an information text naming the exception's full class.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

#include <cstring>

static StructOfQZExceptionBase *SelfException()
{
    void *Self = SRV->LuaToObject(1);
    return Trelk_IsOf(Self, QZExceptionBaseClass) ? (StructOfQZExceptionBase *)Self : NULL;
}

VS_INT32 QZExceptionBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL || QZExceptionBaseClass == NULL)
        return 0;
    if (SRV->GetSysEventID(EventPara) != VSEVENT_SYSTEMEVENT_ONCREATE)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (Object == QZExceptionBaseClass || !Trelk_IsOf(Object, QZExceptionBaseClass))
        return 0;
    ((StructOfQZExceptionBase *)Object)->IsType = SRV->GetClass(Object) == QZExceptionBaseClass ? VS_TRUE : VS_FALSE;
    return 0;
}

VS_INT32 QZExceptionBase_AsString(void *L)
{
    (void)L;
    StructOfQZExceptionBase *Self = SelfException();
    Trelk_Raise(Self, "'s function \"AsString\" is not define");
    SRV->LuaPushString("");
    return 1;
}

VS_INT32 QZExceptionBase_GetInfo(void *L)
{
    (void)L;
    StructOfQZExceptionBase *Self = SelfException();
    if (Self == NULL) {
        SRV->LuaPushString("");
        return 1;
    }
    // The full class name may itself live in the shared buffer that the
    // result is formatted into: take a copy first.
    VS_CHAR ClassName[FULLCLASSNAMEPRINTBUF_SIZE];
    const VS_CHAR *Text = QZProcBase_OnSaveProc_GetFullClassName(Self);
    vs_string_snprintf(ClassName, (VS_INT32)sizeof(ClassName), "%s", Text != NULL ? Text : "");
    vs_string_snprintf(FullClassNamePrintBuf, FULLCLASSNAMEPRINTBUF_SIZE, "%s.%s", ClassName, Trelk_Name(Self));
    SRV->LuaPushString(FullClassNamePrintBuf);
    return 1;
}
