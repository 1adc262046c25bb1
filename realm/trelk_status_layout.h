// Status layout table: per layer, the drawn elements of a status query with
// their vertical offsets, used to place the elements of one layer.
#ifndef TRELK_STATUS_LAYOUT_H
#define TRELK_STATUS_LAYOUT_H

#include "quel_trelk.h"

#define GETSTATUS_MAXLAYER 1024

struct StructOfGetStatusPositionItem {
    VS_PARAPKGPTR ParaPkg; // the element dict; one reference owned by the item
    VS_INT32 HeightOffset;
    StructOfGetStatusPositionItem *Up;   // towards the head
    StructOfGetStatusPositionItem *Down; // towards the tail
};

// One list head per layer 0 to 1023. Module-wide: status queries must not
// overlap.
extern StructOfGetStatusPositionItem *GetStatusPositionItemRoot[GETSTATUS_MAXLAYER];

#endif
