// MD5 (the 64-step compression over 512-bit blocks, little-endian words) and
// HMAC-MD5 with a 64-byte block.
#include "xrq_md5.h"

#include "vs_platform.h"

#include <cstdio>
#include <cstring>

namespace {

inline VS_ULONG RotateLeft(VS_ULONG x, int n)
{
    return (x << n) | (x >> (32 - n));
}

inline VS_ULONG ReadLE32(const VS_UINT8 *p)
{
    return (VS_ULONG)p[0] | ((VS_ULONG)p[1] << 8) | ((VS_ULONG)p[2] << 16) | ((VS_ULONG)p[3] << 24);
}

inline void WriteLE32(VS_UINT8 *p, VS_ULONG v)
{
    p[0] = (VS_UINT8)v;
    p[1] = (VS_UINT8)(v >> 8);
    p[2] = (VS_UINT8)(v >> 16);
    p[3] = (VS_UINT8)(v >> 24);
}

// Per step: the message word, the shift and the sine-derived constant.
const int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
const VS_ULONG kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

void DigestToText(const VS_UINT8 Digest[MD5_DIGEST_SIZE], VS_CHAR Text[MD5_TEXT_SIZE])
{
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < MD5_DIGEST_SIZE; i++) {
        Text[2 * i] = kHex[Digest[i] >> 4];
        Text[2 * i + 1] = kHex[Digest[i] & 15];
    }
    Text[2 * MD5_DIGEST_SIZE] = 0;
}

void DigestOf(const void *Bytes, VS_ULONG Length, VS_UINT8 Digest[MD5_DIGEST_SIZE])
{
    MD5_CONTEXT Context;
    MD5Init(&Context);
    MD5Update(&Context, (const VS_UINT8 *)Bytes, Length);
    MD5Final(Digest, &Context);
}

VS_CHAR *TextOf(const void *Bytes, VS_ULONG Length, VS_CHAR *Text)
{
    VS_UINT8 Digest[MD5_DIGEST_SIZE];
    DigestOf(Bytes, Length, Digest);
    DigestToText(Digest, Text);
    return Text;
}

VS_CHAR g_DataText[MD5_TEXT_SIZE];
VS_CHAR g_DataText2[MD5_TEXT_SIZE];
VS_CHAR g_StringText[MD5_TEXT_SIZE];
VS_CHAR g_FileText[MD5_TEXT_SIZE];
VS_CHAR g_HmacText[MD5_TEXT_SIZE];

} // namespace

void MD5Init(MD5_CONTEXT *Context)
{
    Context->State[0] = 0x67452301;
    Context->State[1] = 0xefcdab89;
    Context->State[2] = 0x98badcfe;
    Context->State[3] = 0x10325476;
    Context->Count[0] = Context->Count[1] = 0;
    memset(Context->Buffer, 0, sizeof(Context->Buffer));
}

void MD5Transform(VS_ULONG State[4], const VS_UINT8 Block[64])
{
    VS_ULONG x[16];
    for (int i = 0; i < 16; i++)
        x[i] = ReadLE32(Block + 4 * i);
    VS_ULONG a = State[0], b = State[1], c = State[2], d = State[3];
    for (int i = 0; i < 64; i++) {
        VS_ULONG f;
        int k;
        switch (i / 16) {
        case 0:
            f = (b & c) | (~b & d);
            k = i;
            break;
        case 1:
            f = (d & b) | (~d & c);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            k = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            k = (7 * i) % 16;
            break;
        }
        VS_ULONG Next = b + RotateLeft(a + f + kSine[i] + x[k], kShift[i / 16][i % 4]);
        a = d;
        d = c;
        c = b;
        b = Next;
    }
    State[0] += a;
    State[1] += b;
    State[2] += c;
    State[3] += d;
    // The message block leaves no trace on the stack.
    memset(x, 0, sizeof(x));
}

void MD5Update(MD5_CONTEXT *Context, const VS_UINT8 *Bytes, VS_ULONG Length)
{
    VS_ULONG Index = (Context->Count[0] >> 3) & 0x3F;
    VS_ULONG Bits = Length << 3;
    Context->Count[0] += Bits;
    if (Context->Count[0] < Bits)
        Context->Count[1]++;
    Context->Count[1] += Length >> 29;

    VS_ULONG Free = 64 - Index;
    VS_ULONG i = 0;
    if (Length >= Free) {
        memcpy(&Context->Buffer[Index], Bytes, Free);
        MD5Transform(Context->State, Context->Buffer);
        for (i = Free; i + 63 < Length; i += 64)
            MD5Transform(Context->State, Bytes + i);
        Index = 0;
    }
    if (Length > i)
        memcpy(&Context->Buffer[Index], Bytes + i, Length - i);
}

void MD5Final(VS_UINT8 Digest[MD5_DIGEST_SIZE], MD5_CONTEXT *Context)
{
    VS_UINT8 Bits[8];
    WriteLE32(Bits, Context->Count[0]);
    WriteLE32(Bits + 4, Context->Count[1]);
    VS_ULONG Index = (Context->Count[0] >> 3) & 0x3F;
    VS_ULONG PadLength = Index < 56 ? 56 - Index : 120 - Index;
    static const VS_UINT8 kPadding[64] = {0x80};
    MD5Update(Context, kPadding, PadLength);
    MD5Update(Context, Bits, 8);
    for (int i = 0; i < 4; i++)
        WriteLE32(Digest + 4 * i, Context->State[i]);
    memset(Context, 0, sizeof(*Context));
}

VS_CHAR *MD5DataText(const void *Bytes, VS_ULONG Length)
{
    return TextOf(Bytes, Length, g_DataText);
}

VS_CHAR *MD5DataText2(const void *Bytes, VS_ULONG Length)
{
    return TextOf(Bytes, Length, g_DataText2);
}

VS_CHAR *MD5StringText(const VS_CHAR *Text)
{
    if (Text == nullptr)
        Text = "";
    return TextOf(Text, (VS_ULONG)strlen(Text), g_StringText);
}

VS_CHAR *MD5FileText(const VS_CHAR *FileName)
{
    FILE *f = FileName != nullptr ? vs_file_fopen(FileName, "rb") : nullptr;
    if (f == nullptr) {
        printf("%s can't be opened\n", FileName != nullptr ? FileName : "(null)");
        return nullptr;
    }
    MD5_CONTEXT Context;
    MD5Init(&Context);
    VS_UINT8 Block[1024];
    size_t n;
    while ((n = fread(Block, 1, sizeof(Block), f)) > 0)
        MD5Update(&Context, Block, (VS_ULONG)n);
    // A read error must not pass for the end of the file: the digest would
    // be that of a cut file.
    bool Failed = ferror(f) != 0;
    fclose(f);
    VS_UINT8 Digest[MD5_DIGEST_SIZE];
    MD5Final(Digest, &Context);
    if (Failed)
        return nullptr;
    DigestToText(Digest, g_FileText);
    return g_FileText;
}

VS_CHAR *HmacMD5Text(const VS_CHAR *Text, const VS_CHAR *Key)
{
    if (Text == nullptr)
        Text = "";
    if (Key == nullptr)
        Key = "";
    VS_UINT8 KeyBlock[64];
    memset(KeyBlock, 0, sizeof(KeyBlock));
    size_t KeyLength = strlen(Key);
    if (KeyLength > sizeof(KeyBlock))
        DigestOf(Key, (VS_ULONG)KeyLength, KeyBlock);
    else
        memcpy(KeyBlock, Key, KeyLength);

    VS_UINT8 Pad[64];
    MD5_CONTEXT Context;
    VS_UINT8 Inner[MD5_DIGEST_SIZE], Outer[MD5_DIGEST_SIZE];
    for (int i = 0; i < 64; i++)
        Pad[i] = (VS_UINT8)(KeyBlock[i] ^ 0x36);
    MD5Init(&Context);
    MD5Update(&Context, Pad, 64);
    MD5Update(&Context, (const VS_UINT8 *)Text, (VS_ULONG)strlen(Text));
    MD5Final(Inner, &Context);
    for (int i = 0; i < 64; i++)
        Pad[i] = (VS_UINT8)(KeyBlock[i] ^ 0x5c);
    MD5Init(&Context);
    MD5Update(&Context, Pad, 64);
    MD5Update(&Context, Inner, MD5_DIGEST_SIZE);
    MD5Final(Outer, &Context);
    memset(KeyBlock, 0, sizeof(KeyBlock));
    memset(Pad, 0, sizeof(Pad));
    DigestToText(Outer, g_HmacText);
    return g_HmacText;
}
