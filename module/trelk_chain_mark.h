// Marks along class chains. Some walks look at an object and then at every
// class up its chain for something that few of them have: a free-callback
// list with targets, a property package. Along a chain of objects each made
// from the one before, N deep, each such walk costs N, and freeing the chain
// or reading an attribute at each level costs N squared. Here the walk asks
// only the marked objects: for one kind of mark, the nearest object up an
// object's chain (the object itself included) that bears it.
//
// Each object keeps the answer in a memo of its own, stamped with the kind's
// generation, which moves whenever any object may have become marked: every
// memo is stale at once, and the next walk writes anew the memos it passes.
// An object losing its mark moves nothing: a memo may then name an object
// that is no longer marked, which the walker sees when it gets there and goes
// on from that object's class. So a memo may name too much, never too
// little. A memo names the object by ID: an object's ancestors outlive it as
// a rule (an object is freed after its instances), but a script may free a
// class while the free of an instance is under way, and a memo naming an
// object that is gone counts as stale.
//
//     for (void *X = Trelk_ChainMarkNearest(&Kind, Object); X != NULL;
//          X = Trelk_ChainMarkNearest(&Kind, SRV->GetClass(X)))
//         ...look at X's mark, which may be gone...
#ifndef TRELK_CHAIN_MARK_H
#define TRELK_CHAIN_MARK_H

#include "tarvex_api.h"

#include <atomic>
#include <cstdint>

// Kept in an object's private buffer, zero-filled with it.
struct TrelkChainMarkMemo {
    uint64_t Generation;
    VS_BOOL HasNearest;
    VS_UUID NearestID;
};

struct TrelkChainMarkKind {
    // Fills X's memo (NULL when X keeps none) and whether X bears the mark;
    // FALSE when X is of no kind that bears it, which ends the chain.
    VS_BOOL (*Look)(void *X, TrelkChainMarkMemo **Memo, VS_BOOL *Marked);
    std::atomic<uint64_t> Generation;
};

// The nearest object from X up its class chain that bears the mark, NULL when
// none does (or X is NULL).
void *Trelk_ChainMarkNearest(TrelkChainMarkKind *Kind, void *X);

// To be called whenever an object may have gained the mark.
inline void Trelk_ChainMarkGained(TrelkChainMarkKind *Kind)
{
    Kind->Generation.fetch_add(1, std::memory_order_relaxed);
}

// For a Look function over objects whose buffers keep a memo and a list of
// free-callback targets: such an object bears the mark while its list has a
// target.
inline void Trelk_ChainMarkLookList(TrelkChainMarkMemo *Field, VS_PARAPKGPTR List, TrelkChainMarkMemo **Memo,
                                    VS_BOOL *Marked)
{
    *Memo = Field;
    *Marked = List != NULL && List->GetNumber() > 0 ? VS_TRUE : VS_FALSE;
}

// Adds Target to a list of free-callback targets, made on first use; the
// kind's generation moves when the list gets its first target.
void Trelk_ChainMarkAddCallback(TrelkChainMarkKind *Kind, VS_PARAPKGPTR *List, void *Target);

#endif
