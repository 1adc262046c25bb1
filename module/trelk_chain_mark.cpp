// The nearest marked object up a class chain, through the memos the objects
// keep (see trelk_chain_mark.h).
#include "trelk_chain_mark.h"
#include "quel_trelk.h"
#include "trelk_helpers.h"

void *Trelk_ChainMarkNearest(TrelkChainMarkKind *Kind, void *X)
{
    if (X == NULL || SRV == NULL)
        return NULL;
    // No object ever marked: nothing to find (and no memo to write).
    const uint64_t Seen = Kind->Generation.load(std::memory_order_relaxed);
    if (Seen == 0)
        return NULL;
    // Zero-filled memos must never be current.
    const uint64_t Generation = Seen + 1;
    // Up to the first object that answers: a marked one, one whose memo is
    // current and names none or a live object, or the end of the chain.
    void *Found = NULL;
    void *Stop = NULL;
    for (void *Y = X; Y != NULL; Y = SRV->GetClass(Y)) {
        TrelkChainMarkMemo *Memo = NULL;
        VS_BOOL Marked = VS_FALSE;
        if (!Kind->Look(Y, &Memo, &Marked)) {
            Stop = Y;
            break;
        }
        if (Marked) {
            Found = Stop = Y;
            break;
        }
        if (Memo != NULL && Memo->Generation == Generation) {
            Found = Memo->HasNearest ? SRV->GetObject(&Memo->NearestID) : NULL;
            if (Found != NULL || !Memo->HasNearest) {
                Stop = Y;
                break;
            }
        }
    }
    // The objects passed on the way share that answer.
    VS_UUID FoundID = {};
    if (Found != NULL)
        FoundID = SRV->GetID(Found);
    for (void *Y = X; Y != Stop && Y != NULL; Y = SRV->GetClass(Y)) {
        TrelkChainMarkMemo *Memo = NULL;
        VS_BOOL Marked = VS_FALSE;
        if (Kind->Look(Y, &Memo, &Marked) && Memo != NULL) {
            Memo->Generation = Generation;
            Memo->HasNearest = Found != NULL ? VS_TRUE : VS_FALSE;
            Memo->NearestID = FoundID;
        }
    }
    return Found;
}

void Trelk_ChainMarkAddCallback(TrelkChainMarkKind *Kind, VS_PARAPKGPTR *List, void *Target)
{
    if (Target == NULL)
        return;
    if (*List == NULL)
        *List = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL First = *List != NULL && (*List)->GetNumber() == 0;
    Trelk_CallBackListAdd(*List, Target);
    if (First)
        Trelk_ChainMarkGained(Kind);
}
