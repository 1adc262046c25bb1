// Notes of changes to data objects' exclusion lists, for the scheduler's
// per-cell indexes of env data (which remember, between steps, which data a
// proc has already excluded, and which data may have become unallocated).
//
// A list that loses keys, or is replaced, makes every remembered exclusion
// doubtful: the epoch advances and the indexes start over. A list that gains
// a key is noted by the data's ID until the scheduler takes the notes.
#include "trelk_data_internal.h"

static uint64_t g_ExcludeEpoch = 0;
// Data ID -> 1 (host ID index), made on first use.
static void *g_Widened = NULL;

void QZDataBase_ExcludeNarrowed()
{
    g_ExcludeEpoch++;
}

uint64_t QZDataBase_ExcludeEpoch()
{
    return g_ExcludeEpoch;
}

void QZDataBase_ExcludeWidened(StructOfQZDataBase *Data)
{
    if (Data == NULL)
        return;
    if (g_Widened == NULL) {
        g_Widened = SRV->CreateIDIndex_Nor(0);
        if (g_Widened == NULL) {
            // Nothing can be noted: the indexes start over instead.
            g_ExcludeEpoch++;
            return;
        }
    }
    VS_UUID *ID = SRV->GetIDEx(Data);
    if (ID != NULL && SRV->FindIDKey(g_Widened, ID) == NULL)
        SRV->InsertIDKey(g_Widened, ID, (void *)1);
}

void *QZDataBase_ExcludeWidenedNotes()
{
    return g_Widened;
}

void QZDataBase_ReleaseExcludeNotes()
{
    if (g_Widened != NULL)
        SRV->DestoryIndex(g_Widened);
    g_Widened = NULL;
}
