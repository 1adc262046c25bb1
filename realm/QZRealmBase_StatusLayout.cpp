// Drawing geometry of status packages: the five layout constants, the
// per-layer table that collects a runner's shapes until their bands are
// known, and the formulas that place boxes and circles. Everything here runs
// under the status lock (see QZRealmBase_Status.cpp).
#include "trelk_realm_internal.h"

#include <cstdint>

VS_INT32 GETSTATUS_QZPROC_WIDTH = 90;
VS_INT32 GETSTATUS_QZPROC_HEIGHT = 120;
VS_INT32 GETSTATUS_QZDATA_RADIUS = 10;
VS_INT32 GETSTATUS_QZPROC_HINTERVAL = 50;
VS_INT32 GETSTATUS_QZPROC_VINTERVAL = 80;

// ---------------------------------------------------------------------------
// Package writers shared by the status code
// ---------------------------------------------------------------------------
VS_BOOL TrelkStatus_InsertInt(VS_PARAPKGPTR Pkg, VS_INT32 Index, VS_INT64 Value)
{
    if (Value > INT32_MAX)
        Value = INT32_MAX;
    else if (Value < INT32_MIN)
        Value = INT32_MIN;
    return Pkg->InsertInt(Index, (VS_INT32)Value);
}

void TrelkStatus_PutStr(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, const VS_CHAR *Value)
{
    Pkg->InsertStr(Pkg->GetNumber(), Key);
    Pkg->InsertStr(Pkg->GetNumber(), Value != NULL ? Value : "");
}

void TrelkStatus_PutInt(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_INT64 Value)
{
    Pkg->InsertStr(Pkg->GetNumber(), Key);
    TrelkStatus_InsertInt(Pkg, Pkg->GetNumber(), Value);
}

void TrelkStatus_PutBool(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_BOOL Value)
{
    Pkg->InsertStr(Pkg->GetNumber(), Key);
    Pkg->InsertBool(Pkg->GetNumber(), Value);
}

// ---------------------------------------------------------------------------
// Layout table
// ---------------------------------------------------------------------------
void QZRealmBase_GetStatus_CreateGetStatusPositionItem(VS_INT32 Layer, VS_PARAPKGPTR ParaPkg,
                                                       VS_INT32 HeightOffset)
{
    if (Layer < 0 || Layer >= GETSTATUS_MAXLAYER || ParaPkg == NULL)
        return;
    StructOfGetStatusPositionItem *Item =
        (StructOfGetStatusPositionItem *)SRV->Malloc_Nor(sizeof(StructOfGetStatusPositionItem));
    if (Item == NULL)
        return;
    ParaPkg->AddRef();
    Item->ParaPkg = ParaPkg;
    Item->HeightOffset = HeightOffset;
    Item->Up = NULL;
    Item->Down = GetStatusPositionItemRoot[Layer];
    if (Item->Down != NULL)
        Item->Down->Up = Item;
    GetStatusPositionItemRoot[Layer] = Item;
}

void QZRealmBase_GetStatus_FreeGetStatusPositionItem()
{
    for (VS_INT32 Layer = 0; Layer < GETSTATUS_MAXLAYER; Layer++) {
        StructOfGetStatusPositionItem *Item = GetStatusPositionItemRoot[Layer];
        GetStatusPositionItemRoot[Layer] = NULL;
        while (Item != NULL) {
            StructOfGetStatusPositionItem *Next = Item->Down;
            Item->ParaPkg->Release();
            SRV->Free(Item);
            Item = Next;
        }
    }
}

// ---------------------------------------------------------------------------
// Shapes
// ---------------------------------------------------------------------------
VS_INT64 TrelkStatus_ProcBaseWidth()
{
    return (VS_INT64)GETSTATUS_QZPROC_WIDTH + 16 * (VS_INT64)GETSTATUS_QZDATA_RADIUS;
}

VS_INT64 TrelkStatus_StartEdge()
{
    return (VS_INT64)(GETSTATUS_QZPROC_HINTERVAL / 2) + 2 * (VS_INT64)GETSTATUS_QZDATA_RADIUS;
}

static const VS_CHAR *DictStr(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    VS_INT32 i = Pkg->FindDict(Key);
    const VS_CHAR *Text = i >= 0 ? Pkg->GetStr(i) : NULL;
    return Text != NULL ? Text : "";
}

static VS_PARAPKGPTR DictPkg(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    VS_INT32 i = Pkg->FindDict(Key);
    return i >= 0 && Pkg->GetType(i) == VSTYPE_PARAPKG ? Pkg->GetParaPackage(i) : NULL;
}

// A new element dict: name, ID, type and position; the caller adds the size
// keys and, for the table, "Layer".
static VS_PARAPKGPTR NewElement(const VS_CHAR *Name, const VS_CHAR *ID, const VS_CHAR *Type, VS_INT64 PosX,
                                VS_INT64 PosY)
{
    VS_PARAPKGPTR Element = Trelk_GetParaPkgInterface(__LINE__);
    Element->AsDict(VS_TRUE);
    TrelkStatus_PutStr(Element, "ObjectName", Name);
    TrelkStatus_PutStr(Element, "ObjectID", ID);
    TrelkStatus_PutStr(Element, "Type", Type);
    TrelkStatus_PutInt(Element, "PosX", PosX);
    TrelkStatus_PutInt(Element, "PosY", PosY);
    return Element;
}

// Enters the element into the table and drops the creator's reference.
static void EnterElement(VS_PARAPKGPTR Element, VS_INT32 Layer, VS_INT64 HeightOffset)
{
    TrelkStatus_PutInt(Element, "Layer", Layer);
    if (HeightOffset > INT32_MAX)
        HeightOffset = INT32_MAX;
    QZRealmBase_GetStatus_CreateGetStatusPositionItem(Layer, Element, (VS_INT32)HeightOffset);
    Element->Release();
}

VS_BOOL TrelkStatus_ProcElements(VS_PARAPKGPTR ProcPkg, VS_INT32 Layer, VS_INT64 Left)
{
    if (Layer < 0 || Layer >= GETSTATUS_MAXLAYER)
        return VS_TRUE;
    const VS_INT64 W = GETSTATUS_QZPROC_WIDTH, H = GETSTATUS_QZPROC_HEIGHT, R = GETSTATUS_QZDATA_RADIUS;
    VS_PARAPKGPTR Inputs = DictPkg(ProcPkg, "InputQueue");
    VS_PARAPKGPTR Outputs = DictPkg(ProcPkg, "OutputQueue");

    VS_INT64 n = Inputs != NULL ? Inputs->GetNumber() : 0;
    VS_INT64 m = 0;
    for (VS_INT32 i = 0; Outputs != NULL && i < Outputs->GetNumber(); i++) {
        VS_PARAPKGPTR Out = Outputs->GetParaPackage(i);
        VS_PARAPKGPTR Data = Out != NULL ? DictPkg(Out, "QZData") : NULL;
        m += Data != NULL && Data->GetNumber() > 0 ? Data->GetNumber() : 1;
    }
    VS_INT64 Height = H;
    if (2 * R * n + (n + 1) * R > Height)
        Height = 2 * R * n + (n + 1) * R;
    if (2 * R * m + (m + 1) * R > Height)
        Height = 2 * R * m + (m + 1) * R;

    VS_PARAPKGPTR Box = NewElement(DictStr(ProcPkg, "ObjectName"), DictStr(ProcPkg, "ObjectID"), "ElementProc",
                                   Left + 8 * R, 0);
    TrelkStatus_PutInt(Box, "Width", W);
    TrelkStatus_PutInt(Box, "Height", Height);
    EnterElement(Box, Layer, 0);

    for (VS_INT32 i = 0; Inputs != NULL && i < Inputs->GetNumber(); i++) {
        VS_PARAPKGPTR In = Inputs->GetParaPackage(i);
        if (In == NULL)
            continue;
        VS_PARAPKGPTR Circle =
            NewElement(DictStr(In, "DataBaseName"), DictStr(In, "ObjectID"), "ElementInput", Left + 3 * R, 0);
        TrelkStatus_PutInt(Circle, "Radius", R);
        EnterElement(Circle, Layer, 2 * R + 3 * R * i);
    }

    // One running offset for the whole output side.
    VS_INT64 o = 0;
    for (VS_INT32 i = 0; Outputs != NULL && i < Outputs->GetNumber(); i++) {
        VS_PARAPKGPTR Out = Outputs->GetParaPackage(i);
        if (Out == NULL)
            continue;
        VS_PARAPKGPTR Data = DictPkg(Out, "QZData");
        if (Data == NULL || Data->GetNumber() == 0) {
            VS_PARAPKGPTR OutBox = NewElement(DictStr(Out, "DataBaseName"), DictStr(Out, "ObjectID"),
                                              "ElementOutput", Left + W + 10 * R, 0);
            TrelkStatus_PutInt(OutBox, "Width", 2 * R);
            TrelkStatus_PutInt(OutBox, "Height", 2 * R);
            EnterElement(OutBox, Layer, R + o);
            o += 3 * R;
            continue;
        }
        for (VS_INT32 k = 0; k < Data->GetNumber(); k++) {
            VS_PARAPKGPTR Datum = Data->GetParaPackage(k);
            if (Datum == NULL)
                continue;
            VS_PARAPKGPTR Circle = NewElement(DictStr(Datum, "ObjectName"), DictStr(Datum, "ObjectID"),
                                              "ElementData", Left + W + 13 * R, 0);
            TrelkStatus_PutInt(Circle, "Radius", R);
            EnterElement(Circle, Layer, 2 * R + o);
            o += 3 * R;
        }
    }
    return VS_TRUE;
}

VS_PARAPKGPTR TrelkStatus_EnvDataElement(VS_PARAPKGPTR DataPkg, VS_INT32 K, VS_INT64 Left)
{
    const VS_INT64 R = GETSTATUS_QZDATA_RADIUS;
    VS_PARAPKGPTR Circle = NewElement(DictStr(DataPkg, "ObjectName"), DictStr(DataPkg, "ObjectID"), "ElementData",
                                      Left + 4 * R * K + 3 * R, 3 * R);
    TrelkStatus_PutInt(Circle, "Radius", R);
    return Circle;
}

// ---------------------------------------------------------------------------
// Bands of one runner
// ---------------------------------------------------------------------------
static VS_INT64 DictInt(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_BOOL *Has)
{
    VS_INT32 i = Pkg->FindDict(Key);
    *Has = i >= 0 ? VS_TRUE : VS_FALSE;
    return i >= 0 ? Pkg->GetInt(i) : 0;
}

VS_BOOL TrelkStatus_RunnerBands(VS_PARAPKGPTR RunnerPkg, VS_BOOL HasFirstProc, VS_INT64 FinalEdge, VS_INT64 Y0)
{
    const VS_INT64 R = GETSTATUS_QZDATA_RADIUS, HI = GETSTATUS_QZPROC_HINTERVAL,
                   VI = GETSTATUS_QZPROC_VINTERVAL;
    if (HasFirstProc)
        TrelkStatus_PutInt(RunnerPkg, "Width", FinalEdge == 0 ? 0 : FinalEdge - HI);

    VS_PARAPKGPTR Elements = Trelk_GetParaPkgInterface(__LINE__);
    VS_INT64 B = 0;
    for (VS_INT32 Layer = 0; Layer < GETSTATUS_MAXLAYER && GetStatusPositionItemRoot[Layer] != NULL; Layer++) {
        VS_INT64 M = 0;
        for (StructOfGetStatusPositionItem *Item = GetStatusPositionItemRoot[Layer]; Item != NULL;
             Item = Item->Down) {
            VS_PARAPKGPTR Element = Item->ParaPkg;
            VS_INT32 PosY = Element->FindDict("PosY");
            if (PosY >= 0)
                TrelkStatus_InsertInt(Element, PosY, Item->HeightOffset + B + Y0 + 4 * R);
            VS_BOOL HasHeight;
            VS_INT64 Height = DictInt(Element, "Height", &HasHeight);
            if (HasHeight && Height > M)
                M = Height;
            Elements->InsertParaPackage(Elements->GetNumber(), Element);
        }
        // Every box of a band is as high as the band's highest shape.
        for (StructOfGetStatusPositionItem *Item = GetStatusPositionItemRoot[Layer]; Item != NULL;
             Item = Item->Down) {
            VS_PARAPKGPTR Element = Item->ParaPkg;
            VS_INT32 Type = Element->FindDict("Type");
            const VS_CHAR *TypeText = Type >= 0 ? Element->GetStr(Type) : NULL;
            VS_INT32 Height = Element->FindDict("Height");
            if (TypeText != NULL && strcmp(TypeText, "ElementProc") == 0 && Height >= 0)
                TrelkStatus_InsertInt(Element, Height, M);
        }
        B += M + VI;
    }
    TrelkStatus_PutInt(RunnerPkg, "Height", 4 * R + B);
    TrelkStatus_PutInt(RunnerPkg, "PosX", 0);
    TrelkStatus_PutInt(RunnerPkg, "PosY", Y0);
    RunnerPkg->InsertStr(RunnerPkg->GetNumber(), "Elements");
    RunnerPkg->InsertParaPackage(RunnerPkg->GetNumber(), Elements);
    Elements->Release();
    QZRealmBase_GetStatus_FreeGetStatusPositionItem();
    return VS_TRUE;
}
