// UUID text: the three numeric fields most significant digit first, the
// eight remaining bytes in storage order.
#include "xrq_uuidtext.h"

#include <cstring>

namespace {

int HexValue(VS_CHAR c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads Digits hex digits; false at the first character that is not one.
bool ReadHex(const VS_CHAR *&p, int Digits, VS_UWORD *Value)
{
    VS_UWORD v = 0;
    for (int i = 0; i < Digits; i++) {
        int h = HexValue(*p);
        if (h < 0)
            return false;
        v = (v << 4) | (VS_UWORD)h;
        p++;
    }
    *Value = v;
    return true;
}

bool ReadDash(const VS_CHAR *&p)
{
    if (*p != '-')
        return false;
    p++;
    return true;
}

VS_UUID g_StaticUuid;

} // namespace

void UuidToText(const VS_UUID *Uuid, VS_CHAR *Text)
{
    static const char kHex[] = "0123456789abcdef";
    VS_CHAR *p = Text;
    for (int Shift = 28; Shift >= 0; Shift -= 4)
        *p++ = kHex[(Uuid->Data1 >> Shift) & 15];
    *p++ = '-';
    for (int Shift = 12; Shift >= 0; Shift -= 4)
        *p++ = kHex[(Uuid->Data2 >> Shift) & 15];
    *p++ = '-';
    for (int Shift = 12; Shift >= 0; Shift -= 4)
        *p++ = kHex[(Uuid->Data3 >> Shift) & 15];
    *p++ = '-';
    for (int i = 0; i < 8; i++) {
        if (i == 2)
            *p++ = '-';
        *p++ = kHex[Uuid->Data4[i] >> 4];
        *p++ = kHex[Uuid->Data4[i] & 15];
    }
    *p = 0;
}

bool TextToUuid(VS_UUID *Uuid, const VS_CHAR *Text)
{
    if (Uuid == nullptr)
        return false;
    memset(Uuid, 0, sizeof(*Uuid));
    if (Text == nullptr)
        return false;
    VS_UUID Read;
    VS_UWORD v;
    const VS_CHAR *p = Text;
    bool Ok = ReadHex(p, 8, &v);
    Read.Data1 = (VS_ULONG)v;
    Ok = Ok && ReadDash(p) && ReadHex(p, 4, &v);
    Read.Data2 = (VS_UINT16)v;
    Ok = Ok && ReadDash(p) && ReadHex(p, 4, &v);
    Read.Data3 = (VS_UINT16)v;
    Ok = Ok && ReadDash(p);
    for (int i = 0; Ok && i < 8; i++) {
        if (i == 2)
            Ok = ReadDash(p);
        Ok = Ok && ReadHex(p, 2, &v);
        Read.Data4[i] = (VS_UINT8)v;
    }
    // The 36 characters are the whole text: "a UUID and then more" is not one.
    if (!Ok || *p != 0)
        return false;
    *Uuid = Read;
    return true;
}

VS_UUID *TextToStaticUuid(const VS_CHAR *Text)
{
    return TextToUuid(&g_StaticUuid, Text) ? &g_StaticUuid : nullptr;
}
