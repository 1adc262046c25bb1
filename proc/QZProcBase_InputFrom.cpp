// Input declaration of procs: InputFrom with its argument grammar (argument
// list or one package), the declaration printed back in the same grammar, and
// the packages of the declared types.
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"

#include <climits>
#include <strings.h>

namespace {

// One argument of the grammar, read from the script stack or a package item.
struct InputArg {
    enum Kind { Integer, Bool, Text, Object } Kind;
    VS_INT64 Number;
    VS_BOOL Flag;
    const VS_CHAR *Str;
    void *Obj;
};

// The arguments after the proc: the items of one package when argument 2 is
// a package, else the script arguments. FALSE when one of them has a kind the
// grammar does not know (nothing is changed then).
class InputArgs {
  public:
    VS_BOOL Read(VS_INT32 Top)
    {
        if (SRV->LuaType(2) == VSLUATYPE_PARAPKG) {
            Pkg = SRV->LuaToParaPkg(2);
            if (Pkg == NULL)
                return VS_FALSE;
            Count = Pkg->GetNumber();
            for (VS_INT32 i = 0; i < Count; i++) {
                VS_INT32 Type = Pkg->GetType(i);
                if (Type != VSTYPE_STRING && Type != VSTYPE_BOOL && Type != VSTYPE_INT32 && Type != VSTYPE_INT64 &&
                    Type != VSTYPE_OBJECT)
                    return VS_FALSE;
            }
            return VS_TRUE;
        }
        Count = Top - 1;
        for (VS_INT32 i = 2; i <= Top; i++) {
            VS_INT32 Type = SRV->LuaType(i);
            if (Type != VSLUATYPE_STRING && Type != VSLUATYPE_BOOL && Type != VSLUATYPE_OBJECT &&
                Type != VSLUATYPE_INT && Type != VSLUATYPE_INT64)
                return VS_FALSE;
        }
        return VS_TRUE;
    }

    VS_INT32 Number() const { return Count; }

    InputArg Get(VS_INT32 i, VS_BOOL Resolve = VS_TRUE) const
    {
        InputArg Arg = {InputArg::Text, 0, VS_FALSE, NULL, NULL};
        if (Pkg != NULL) {
            switch (Pkg->GetType(i)) {
            case VSTYPE_STRING:
                Arg.Str = Pkg->GetStr(i);
                break;
            case VSTYPE_BOOL:
                Arg.Kind = InputArg::Bool;
                Arg.Flag = Pkg->GetBool(i);
                break;
            case VSTYPE_INT32:
            case VSTYPE_INT64:
                Arg.Kind = InputArg::Integer;
                Arg.Number = Pkg->GetInt64(i);
                break;
            default:
                Arg.Kind = InputArg::Object;
                Arg.Obj = Resolve ? Trelk_FromRawObject(Pkg->GetObject(i)) : NULL;
                break;
            }
            return Arg;
        }
        VS_INT32 Index = i + 2;
        switch (SRV->LuaType(Index)) {
        case VSLUATYPE_STRING:
            Arg.Str = SRV->LuaToString(Index);
            break;
        case VSLUATYPE_BOOL:
            Arg.Kind = InputArg::Bool;
            Arg.Flag = SRV->LuaToBool(Index);
            break;
        case VSLUATYPE_INT:
        case VSLUATYPE_INT64:
            Arg.Kind = InputArg::Integer;
            Arg.Number = SRV->LuaToInt64(Index);
            break;
        default:
            Arg.Kind = InputArg::Object;
            Arg.Obj = Resolve ? Trelk_FromRawObject(SRV->LuaToObject(Index)) : NULL;
            break;
        }
        return Arg;
    }

  private:
    VS_PARAPKGPTR Pkg = NULL;
    VS_INT32 Count = 0;
};

VS_BOOL IsLetter(const VS_CHAR *Str, const VS_CHAR *Letter)
{
    return Str != NULL && strcasecmp(Str, Letter) == 0 ? VS_TRUE : VS_FALSE;
}

void FreeInputs(StructOfQZProcBase *Proc)
{
    TrelkDrain DrainInput;
    for (void *Input = Trelk_DrainFirst(&DrainInput, &Proc->InputQueue); Input != NULL;
         Input = Trelk_DrainNext(&DrainInput, Input))
        SRV->FreeObject(Input);
}

// A data type as the grammar knows it: a predefined data class object or a
// data object marked as a type.
VS_BOOL IsDataTypeObject(void *Object)
{
    return QZDataBase_IsDataObject(Object) &&
                   (QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Object) ||
                    ((StructOfQZDataBase *)Object)->IsType)
               ? VS_TRUE
               : VS_FALSE;
}

VS_INT32 PushFalse()
{
    SRV->LuaPushBool(VS_FALSE);
    return 1;
}

// Checks the master and slave rules of a new declaration; reports the first
// breach.
VS_BOOL CheckQueue(StructOfQZProcBase *Proc)
{
    StructOfQZDataInputContainer *Master = NULL;
    for (void *Item = SRV->QueryFirst(&Proc->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)Item;
        if (Input->IsSlave) {
            if (Master == NULL) {
                Trelk_RaiseText("create inputqueue of [%s:%s] failed, the first's IsSlave flag can not be true",
                                           Trelk_IDText(Proc), Trelk_Name(Proc));
                return VS_FALSE;
            }
            if (Master->RequestNumber != 1) {
                Trelk_RaiseText("create inputqueue of [%s:%s] failed, the RequestNumber of master data[%d] of slave data [%d] must be 1",
                    Trelk_IDText(Proc), Trelk_Name(Proc), Master->Index, Input->Index);
                return VS_FALSE;
            }
        }
        if (Input->DataObjectInst != NULL && Input->RequestNumber != 1) {
            Trelk_RaiseText("create inputqueue of [%s:%s] failed, the RequestNumber of data[%d] is not type, it's RequestNumber must be 1",
                Trelk_IDText(Proc), Trelk_Name(Proc), Input->Index);
            return VS_FALSE;
        }
        if (!Input->IsSlave)
            Master = Input;
    }
    return VS_TRUE;
}

} // namespace

VS_INT32 QZProcBase_InputFrom(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_InstanceSelfArg();
    VS_INT32 Top = SRV->LuaGetTop();
    if (Self == NULL || Top < 2)
        return PushFalse();
    InputArgs Args;
    if (!Args.Read(Top))
        return PushFalse();
    // Counts are 32-bit: a larger number is refused rather than cut down to
    // some other count.
    for (VS_INT32 i = 0; i < Args.Number(); i++) {
        InputArg Arg = Args.Get(i, VS_FALSE);
        if (Arg.Kind == InputArg::Integer && (Arg.Number < INT_MIN || Arg.Number > INT_MAX)) {
            Trelk_RaiseText("create inputqueue of [%s:%s] failed, the number [%lld] is out of the range of "
                                       "a 32-bit integer",
                                       Trelk_IDText(Self), Trelk_Name(Self), (long long)Arg.Number);
            return PushFalse();
        }
    }
    VS_UUID SelfID = SRV->GetID(Self);

    FreeInputs(Self);

    OBJECTATTRIBUTEINDEX QueueIndex = TrelkProc_ProcAttrIndex("InputQueue");
    VS_INT32 RequestNumber = 1;
    VS_BOOL IsOnlyDirect = VS_FALSE, IsSlave = VS_FALSE, IsMustExist = VS_TRUE;
    VS_INT32 Made = 0;
    for (VS_INT32 i = 0; i < Args.Number(); i++) {
        InputArg Arg = Args.Get(i);
        // Reading an object argument may run script code.
        if (SRV->GetObject(&SelfID) != Self)
            return PushFalse();
        switch (Arg.Kind) {
        case InputArg::Integer:
            RequestNumber = Arg.Number < 0 ? -1 : (VS_INT32)Arg.Number;
            continue;
        case InputArg::Bool:
            IsOnlyDirect = Arg.Flag ? VS_TRUE : VS_FALSE;
            continue;
        case InputArg::Text:
            if (IsLetter(Arg.Str, "s"))
                IsSlave = VS_TRUE;
            else if (IsLetter(Arg.Str, "o"))
                IsMustExist = VS_FALSE;
            continue;
        case InputArg::Object:
            break;
        }
        void *Object = Arg.Obj;
        if (!QZDataBase_IsDataObject(Object)) {
            Trelk_RaiseText("create inputqueue of [%s:%s] failed, input[%d] is [%s], which is not qzdata class",
                                       Trelk_IDText(Self), Trelk_Name(Self), Made, Trelk_Name(Object));
            // The report ran a script, which may have freed the proc.
            if (SRV->GetObject(&SelfID) == Self)
                FreeInputs(Self);
            return PushFalse();
        }
        StructOfQZDataBase *Type = (StructOfQZDataBase *)Object;
        StructOfQZDataBase *Instance = NULL;
        if (!IsDataTypeObject(Object)) {
            Instance = (StructOfQZDataBase *)Object;
            Type = QZDataBase_GetDataType_Internal(Instance);
            if (Type == NULL) {
                Trelk_RaiseText("create inputqueue of [%s:%s] failed, input[%d] is [%s], which is data object, but it's type is not found",
                    Trelk_IDText(Self), Trelk_Name(Self), Made, Trelk_Name(Object));
                if (SRV->GetObject(&SelfID) == Self)
                    FreeInputs(Self);
                return PushFalse();
            }
        }
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)SRV->MallocObjectL(
            SRV->GetIDEx(QZDataInputContainerClass), 0, NULL);
        if (Input == NULL) {
            FreeInputs(Self);
            return PushFalse();
        }
        Input->Index = Made++;
        Input->RequestNumber = RequestNumber;
        Input->IsOnlyDirect = IsOnlyDirect;
        Input->IsSlave = IsSlave;
        Input->IsMustExist = IsMustExist;
        Input->IsFromInternal = VS_FALSE;
        Input->DataBaseID = SRV->GetID(Type);
        TrelkProc_SetInputObject(Input, Instance, VS_TRUE);
        SRV->ChangeParent(Input, Self, QueueIndex);
        RequestNumber = 1;
        IsOnlyDirect = VS_FALSE;
        IsSlave = VS_FALSE;
        IsMustExist = VS_TRUE;
    }
    if (!CheckQueue(Self)) {
        // CheckQueue reports, which runs a script.
        if (SRV->GetObject(&SelfID) == Self)
            FreeInputs(Self);
        return PushFalse();
    }
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// The declaration written back
// ---------------------------------------------------------------------------
StructOfQZDataInputContainer *QZProcBase_GetInputByIndex_Internal(StructOfQZProcBase *QZProcBase, VS_INT32 Index)
{
    if (QZProcBase == NULL)
        return NULL;
    for (void *Item = SRV->QueryFirst(&QZProcBase->InputQueue); Item != NULL; Item = SRV->QueryNext(Item))
        if (((StructOfQZDataInputContainer *)Item)->Index == Index)
            return (StructOfQZDataInputContainer *)Item;
    return NULL;
}

// Largest Index among the inputs, -1 when there are none.
static VS_INT32 MaxInputIndex(StructOfQZProcBase *Proc)
{
    VS_INT32 Max = -1;
    for (void *Item = SRV->QueryFirst(&Proc->InputQueue); Item != NULL; Item = SRV->QueryNext(Item))
        if (((StructOfQZDataInputContainer *)Item)->Index > Max)
            Max = ((StructOfQZDataInputContainer *)Item)->Index;
    return Max;
}

VS_PARAPKGPTR QZProcBase_InputQueueToParaPkg_Internal(StructOfQZProcBase *QZProcBase)
{
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (QZProcBase == NULL)
        return Result;
    for (void *Item = SRV->QueryFirst(&QZProcBase->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        VS_INT32 Index = ((StructOfQZDataInputContainer *)Item)->Index;
        if (Index < 0 || Index > MaxInputIndex(QZProcBase))
            continue;
        Result->InsertObject(TrelkProc_PutAt(Result, Index), Item);
    }
    return Result;
}

VS_INT32 QZProcBase_InputQueueToParaPkg(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL) {
        VS_INT32 Max = MaxInputIndex(Self);
        for (VS_INT32 Index = 0; Index <= Max; Index++) {
            StructOfQZDataInputContainer *Input = QZProcBase_GetInputByIndex_Internal(Self, Index);
            if (Input == NULL)
                continue;
            if (Input->RequestNumber != 1)
                Result->InsertInt(Result->GetNumber(), Input->RequestNumber);
            if (Input->IsOnlyDirect)
                Result->InsertBool(Result->GetNumber(), VS_TRUE);
            if (Input->IsSlave)
                Result->InsertStr(Result->GetNumber(), "s");
            if (!Input->IsMustExist)
                Result->InsertStr(Result->GetNumber(), "o");
            Result->InsertObject(Result->GetNumber(), SRV->GetObject(&Input->DataBaseID));
        }
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_PARAPKGPTR QZProcBase_CollectInputDataClass_Internal(StructOfQZProcBase *QZProcBase)
{
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (QZProcBase == NULL)
        return Result;
    for (void *Item = SRV->QueryFirst(&QZProcBase->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        void *Type = SRV->GetObject(&((StructOfQZDataInputContainer *)Item)->DataBaseID);
        if (Type != NULL && !TrelkProc_PkgHasObject(Result, Type))
            Result->InsertObject(Result->GetNumber(), Type);
    }
    return Result;
}

VS_INT32 QZProcBase_CollectInputDataClass(void *L)
{
    (void)L;
    SRV->LuaPushParaPkg(QZProcBase_CollectInputDataClass_Internal(TrelkProc_SelfArg()), VS_TRUE);
    return 1;
}
