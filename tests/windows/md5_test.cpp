// MD5 and HMAC-MD5 against the published test vectors, files and the
// context's clearing.
#include "xrq_md5.h"

#include "vs_platform.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string TempName(const char *Leaf)
{
    const char *Dir = getenv("TMPDIR");
#if defined(_WIN32)
    if (Dir == nullptr || *Dir == 0)
        Dir = getenv("TEMP");
    std::string Base = Dir && *Dir ? Dir : ".";
    return Base + "\\" + Leaf;
#else
    std::string Base = Dir && *Dir ? Dir : "/tmp";
    return Base + "/" + Leaf;
#endif
}

void WriteBytes(const std::string &Path, const std::string &Bytes)
{
    FILE *f = fopen(Path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << Path;
    fwrite(Bytes.data(), 1, Bytes.size(), f);
    fclose(f);
}

std::string Hex(const VS_UINT8 *Bytes, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", Bytes[i]);
        s += b;
    }
    return s;
}

} // namespace

TEST(Md5, Rfc1321Suite)
{
    struct Case {
        const char *Text;
        const char *Digest;
    } Cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case &c : Cases) {
        EXPECT_STREQ(MD5StringText(c.Text), c.Digest) << '"' << c.Text << '"';
        EXPECT_STREQ(MD5DataText(c.Text, (VS_ULONG)strlen(c.Text)), c.Digest);
    }
}

TEST(Md5, PiecewiseUpdatesMatchOneUpdate)
{
    // Pieces that straddle the 64-byte blocks in every way.
    std::string Message;
    for (int i = 0; i < 1000; i++)
        Message += (char)('a' + i % 26);
    std::string Whole = MD5DataText(Message.data(), (VS_ULONG)Message.size());
    for (size_t Step : {1u, 7u, 55u, 56u, 63u, 64u, 65u, 200u}) {
        MD5_CONTEXT Context;
        MD5Init(&Context);
        for (size_t At = 0; At < Message.size(); At += Step) {
            size_t n = Message.size() - At < Step ? Message.size() - At : Step;
            MD5Update(&Context, (const VS_UINT8 *)Message.data() + At, (VS_ULONG)n);
        }
        VS_UINT8 Digest[MD5_DIGEST_SIZE];
        MD5Final(Digest, &Context);
        EXPECT_EQ(Hex(Digest, sizeof(Digest)), Whole) << "step " << Step;
    }
}

TEST(Md5, FinalClearsTheContext)
{
    MD5_CONTEXT Context;
    MD5Init(&Context);
    MD5Update(&Context, (const VS_UINT8 *)"abc", 3);
    VS_UINT8 Digest[MD5_DIGEST_SIZE];
    MD5Final(Digest, &Context);
    EXPECT_EQ(Hex(Digest, sizeof(Digest)), "900150983cd24fb0d6963f7d28e17f72");
    MD5_CONTEXT Zero;
    memset(&Zero, 0, sizeof(Zero));
    EXPECT_EQ(memcmp(&Context, &Zero, sizeof(Zero)), 0);
}

TEST(Md5, TextFunctionsKeepTheirOwnBuffers)
{
    char *a = MD5DataText("a", 1);
    char *b = MD5DataText2("abc", 3);
    EXPECT_NE(a, b);
    EXPECT_STREQ(a, "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_STREQ(b, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(MD5DataText("", 0), a) << "the same function answers in the same buffer";
}

TEST(Hmac, Rfc2104Cases)
{
    struct Case {
        std::string Key, Text;
        const char *Digest;
    } Cases[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        // The third case's key and text are bytes 0xAA and 0xDD, which hold
        // no NUL, so the text interface carries them.
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
    };
    for (const Case &c : Cases)
        EXPECT_STREQ(HmacMD5Text(c.Text.c_str(), c.Key.c_str()), c.Digest);
}

TEST(Hmac, KeysOf64BytesAreUsedAsTheyAre65AreHashedFirst)
{
    std::string Key64(64, 'k'), Key65(65, 'k');
    std::string Text = "text";
    // The reference: the HMAC of a 65-byte key equals the HMAC under the key's
    // own digest; a 64-byte key is not hashed, so its digest gives another
    // result.
    VS_UINT8 Digest65[MD5_DIGEST_SIZE], Digest64[MD5_DIGEST_SIZE];
    MD5_CONTEXT Context;
    MD5Init(&Context);
    MD5Update(&Context, (const VS_UINT8 *)Key65.data(), 65);
    MD5Final(Digest65, &Context);
    MD5Init(&Context);
    MD5Update(&Context, (const VS_UINT8 *)Key64.data(), 64);
    MD5Final(Digest64, &Context);
    std::string Hashed65((const char *)Digest65, 16), Hashed64((const char *)Digest64, 16);
    ASSERT_EQ(Hashed65.find('\0'), std::string::npos) << "pick a key whose digest holds no NUL";
    ASSERT_EQ(Hashed64.find('\0'), std::string::npos);

    std::string With65 = HmacMD5Text(Text.c_str(), Key65.c_str());
    EXPECT_EQ(With65, HmacMD5Text(Text.c_str(), Hashed65.c_str()));
    std::string With64 = HmacMD5Text(Text.c_str(), Key64.c_str());
    EXPECT_NE(With64, HmacMD5Text(Text.c_str(), Hashed64.c_str()));
    EXPECT_NE(With64, With65);
}

TEST(Md5, Files)
{
    std::string Missing = TempName("trelk_md5_missing.bin");
    remove(Missing.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(MD5FileText(Missing.c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Missing + " can't be opened\n");

    struct Case {
        const char *Leaf;
        std::string Content;
    } Cases[] = {
        {"trelk_md5_empty.bin", ""},
        {"trelk_md5_small.bin", "abc"},
        // Several 1024-byte reads, the last one short.
        {"trelk_md5_multi.bin", std::string(3000, 'x') + std::string(1, '\0') + "tail"},
    };
    for (const Case &c : Cases) {
        std::string Path = TempName(c.Leaf);
        WriteBytes(Path, c.Content);
        std::string Expected = MD5DataText(c.Content.data(), (VS_ULONG)c.Content.size());
        const char *Got = MD5FileText(Path.c_str());
        ASSERT_NE(Got, nullptr) << c.Leaf;
        EXPECT_EQ(Got, Expected) << c.Leaf;
        remove(Path.c_str());
    }
}
