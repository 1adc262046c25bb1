// Helpers and tables that only the realm files share. Nothing outside realm/
// includes this header.
#ifndef TRELK_REALM_INTERNAL_H
#define TRELK_REALM_INTERNAL_H

#include "trelk_realm_api.h"
#include "trelk_helpers.h"

// ---------------------------------------------------------------------------
// Status layout table: per layer, the drawn elements of a status query with
// their vertical offsets, used to place the elements of one layer.
// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
// Saved procs and chains read back (the record checks and loaders that the
// value list calls are in trelk_upcalls.h)
// ---------------------------------------------------------------------------
// The class name resolves (an object space in front of a "." must exist).
VS_BOOL QZRealmBase_CheckValid_Object(const VS_CHAR *ClassName);
// Input record InputQueueIndex against the input of that Index of the class.
VS_BOOL QZRealmBase_CheckValid_InputQueue(VS_INT32 InputQueueIndex, StructOfQZProcBase *QZProcClass,
                                          VS_PARAPKGPTR ParaPkg, VS_BOOL IsStrictmatch);
// Fills a new input container from its record.
void QZRealmBase_Load_InputQueue(StructOfQZDataInputContainer *QZDataInputContainer, VS_PARAPKGPTR ParaPkg,
                                 VS_PARAPKGPTR NextQZProcRecord);

#endif
