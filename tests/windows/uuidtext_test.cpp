// UUID text of the host-core loader: layout, case and refusals.
#include "xrq_uuidtext.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

TEST(UuidText, LayoutAndRoundTrip)
{
    VS_UUID u;
    u.Data1 = 0x0000ABCD; // leading zeros are written
    u.Data2 = 0x0102;
    u.Data3 = 0xF00D;
    const VS_UINT8 Tail[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xFF};
    memcpy(u.Data4, Tail, 8);
    VS_CHAR Text[XRQ_UUIDTEXT_SIZE];
    UuidToText(&u, Text);
    EXPECT_STREQ(Text, "0000abcd-0102-f00d-0011-2233445566ff");

    VS_UUID Back;
    ASSERT_TRUE(TextToUuid(&Back, Text));
    EXPECT_EQ(memcmp(&Back, &u, sizeof(u)), 0);
    ASSERT_TRUE(TextToUuid(&Back, "0000ABCD-0102-F00D-0011-2233445566FF")) << "upper case reads the same";
    EXPECT_EQ(memcmp(&Back, &u, sizeof(u)), 0);
}

TEST(UuidText, RefusalsClearTheUuid)
{
    const char *Bad[] = {
        "0000abcd0102-f00d-0011-2233445566ff",   // a "-" missing
        "0000abcd-0102-f00d-0011-2233445566f",   // short
        "0000abcd-0102-f00d-0011-2233445566fff", // a character too many
        "0000abcg-0102-f00d-0011-2233445566ff",  // not a digit
        "0000abcd-0102-f00d-0011+2233445566ff",  // wrong separator
        "",
    };
    for (const char *Text : Bad) {
        VS_UUID u;
        memset(&u, 0x5A, sizeof(u));
        EXPECT_FALSE(TextToUuid(&u, Text)) << Text;
        VS_UUID Zero;
        memset(&Zero, 0, sizeof(Zero));
        EXPECT_EQ(memcmp(&u, &Zero, sizeof(u)), 0) << Text;
        EXPECT_EQ(TextToStaticUuid(Text), nullptr) << Text;
    }
    VS_UUID *Static = TextToStaticUuid("00000001-0002-0003-0405-060708090a0b");
    ASSERT_NE(Static, nullptr);
    EXPECT_EQ(Static->Data1, 1u);
    EXPECT_EQ(Static->Data4[7], 0x0b);
}
