// Walking the order of a chain or runner. QZProcNext is a bare handle that any
// script or saved package can point anywhere, so every walk remembers the
// procs it met and ends rather than go round a loop.
#include "trelk_proc_internal.h"

#include <cstring>


VS_BOOL TrelkChain_IsProc(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcBaseClass);
}

VS_BOOL TrelkChain_IsChain(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcChainBaseClass);
}

StructOfQZProcBase *TrelkChain_StartProc(VS_UUID *QZProcStart)
{
    if (QZProcStart == NULL || Trelk_IsZeroID(QZProcStart))
        return NULL;
    void *Object = SRV->GetObject(QZProcStart);
    return TrelkChain_IsProc(Object) ? (StructOfQZProcBase *)Object : NULL;
}

StructOfQZProcBase *TrelkChain_NextProc(StructOfQZProcBase *QZProc)
{
    if (QZProc == NULL || QZProc->QZProcNext == NULL)
        return NULL;
    void *Object = SRV->AtomicToObject(QZProc->QZProcNext);
    return TrelkChain_IsProc(Object) ? (StructOfQZProcBase *)Object : NULL;
}

StructOfQZProcBase *TrelkProcWalk_Begin(StructOfTrelkProcWalk *Walk, StructOfQZProcBase *First, VS_BOOL StopAtEnd)
{
    Walk->Current = First;
    Walk->StopAtEnd = StopAtEnd;
    Walk->Visited = NULL;
    return First;
}

StructOfQZProcBase *TrelkProcWalk_Next(StructOfTrelkProcWalk *Walk)
{
    StructOfQZProcBase *Current = Walk->Current;
    if (Current == NULL)
        return NULL;
    StructOfQZProcBase *Next = (Walk->StopAtEnd && Current->ChildEndMarker) ? NULL : TrelkChain_NextProc(Current);
    if (Next != NULL) {
        if (Walk->Visited == NULL) {
            Walk->Visited = SRV->CreateIDIndex_Nor(0);
            if (Walk->Visited != NULL)
                SRV->InsertIDKey(Walk->Visited, SRV->GetIDEx(Current), (void *)1);
        }
        VS_UUID *NextID = SRV->GetIDEx(Next);
        if (Walk->Visited == NULL || SRV->FindIDKey(Walk->Visited, NextID) != NULL)
            Next = NULL; // back at a proc already met: the order loops here
        else
            SRV->InsertIDKey(Walk->Visited, NextID, (void *)1);
    }
    Walk->Current = Next;
    return Next;
}

void TrelkProcWalk_End(StructOfTrelkProcWalk *Walk)
{
    if (Walk->Visited != NULL)
        SRV->DestoryIndex(Walk->Visited);
    Walk->Visited = NULL;
    Walk->Current = NULL;
}

VS_BOOL TrelkChain_ProcNextReaches(StructOfQZProcBase *From, StructOfQZProcBase *Target)
{
    if (From == NULL || Target == NULL)
        return VS_FALSE;
    StructOfTrelkProcWalk Walk;
    VS_BOOL Reaches = VS_FALSE;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, From, VS_FALSE); P != NULL && !Reaches;
         P = TrelkProcWalk_Next(&Walk))
        Reaches = P == Target;
    TrelkProcWalk_End(&Walk);
    return Reaches;
}

StructOfQZProcBase *TrelkChain_LastProc(StructOfQZProcBase *First)
{
    StructOfTrelkProcWalk Walk;
    StructOfQZProcBase *Last = NULL;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, First, VS_FALSE); P != NULL; P = TrelkProcWalk_Next(&Walk))
        Last = P;
    TrelkProcWalk_End(&Walk);
    return Last;
}
