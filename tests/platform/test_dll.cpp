// Shared libraries: opening, symbols, the registered-procedure table, loaded
// libraries found by name and the system's error texts.
#include "vs_platform.h"
#include "platform_test_util.h"

#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <string>

#include <gtest/gtest.h>

namespace {

typedef int (*AnswerFn)();

std::string Basename(const std::string &p)
{
    size_t Slash = p.rfind('/');
    return Slash == std::string::npos ? p : p.substr(Slash + 1);
}

void CopyFile(const std::string &From, const std::string &To)
{
    WriteFile(To, ReadFile(From));
}

} // namespace

TEST(VsDll, OpenSymAndClose)
{
    void *h = vs_dll_open(TRELK_TESTLIB_PATH);
    ASSERT_NE(h, nullptr);
    AnswerFn f = (AnswerFn)vs_dll_sym(h, "trelk_testlib_answer");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f(), 42);
    EXPECT_EQ(vs_dll_sym(h, "no_such_symbol"), nullptr);
    EXPECT_EQ(vs_dll_sym(h, nullptr), nullptr);
    EXPECT_EQ(vs_dll_sym(VS_INVALID_DLLHANDLE, "trelk_testlib_answer"), nullptr);
    vs_dll_close(h);
    vs_dll_close(VS_INVALID_DLLHANDLE);
    vs_dll_close(nullptr);
}

TEST(VsDll, MissingLibrariesReportTheSystemText)
{
    char *Text = nullptr;
    EXPECT_EQ(vs_dll_openex("/nonexistent/dir/libnothing.so", VS_TRUE, &Text), nullptr);
    ASSERT_NE(Text, nullptr);
    EXPECT_NE(strstr(Text, "libnothing"), nullptr) << Text;
    EXPECT_LT(strlen(Text), 256u);

    EXPECT_EQ(vs_dll_open("libnothing_at_all.so"), nullptr);
    EXPECT_EQ(vs_dll_open(nullptr), nullptr);
    EXPECT_EQ(vs_dll_open(""), nullptr);
    std::string Long = "/tmp/" + std::string(700, 'l') + ".so";
    EXPECT_EQ(vs_dll_openex(Long.c_str(), VS_FALSE, &Text), nullptr);
    EXPECT_NE(Text[0], 0);

    // A successful open empties the text.
    void *h = vs_dll_openex(TRELK_TESTLIB_PATH, VS_FALSE, &Text);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(Text, "");
    vs_dll_close(h);
}

TEST(VsDll, BareNameIsTriedInCurrentDirectoryFirst)
{
    ScratchDir Dir;
    CopyFile(TRELK_TESTLIB_PATH, Dir / "libtrelkbare.so");
    ASSERT_EQ(chdir(Dir.path().c_str()), 0);
    void *h = vs_dll_open("libtrelkbare.so");
    ASSERT_NE(h, nullptr);
    AnswerFn f = (AnswerFn)vs_dll_sym(h, "trelk_testlib_answer");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f(), 42);
    vs_dll_close(h);

    // A name with a separator: backslashes become slashes.
    std::string Back = Dir.path() + "\\libtrelkbare.so";
    h = vs_dll_open(Back.c_str());
    EXPECT_NE(h, nullptr);
    vs_dll_close(h);
}

TEST(VsDll, GetFindsOnlyLibrariesAlreadyLoaded)
{
    ScratchDir Dir;
    std::string Copy = Dir / "libtrelkgetcopy.so";
    CopyFile(TRELK_TESTLIB_PATH, Copy);
    EXPECT_EQ(vs_dll_get(Copy.c_str()), nullptr) << "not loaded yet";
    EXPECT_EQ(dlopen(Copy.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "vs_dll_get must load nothing";

    void *h = vs_dll_open(Copy.c_str());
    ASSERT_NE(h, nullptr);
    // A lookup that succeeds leaves no stale error text behind.
    char *Text = nullptr;
    EXPECT_EQ(vs_dll_openex("/nonexistent/libstale.so", VS_FALSE, &Text), nullptr);
    ASSERT_NE(Text, nullptr);
    EXPECT_NE(Text[0], 0);
    EXPECT_EQ(vs_dll_get(Copy.c_str()), h);
    EXPECT_STREQ(Text, "");

    // A bare name compares with the start of the mapped file's name, without
    // regard to case.
    char Path[VS_MAX_PATH];
    EXPECT_EQ(vs_dll_getex("LIBTRELKGETCOPY", Path, sizeof(Path)), h);
    char Real[PATH_MAX];
    ASSERT_NE(realpath(Copy.c_str(), Real), nullptr);
    EXPECT_STREQ(Path, Real);

    // The out buffer takes what fits.
    char Small[6];
    EXPECT_EQ(vs_dll_getex(Basename(Copy).c_str(), Small, sizeof(Small)), h);
    EXPECT_EQ(strlen(Small), 5u);

    // A symbolic link to the loaded file resolves to it.
    std::string Link = Dir / "link.so";
    ASSERT_EQ(symlink(Copy.c_str(), Link.c_str()), 0);
    EXPECT_EQ(vs_dll_get(Link.c_str()), h);

    EXPECT_EQ(vs_dll_get(nullptr), nullptr);
    EXPECT_EQ(vs_dll_get(""), nullptr);
    EXPECT_EQ(vs_dll_getex("libno_such_thing_mapped", Path, sizeof(Path)), nullptr);
    EXPECT_STREQ(Path, "");
    vs_dll_close(h);
}

TEST(VsDll, RegisteredProceduresComeFirst)
{
    int p = 0, q = 0;
    EXPECT_EQ(vs_dll_registerproc("f", &p), nullptr);
    EXPECT_EQ(vs_dll_registerproc("f", &q), &p);
    EXPECT_EQ(vs_dll_sym(nullptr, "f"), &q);
    EXPECT_EQ(vs_dll_sym(VS_INVALID_DLLHANDLE, "f"), &q) << "registered names answer for any handle";

    void *h = vs_dll_open(TRELK_TESTLIB_PATH);
    ASSERT_NE(h, nullptr);
    int r = 0;
    EXPECT_EQ(vs_dll_registerproc("trelk_testlib_answer", &r), nullptr);
    EXPECT_EQ(vs_dll_sym(h, "trelk_testlib_answer"), &r) << "the table is asked before the system";
    EXPECT_EQ(vs_dll_registerproc("trelk_testlib_answer", nullptr), &r);
    EXPECT_NE(vs_dll_sym(h, "trelk_testlib_answer"), &r);
    vs_dll_close(h);

    EXPECT_EQ(vs_dll_registerproc("f", nullptr), &q);
    EXPECT_EQ(vs_dll_registerproc("f", nullptr), nullptr) << "removed already";
    EXPECT_EQ(vs_dll_registerproc("F", nullptr), nullptr) << "names compare exactly";

    std::string Name127(127, 'n'), Name128(128, 'n');
    EXPECT_EQ(vs_dll_registerproc(Name127.c_str(), &p), nullptr);
    EXPECT_EQ(vs_dll_sym(nullptr, Name127.c_str()), &p);
    EXPECT_EQ(vs_dll_registerproc(Name127.c_str(), nullptr), &p);
    EXPECT_EQ(vs_dll_registerproc(Name128.c_str(), &p), nullptr);
    EXPECT_EQ(vs_dll_registerproc(Name128.c_str(), &q), nullptr) << "too long: never stored";
    EXPECT_EQ(vs_dll_registerproc("", &p), nullptr);
    EXPECT_EQ(vs_dll_registerproc(nullptr, &p), nullptr);
}

TEST(VsDll, RegisteredTableLimits)
{
    static char Slots[VS_MAX_REGISTERPROC + 1];
    auto NameOf = [](int i) { return "proc" + std::to_string(i); };
    for (int i = 0; i < VS_MAX_REGISTERPROC; i++)
        ASSERT_EQ(vs_dll_registerproc(NameOf(i).c_str(), &Slots[i]), nullptr) << i;

    // Full: a new name is refused.
    EXPECT_EQ(vs_dll_registerproc("extra", &Slots[VS_MAX_REGISTERPROC]), nullptr);
    EXPECT_EQ(vs_dll_sym(nullptr, "extra"), nullptr);
    // Replacing and removing still work on a full table.
    EXPECT_EQ(vs_dll_registerproc(NameOf(7).c_str(), &Slots[VS_MAX_REGISTERPROC]), &Slots[7]);
    EXPECT_EQ(vs_dll_registerproc(NameOf(7).c_str(), nullptr), &Slots[VS_MAX_REGISTERPROC]);
    // The entries after the removed one stay in place and are found.
    EXPECT_EQ(vs_dll_sym(nullptr, NameOf(8).c_str()), &Slots[8]);
    EXPECT_EQ(vs_dll_sym(nullptr, NameOf(VS_MAX_REGISTERPROC - 1).c_str()), &Slots[VS_MAX_REGISTERPROC - 1]);
    // The freed entry takes a new name.
    EXPECT_EQ(vs_dll_registerproc("extra", &Slots[VS_MAX_REGISTERPROC]), nullptr);
    EXPECT_EQ(vs_dll_sym(nullptr, "extra"), &Slots[VS_MAX_REGISTERPROC]);

    EXPECT_EQ(vs_dll_registerproc("extra", nullptr), &Slots[VS_MAX_REGISTERPROC]);
    for (int i = 0; i < VS_MAX_REGISTERPROC; i++) {
        if (i == 7)
            continue;
        ASSERT_EQ(vs_dll_registerproc(NameOf(i).c_str(), nullptr), &Slots[i]) << i;
    }
}

// Any temp path, none or one longer than a path may be, is taken without
// harm: libraries named by their path still load and resolve after each.
TEST(VsDll, TempPathAcceptsAnything)
{
    const std::string Long(2000, 't');
    for (const char *Path : {"/tmp/x", (const char *)nullptr, Long.c_str()}) {
        vs_dll_settemppath(Path);
        void *h = vs_dll_open(TRELK_TESTLIB_PATH);
        ASSERT_NE(h, nullptr);
        AnswerFn f = (AnswerFn)vs_dll_sym(h, "trelk_testlib_answer");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f(), 42);
        vs_dll_close(h);
    }
    vs_dll_settemppath(nullptr);
}

// The memory map is read line by line however long the line: a library whose
// path is longer than any fixed buffer, with blanks in it, is still found
// under its whole path.
TEST(VsDll, GetReadsLongMapLinesWhole)
{
    ScratchDir Dir;
    std::string Path = Dir.path();
    for (int i = 0; i < 3; i++) {
        Path += "/" + std::string(150, char('a' + i)) + " with blanks";
        ASSERT_EQ(mkdir(Path.c_str(), 0700), 0) << Path;
    }
    std::string Lib = Path + "/libtrelklongmapped.so";
    ASSERT_GT(Lib.size(), 512u);
    CopyFile(TRELK_TESTLIB_PATH, Lib);
    void *h = dlopen(Lib.c_str(), RTLD_NOW);
    ASSERT_NE(h, nullptr) << dlerror();

    std::string Out(Lib.size() + 16, 'x');
    EXPECT_EQ(vs_dll_getex("libtrelklongmapped", &Out[0], (VS_INT32)Out.size()), h);
    char Real[PATH_MAX];
    ASSERT_NE(realpath(Lib.c_str(), Real), nullptr);
    EXPECT_STREQ(Out.c_str(), Real);
    // A short out buffer takes what fits, terminated.
    char Small[VS_MAX_PATH];
    EXPECT_EQ(vs_dll_getex("libtrelklongmapped", Small, sizeof(Small)), h);
    EXPECT_EQ(strlen(Small), sizeof(Small) - 1);
    EXPECT_EQ(strncmp(Small, Real, sizeof(Small) - 1), 0);
    dlclose(h);
}
