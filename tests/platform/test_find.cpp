// Directory listing with wildcard patterns.
#include "vs_platform.h"
#include "platform_test_util.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

class FindTest : public testing::Test {
  protected:
    void SetUp() override
    {
        for (const char *f : {"a.txt", "b.TXT", "c.dat", "abc", "ab", "noext", "dot.", "x.y.txt"})
            WriteFile(m_Dir / f, "");
        mkdir((m_Dir / "sub").c_str(), 0777);
    }

    // Every name that a search for Pattern finds.
    std::set<std::string> FindAll(const std::string &Pattern, bool *Found = nullptr)
    {
        std::set<std::string> Names;
        VS_FINDDATA Rec;
        VS_FINDHANDLE h = vs_file_findfirst(Pattern.c_str(), &Rec);
        if (Found)
            *Found = h != VS_INVALID_FINDHANDLE;
        if (h == VS_INVALID_FINDHANDLE)
            return Names;
        EXPECT_NE(h, nullptr);
        do
            EXPECT_TRUE(Names.insert(Rec.FileName).second) << "found twice: " << Rec.FileName;
        while (vs_file_findnext(h, &Rec));
        EXPECT_FALSE(vs_file_findnext(h, &Rec)) << "the end stays the end";
        EXPECT_TRUE(vs_file_findclose(h));
        return Names;
    }

    ScratchDir m_Dir;
};

using Names = std::set<std::string>;

} // namespace

TEST_F(FindTest, PatternTable)
{
    struct {
        const char *Pattern;
        Names Expected;
    } Cases[] = {
        {"*.*", {".", "..", "a.txt", "b.TXT", "c.dat", "abc", "ab", "noext", "dot.", "x.y.txt", "sub"}},
        // Entries without an extension; with the any-name flag also names
        // ending in a dot ("." and ".." among them).
        {"*", {".", "..", "abc", "ab", "noext", "dot.", "sub"}},
        {"*.TXT", {"a.txt", "b.TXT", "x.y.txt"}},
        {"*.txt", {"a.txt", "b.TXT", "x.y.txt"}},
        {"ab*", {"abc"}},
        // "*" needs a character in its place: the name part of a.txt is "a".
        {"a*.*", {"abc", "ab"}},
        {"a.txt", {"a.txt"}},
        {"A.txt", {}},
        {"x.y.*", {"x.y.txt"}},
        {"*.dat", {"c.dat"}},
        {"noext", {"noext"}},
        {"nomatch*", {}},
    };
    for (auto &c : Cases) {
        bool Found = false;
        Names Got = FindAll(m_Dir / c.Pattern, &Found);
        EXPECT_EQ(Got, c.Expected) << c.Pattern;
        EXPECT_EQ(Found, !c.Expected.empty()) << c.Pattern << ": no match must give the failure value";
    }
}

TEST_F(FindTest, BackslashesAndCurrentDirectory)
{
    std::string Pattern = m_Dir.path() + "\\*.dat";
    for (char &ch : Pattern)
        if (ch == '/')
            ch = '\\';
    EXPECT_EQ(FindAll(Pattern), Names({"c.dat"}));

    ASSERT_EQ(chdir(m_Dir.path().c_str()), 0);
    EXPECT_EQ(FindAll("*.TXT"), Names({"a.txt", "b.TXT", "x.y.txt"}));

    VS_FINDDATA Rec;
    VS_FINDHANDLE h = vs_file_findfirst("sub", &Rec);
    ASSERT_NE(h, VS_INVALID_FINDHANDLE);
    EXPECT_TRUE(vs_file_isfinddir(&Rec));
    EXPECT_TRUE(vs_file_findclose(h));
    h = vs_file_findfirst("a.txt", &Rec);
    ASSERT_NE(h, VS_INVALID_FINDHANDLE);
    EXPECT_FALSE(vs_file_isfinddir(&Rec));
    EXPECT_TRUE(vs_file_findclose(h));
}

TEST_F(FindTest, FailureValueIsSafeEverywhere)
{
    VS_FINDDATA Rec;
    EXPECT_EQ(vs_file_findfirst(nullptr, &Rec), VS_INVALID_FINDHANDLE);
    EXPECT_EQ(vs_file_findfirst((m_Dir / "*.*").c_str(), nullptr), VS_INVALID_FINDHANDLE);
    EXPECT_EQ(vs_file_findfirst((m_Dir / "missing/*.*").c_str(), &Rec), VS_INVALID_FINDHANDLE);
    VS_FINDHANDLE Bad = vs_file_findfirst((m_Dir / "zzz*").c_str(), &Rec);
    ASSERT_EQ(Bad, VS_INVALID_FINDHANDLE);
    // What findfirst hands out on failure is refused by the other functions.
    EXPECT_FALSE(vs_file_findnext(Bad, &Rec));
    EXPECT_FALSE(vs_file_findclose(Bad));
    EXPECT_FALSE(vs_file_findnext(nullptr, &Rec));
    EXPECT_FALSE(vs_file_findclose(nullptr));
    EXPECT_FALSE(vs_file_isfinddir(nullptr));

    std::string Long = m_Dir.path() + "/" + std::string(600, 'p') + "*";
    EXPECT_EQ(vs_file_findfirst(Long.c_str(), &Rec), VS_INVALID_FINDHANDLE);
}

TEST_F(FindTest, RootDirectoryPattern)
{
    // A pattern directly under the root searches "/".
    VS_FINDDATA Rec;
    VS_FINDHANDLE h = vs_file_findfirst("/*.*", &Rec);
    ASSERT_NE(h, VS_INVALID_FINDHANDLE);
    EXPECT_STREQ(Rec.DirName, "/");
    EXPECT_TRUE(vs_file_findclose(h));
}
