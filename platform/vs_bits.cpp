// Bit-pattern moves between floating-point values and integer words.
#include "vs_platform.h"

#include <cstdint>
#include <cstring>

static_assert(sizeof(VS_FLOAT) == 4 && sizeof(VS_DOUBLE) == 8, "IEEE single and double expected");

extern "C" {

VS_UWORD Float2UWord(VS_FLOAT Value)
{
    uint32_t Bits;
    memcpy(&Bits, &Value, sizeof(Bits));
    return (VS_UWORD)Bits;
}

VS_FLOAT UWord2Float(VS_UWORD Value)
{
    uint32_t Bits = (uint32_t)Value;
    VS_FLOAT f;
    memcpy(&f, &Bits, sizeof(f));
    return f;
}

VS_UWORD Double2UWord(VS_DOUBLE Value)
{
    return Float2UWord((VS_FLOAT)Value);
}

VS_DOUBLE UWord2Double(VS_UWORD Value)
{
    return (VS_DOUBLE)UWord2Float(Value);
}

VS_INT64 Float2Int64(VS_FLOAT Value)
{
    return (VS_INT64)Float2UWord(Value);
}

VS_FLOAT Int642Float(VS_INT64 Value)
{
    return UWord2Float((VS_UWORD)Value);
}

VS_INT64 Double2Int64(VS_DOUBLE Value)
{
    VS_INT64 Bits;
    memcpy(&Bits, &Value, sizeof(Bits));
    return Bits;
}

VS_DOUBLE Int642Double(VS_INT64 Value)
{
    VS_DOUBLE d;
    memcpy(&d, &Value, sizeof(d));
    return d;
}

} // extern "C"
