// String, memory and byte-order functions: the same on every system.
#include "vs_platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {

VS_INT32 vs_string_strlen(const VS_CHAR *s)
{
    return s == nullptr ? 0 : (VS_INT32)strlen(s);
}

VS_INT32 vs_string_strcmp(const VS_CHAR *a, const VS_CHAR *b)
{
    if (a == nullptr)
        return -1;
    if (b == nullptr)
        return 1;
    return strcmp(a, b);
}

VS_INT32 vs_string_vsnprintf(VS_CHAR *Buf, VS_INT32 Size, const VS_CHAR *Format, va_list Args)
{
    // A negative size would reach the C library as an enormous one.
    if (Buf == nullptr || Size < 0)
        Size = 0;
    if (Format == nullptr) {
        if (Size > 0)
            Buf[0] = 0;
        return -1;
    }
    int r = vsnprintf(Size > 0 ? Buf : nullptr, (size_t)Size, Format, Args);
    if (Size > 0)
        Buf[Size - 1] = 0;
    return r;
}

VS_INT32 vs_string_snprintf(VS_CHAR *Buf, VS_INT32 Size, const VS_CHAR *Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    VS_INT32 r = vs_string_vsnprintf(Buf, Size, Format, Args);
    va_end(Args);
    return r;
}

static inline unsigned char AsciiLower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? (unsigned char)(c - 'A' + 'a') : c;
}

VS_CHAR *vs_string_stristr(const VS_CHAR *s, const VS_CHAR *t)
{
    if (s == nullptr || t == nullptr || s[0] == 0)
        return nullptr;
    if (t[0] == 0)
        return const_cast<VS_CHAR *>(s);
    for (const VS_CHAR *p = s; *p; p++) {
        size_t i = 0;
        while (t[i] != 0 && p[i] != 0 && AsciiLower((unsigned char)p[i]) == AsciiLower((unsigned char)t[i]))
            i++;
        if (t[i] == 0)
            return const_cast<VS_CHAR *>(p);
        if (p[i] == 0)
            break; // the rest of s is shorter than t
    }
    return nullptr;
}

static inline bool IsSeparator(VS_INT32 c)
{
    return c == '/' || c == '\\';
}

VS_CHAR *vs_file_strchr(const VS_CHAR *s, VS_INT32 c)
{
    if (s == nullptr)
        return nullptr;
    if (!IsSeparator(c))
        return const_cast<VS_CHAR *>(strchr(s, c));
    for (const VS_CHAR *p = s; *p; p++)
        if (IsSeparator((unsigned char)*p))
            return const_cast<VS_CHAR *>(p);
    return nullptr;
}

VS_CHAR *vs_file_strrchr(const VS_CHAR *s, VS_INT32 c)
{
    if (s == nullptr)
        return nullptr;
    if (!IsSeparator(c))
        return const_cast<VS_CHAR *>(strrchr(s, c));
    const VS_CHAR *found = nullptr;
    for (const VS_CHAR *p = s; *p; p++)
        if (IsSeparator((unsigned char)*p))
            found = p;
    return const_cast<VS_CHAR *>(found);
}

void vs_file_namechange(VS_CHAR *s, VS_CHAR From, VS_CHAR To)
{
    if (s == nullptr)
        return;
    for (; *s; s++)
        if (*s == From)
            *s = To;
}

void vs_memset(void *p, VS_INT32 Fill, VS_INT64 n)
{
    if (p == nullptr || n <= 0)
        return;
    memset(p, Fill & 0xFF, (size_t)n);
}

void *vs_memcpy(void *d, const void *s, VS_INT64 n)
{
    if (d == nullptr || s == nullptr || n <= 0)
        return d;
    if (((uintptr_t)d % 8) == 0 && ((uintptr_t)s % 8) == 0) {
        memcpy(d, s, (size_t)n);
    } else {
        unsigned char *dp = (unsigned char *)d;
        const unsigned char *sp = (const unsigned char *)s;
        for (VS_INT64 i = 0; i < n; i++)
            dp[i] = sp[i];
    }
    return d;
}

VS_INT64 vs_atoi(const VS_CHAR *s)
{
    if (s == nullptr)
        return 0;
    return (VS_INT64)strtoll(s, nullptr, 10);
}

static inline uint32_t HostToNet32(uint32_t v)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return v;
#else
    return __builtin_bswap32(v);
#endif
}

VS_UWORD vs_htonl64(VS_UWORD Value)
{
    uint32_t High = HostToNet32((uint32_t)(Value >> 32));
    uint32_t Low = HostToNet32((uint32_t)Value);
    return ((VS_UWORD)High << 32) | Low;
}

VS_UWORD vs_ntohl64(VS_UWORD Value)
{
    return vs_htonl64(Value);
}

} // extern "C"
