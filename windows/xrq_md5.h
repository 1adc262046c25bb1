// MD5 message digest and HMAC-MD5, with texts of 32 lowercase hexadecimal
// digits. Carried by the Windows DLL for programs built with it; nothing in
// the module calls them and they are not exported.
#ifndef XRQ_MD5_H
#define XRQ_MD5_H

#include "vs_types.h"

// Digest state: A, B, C, D; the message length in bits (modulo 2^64, low
// word first); input not yet transformed.
struct MD5_CONTEXT {
    VS_ULONG State[4];
    VS_ULONG Count[2];
    VS_UINT8 Buffer[64];
};

#define MD5_DIGEST_SIZE 16
#define MD5_TEXT_SIZE 33

void MD5Init(MD5_CONTEXT *Context);
void MD5Update(MD5_CONTEXT *Context, const VS_UINT8 *Bytes, VS_ULONG Length);
// Writes the digest, then clears the whole context.
void MD5Final(VS_UINT8 Digest[MD5_DIGEST_SIZE], MD5_CONTEXT *Context);
void MD5Transform(VS_ULONG State[4], const VS_UINT8 Block[64]);

// Each text function answers in a static buffer of its own, overwritten by
// its next call; none of them may be called from two threads at once.
VS_CHAR *MD5DataText(const void *Bytes, VS_ULONG Length);
VS_CHAR *MD5DataText2(const void *Bytes, VS_ULONG Length);
VS_CHAR *MD5StringText(const VS_CHAR *Text);
// NULL (with a message on standard output) when the file cannot be opened.
VS_CHAR *MD5FileText(const VS_CHAR *FileName);
VS_CHAR *HmacMD5Text(const VS_CHAR *Text, const VS_CHAR *Key);

#endif
