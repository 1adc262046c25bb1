// A program that loads quel_trelk.dll as a host would, finds its exports by
// name and calls platform functions through them.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Uuid {
    uint32_t Data1;
    uint16_t Data2, Data3;
    uint8_t Data4[8];
};

class DllTest : public testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        // The build's path; wine maps the Unix root to drive Z:.
        std::string Path = std::string("Z:") + TRELK_DLL_PATH;
        for (char &c : Path)
            if (c == '/')
                c = '\\';
        s_Dll = LoadLibraryA(Path.c_str());
    }
    static void TearDownTestSuite()
    {
        if (s_Dll != nullptr)
            FreeLibrary(s_Dll);
    }
    template <typename F> static F Find(const char *Name) { return (F)(void *)GetProcAddress(s_Dll, Name); }
    static HMODULE s_Dll;
};
HMODULE DllTest::s_Dll = nullptr;

} // namespace

TEST_F(DllTest, LoadsWithTheSystemsDllsAlone)
{
    ASSERT_NE(s_Dll, nullptr) << "error " << GetLastError();
}

TEST_F(DllTest, EntryPointsAndClassesAreFoundByName)
{
    ASSERT_NE(s_Dll, nullptr);
    for (const char *Name : {"quel_trelk_Init2", "quel_trelk_Term2", "QZRealmBase_Template_Part1",
                             "_ZN16ClassOfXRQObjectC1Ev", "_ZTV16ClassOfXRQObject"})
        EXPECT_NE(Find<void *>(Name), nullptr) << Name;
    for (const char *Name : {"MD5Init", "HmacMD5Text", "_Z13NewTarvexCorehPFyjjyyPhyEyPv"})
        EXPECT_EQ(Find<void *>(Name), nullptr) << Name << " is carried, not exported";
}

TEST_F(DllTest, PlatformFunctionsWorkThroughTheExports)
{
    ASSERT_NE(s_Dll, nullptr);
    auto Snprintf = Find<int32_t (*)(char *, int32_t, const char *, ...)>("vs_string_snprintf");
    auto Strlen = Find<int32_t (*)(const char *)>("vs_string_strlen");
    auto Tick = Find<int64_t (*)()>("vs_tm_gettickcount64");
    auto UuidCreate = Find<void (*)(Uuid *)>("vs_uuid_create");
    auto GetEnv = Find<unsigned char (*)(const char *, char *, int32_t)>("vs_get_env");
    auto Double2Int64 = Find<int64_t (*)(double)>("Double2Int64");
    ASSERT_TRUE(Snprintf && Strlen && Tick && UuidCreate && GetEnv && Double2Int64);

    char Buf[64];
    EXPECT_EQ(Snprintf(Buf, sizeof(Buf), "%lld/%s", -5000000000LL, "x"), 13);
    EXPECT_STREQ(Buf, "-5000000000/x");
    EXPECT_EQ(Strlen(nullptr), 0);
    int64_t t0 = Tick();
    Sleep(20);
    EXPECT_GE(Tick() - t0, 15);
    Uuid u;
    UuidCreate(&u);
    EXPECT_EQ(u.Data3 >> 12, 4);
    SetEnvironmentVariableA("TRELK_DLL_TEST", "seen");
    EXPECT_TRUE(GetEnv("TRELK_DLL_TEST", Buf, sizeof(Buf)));
    EXPECT_STREQ(Buf, "seen");
    double d = 0.1;
    int64_t Bits;
    memcpy(&Bits, &d, sizeof(Bits));
    EXPECT_EQ(Double2Int64(d), Bits);
}
