// Scalar types, truth values and the UUID record of the host interface. The
// platform layer needs nothing else of the host and includes only this;
// tarvex_api.h includes it for everything else.
#ifndef VS_TYPES_H
#define VS_TYPES_H

#include <cstdint>

typedef unsigned char VS_BOOL;
typedef signed char VS_INT8;
typedef unsigned char VS_UINT8;
typedef short VS_INT16;
typedef unsigned short VS_UINT16;
typedef int32_t VS_INT32;
typedef uint32_t VS_ULONG;
typedef int64_t VS_INT64;
typedef uint64_t VS_UWORD;
typedef double VS_DOUBLE;
typedef float VS_FLOAT;
typedef char VS_CHAR;

#define VS_TRUE ((VS_BOOL)1)
#define VS_FALSE ((VS_BOOL)0)

struct VS_UUID {
    VS_ULONG Data1;
    VS_UINT16 Data2;
    VS_UINT16 Data3;
    VS_UINT8 Data4[8];
};

#endif
