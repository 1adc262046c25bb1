// UUID text of the host-core loader: 36 lowercase hexadecimal characters in
// groups 8-4-4-4-12.
#ifndef XRQ_UUIDTEXT_H
#define XRQ_UUIDTEXT_H

#include "vs_types.h"

#define XRQ_UUIDTEXT_SIZE 37

// Text needs XRQ_UUIDTEXT_SIZE bytes.
void UuidToText(const VS_UUID *Uuid, VS_CHAR *Text);
// Digits in either case; anything else (or a missing "-") clears the UUID
// and gives false.
bool TextToUuid(VS_UUID *Uuid, const VS_CHAR *Text);
// Parses into one shared static UUID; NULL when the text is not a UUID. Not
// for two threads at once.
VS_UUID *TextToStaticUuid(const VS_CHAR *Text);

#endif
