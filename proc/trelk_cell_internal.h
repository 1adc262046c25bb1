// Helpers that only the cell files share, beside the proc files' own (proc
// walks, object tests). Nothing outside proc/ includes this header.
#ifndef TRELK_CELL_INTERNAL_H
#define TRELK_CELL_INTERNAL_H

#include "trelk_cell_api.h"
#include "trelk_proc_internal.h"

// Argument 1 when it is a cell or the QZCellBase class object.
StructOfQZCellBase *TrelkCell_SelfArg();
// The same, the class object excluded: it holds no env data, chains or
// runners of its own.
StructOfQZCellBase *TrelkCell_InstanceSelfArg();
// An instance of QZDataBase / QZRealmBase (class objects excluded).
VS_BOOL TrelkCell_IsData(void *Object);
VS_BOOL TrelkCell_IsRealm(void *Object);
// Attribute index of one of the cell's queues ("EnvDataQueue", ...).
OBJECTATTRIBUTEINDEX TrelkCell_QueueIndex(const VS_CHAR *Name);
// TRUE when Object sits in the cell's queue of that attribute.
VS_BOOL TrelkCell_InQueue(StructOfQZCellBase *Cell, void *Object, const VS_CHAR *Name);
// TRUE when the script value at Index is a number (integer or not).
VS_BOOL TrelkCell_IsNumberArg(VS_INT32 Index);
// Pushes a package made for the script, handing it over; returns 1.
VS_INT32 TrelkCell_PushPkg(VS_PARAPKGPTR Pkg);

// Puts the data objects of Pkg in cycle order (tick, then sequence number);
// data of equal stamps keep their order, none is dropped.
void TrelkCell_SortByStamp(VS_PARAPKGPTR Pkg);
// An input that still wants data: an empty queue, or fewer items than a
// positive RequestNumber.
VS_BOOL TrelkCell_InputIsShort(StructOfQZDataInputContainer *Input);

#endif
