// Shortening a data object's same-typed source chain, one link per call: the
// default step behind the "OnLongSourceData" limit event.
#include "trelk_realm_internal.h"

// The one source of X that has X's data type, with its place in X's source
// package; NULL when X has none or more than one (the chain forks).
static StructOfQZDataBase *SameTypedSource(StructOfQZDataBase *X, VS_INT32 *Position)
{
    VS_PARAPKGPTR Sources = QZDataBase_GetSourceData_Internal(X);
    if (Sources == NULL)
        return NULL;
    StructOfQZDataBase *XType = QZDataBase_GetDataType_Internal(X);
    StructOfQZDataBase *Found = NULL;
    for (VS_INT32 i = 0; i < Sources->GetNumber(); i++) {
        void *Item = Sources->GetObject(i);
        if (Item == NULL || !QZDataBase_IsDataObject(Item))
            continue;
        if (QZDataBase_GetDataType_Internal((StructOfQZDataBase *)Item) != XType)
            continue;
        if (Found != NULL)
            return NULL;
        Found = (StructOfQZDataBase *)Item;
        *Position = i;
    }
    return Found;
}

// TRUE when Y is one of the first Layer links of the chain from Root, so
// that following it would go round in a circle.
static VS_BOOL OnPath(StructOfQZDataBase *Root, StructOfQZDataBase *Y, VS_INT32 Layer)
{
    StructOfQZDataBase *X = Root;
    for (VS_INT32 k = 0; k < Layer && X != NULL; k++) {
        if (X == Y)
            return VS_TRUE;
        VS_INT32 Unused;
        X = SameTypedSource(X, &Unused);
    }
    return VS_FALSE;
}

VS_BOOL QZRealmBase_OnLongSourceData_Removelast(StructOfQZDataBase *RootQZData, StructOfQZDataBase *QZData,
                                                VS_INT32 Layer, VS_BOOL *HasRemove)
{
    if (RootQZData == NULL || QZData == NULL || HasRemove == NULL)
        return VS_FALSE;
    VS_INT32 Position = -1;
    StructOfQZDataBase *Y = SameTypedSource(QZData, &Position);
    if (Y == NULL)
        return VS_FALSE;
    // A chain that comes back to one of its own links has no deepest link;
    // it is reported like a chain that ends in a copy of its root.
    VS_BOOL Circle = OnPath(RootQZData, Y, Layer);
    if (!Circle && QZRealmBase_OnLongSourceData_Removelast(RootQZData, Y, Layer + 1, HasRemove))
        return VS_TRUE;
    if (Layer == 1 && !Circle)
        return VS_TRUE;
    VS_BOOL Loops = Circle;
    if (!Loops) {
        // "Equals" may be a script, which may free the data walked: nothing
        // is removed from a chain that is gone.
        uint64_t Serial = Trelk_ScriptSerial();
        VS_UUID DataID = SRV->GetID(QZData), RootID = SRV->GetID(RootQZData), YID = SRV->GetID(Y);
        Loops = QZDataBase_Equals_Internal(Y, RootQZData);
        if (Serial != Trelk_ScriptSerial()) {
            if (SRV->GetObject(&DataID) != QZData || SRV->GetObject(&RootID) != RootQZData)
                return VS_TRUE;
            // The script may have changed the source list the link's place
            // was read from: the link is looked for again, so that no other
            // source is removed in its stead. A freed link's place holds no
            // datum any more.
            Y = (StructOfQZDataBase *)SRV->GetObject(&YID);
            VS_PARAPKGPTR Now = QZDataBase_GetSourceData_Internal(QZData);
            if (Now == NULL)
                return VS_TRUE;
            if (Position >= Now->GetNumber() || Now->GetObject(Position) != Y) {
                if (Y == NULL)
                    return VS_TRUE;
                Position = -1;
                for (VS_INT32 i = 0; i < Now->GetNumber() && Position < 0; i++)
                    if (Now->GetObject(i) == Y)
                        Position = i;
                if (Position < 0)
                    return VS_TRUE;
            }
        }
    }
    if (Loops) {
        QZRealmBase_RaiseException(NULL, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "The source data chain of input data[%s] may be loop dead",
                                   Trelk_Name(RootQZData));
        return VS_TRUE;
    }
    VS_PARAPKGPTR Sources = QZDataBase_GetSourceData_Internal(QZData);
    Sources->Del(Position);
    *HasRemove = VS_TRUE;
    if (Sources->GetNumber() == 0) {
        StructOfQZDataBase *Holder = QZDataBase_GetSourceDataObject_Internal(QZData);
        if (Holder != NULL && Holder->SourceData == Sources) {
            Holder->SourceData = NULL;
            Sources->Release();
        }
    }
    return VS_TRUE;
}
