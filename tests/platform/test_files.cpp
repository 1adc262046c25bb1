// Files and directories: names with backslashes, status, times and modes,
// deleting, renaming and creating paths.
#include "vs_platform.h"
#include "platform_test_util.h"

#include <climits>
#include <cstring>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace {

std::string WithBackslashes(std::string s)
{
    for (char &c : s)
        if (c == '/')
            c = '\\';
    return s;
}

// A directory chain inside Root whose file "f" has a path of exactly 511
// characters; a name that continues it is over-long, and cutting that name
// at 511 characters would hit the existing file.
std::string MakeLimitFile(const ScratchDir &Root)
{
    std::string Dir = Root.path();
    while (Dir.size() + 2 < 511) {
        size_t Room = 511 - 2 - Dir.size() - 1; // "/" + component, then "/f"
        size_t Len = Room > 200 ? 200 : Room;
        if (Len == 0)
            break;
        Dir += "/" + std::string(Len, 'd');
        mkdir(Dir.c_str(), 0777);
    }
    std::string File = Dir + "/f";
    EXPECT_EQ(File.size(), 511u);
    WriteFile(File, "keep");
    return File;
}

} // namespace

TEST(VsFile, BackslashNamesReachTheSystemWithSlashes)
{
    ScratchDir Dir;
    mkdir((Dir / "a").c_str(), 0777);
    WriteFile(Dir / "a/b.txt", "hello");
    std::string Back = WithBackslashes(Dir / "a/b.txt");
    EXPECT_TRUE(vs_file_exist(Back.c_str()));
    EXPECT_EQ(vs_file_size(Back.c_str()), 5u);
    EXPECT_TRUE(vs_file_isdir(WithBackslashes(Dir / "a").c_str()));
    EXPECT_FALSE(vs_file_isdir(Back.c_str()));
    // The raw forms take the name as given.
    EXPECT_FALSE(_vs_file_exist(Back.c_str()));
    EXPECT_TRUE(_vs_file_exist((Dir / "a/b.txt").c_str()));
    EXPECT_FALSE(_vs_file_exist(nullptr));
}

TEST(VsFile, StatSettimeAndChmod)
{
    ScratchDir Dir;
    std::string f = Dir / "s.bin";
    WriteFile(f, std::string(1234, 'z'));
    ASSERT_EQ(vs_file_settime(f.c_str(), 1000000, 2000000), 0);
    ASSERT_TRUE(vs_file_chmod(f.c_str(), 0640));
    VS_STATBUF Info;
    ASSERT_EQ(vs_file_stat(f.c_str(), &Info), 0);
    EXPECT_EQ(Info.Size, 1234u);
    EXPECT_EQ(Info.Mode & 0777, 0640);
    EXPECT_TRUE(S_ISREG(Info.Mode));
    EXPECT_EQ(Info.ATime, 1000000);
    EXPECT_EQ(Info.MTime, 2000000);
    EXPECT_GT(Info.CTime, 0);

    VS_STATBUF Untouched;
    memset(&Untouched, 0x5A, sizeof(Untouched));
    VS_STATBUF Copy = Untouched;
    EXPECT_EQ(vs_file_stat((Dir / "none").c_str(), &Untouched), VS_FS_ERRNO);
    EXPECT_EQ(vs_file_stat(nullptr, &Untouched), VS_FS_ERRNO);
    EXPECT_EQ(memcmp(&Untouched, &Copy, sizeof(Copy)), 0) << "a failed stat leaves the record";
    EXPECT_EQ(vs_fs_errno_get(), (VS_INT32)0x80000000);

    EXPECT_EQ(vs_file_size(nullptr), (VS_ULONG)-1);
    EXPECT_EQ(vs_file_size((Dir / "none").c_str()), 0u);
    EXPECT_FALSE(vs_file_exist(nullptr));
    EXPECT_FALSE(vs_file_isdir(nullptr));
    EXPECT_FALSE(vs_file_chmod(nullptr, 0644));
    EXPECT_FALSE(vs_file_chmod((Dir / "none").c_str(), 0644));
    EXPECT_EQ(vs_file_settime(nullptr, 1, 1), -1);
    EXPECT_EQ(vs_file_settime((Dir / "none").c_str(), 1, 1), -1);
}

TEST(VsFile, DeleteAndRename)
{
    ScratchDir Dir;
    WriteFile(Dir / "x", "1");
    EXPECT_EQ(vs_file_rename((Dir / "x").c_str(), WithBackslashes(Dir / "y").c_str()), 0);
    EXPECT_FALSE(PathExists(Dir / "x"));
    EXPECT_EQ(ReadFile(Dir / "y"), "1");
    EXPECT_EQ(vs_file_rename((Dir / "x").c_str(), (Dir / "z").c_str()), -1);
    EXPECT_EQ(vs_file_rename(nullptr, (Dir / "z").c_str()), -1);
    EXPECT_EQ(vs_file_rename((Dir / "y").c_str(), nullptr), -1);

    EXPECT_EQ(vs_file_delete((Dir / "y").c_str()), 0);
    EXPECT_FALSE(PathExists(Dir / "y"));
    EXPECT_EQ(vs_file_delete((Dir / "y").c_str()), -1);
    EXPECT_EQ(vs_file_delete(nullptr), -1);
    mkdir((Dir / "d").c_str(), 0777);
    EXPECT_EQ(vs_file_delete((Dir / "d").c_str()), VS_FS_ERRNO) << "directories are not files";
}

TEST(VsFile, OverlongNamesAreRefusedNeverCut)
{
    ScratchDir Dir;
    std::string Limit = MakeLimitFile(Dir);
    ASSERT_TRUE(vs_file_exist(Limit.c_str())) << "511 characters are accepted";
    std::string Long = Limit + "xyz";

    EXPECT_FALSE(vs_file_exist(Long.c_str()));
    EXPECT_EQ(vs_file_stat(Long.c_str(), nullptr), VS_FS_ERRNO);
    EXPECT_EQ(vs_file_size(Long.c_str()), 0u);
    EXPECT_NE(vs_file_delete(Long.c_str()), 0);
    EXPECT_FALSE(vs_file_chmod(Long.c_str(), 0600));
    EXPECT_EQ(vs_file_settime(Long.c_str(), 5, 5), -1);
    EXPECT_EQ(vs_file_fopen(Long.c_str(), "w"), nullptr);
    EXPECT_EQ(vs_file_rename(Limit.c_str(), Long.c_str()), -1);
    EXPECT_EQ(vs_file_copy(Limit.c_str(), Long.c_str()), -1);
    vs_file_log(Long.c_str(), "%s", "log");
    EXPECT_FALSE(vs_dir_create((Limit + "dir").c_str()));
    EXPECT_FALSE(vs_dir_delete((Limit + "x").c_str()));

    // The file that a cut name would have named is untouched.
    EXPECT_EQ(ReadFile(Limit), "keep");
    VS_STATBUF Info;
    ASSERT_EQ(vs_file_stat(Limit.c_str(), &Info), 0);
    EXPECT_NE(Info.MTime, 5);

    std::string Huge(5000, 'a');
    EXPECT_FALSE(vs_file_exist(Huge.c_str()));
}

TEST(VsFile, FopenexCreatesWithPermissions)
{
    ScratchDir Dir;
    std::string f = Dir / "new.txt";
    FILE *fp = vs_file_fopenex(("   " + f).c_str(), "w", 0600);
    ASSERT_NE(fp, nullptr) << "leading blanks are skipped";
    fputs("abc", fp);
    fclose(fp);
    struct stat St;
    ASSERT_EQ(stat(f.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0600u);

    fp = vs_file_fopen(f.c_str(), "a");
    ASSERT_NE(fp, nullptr);
    fputs("def", fp);
    fclose(fp);
    EXPECT_EQ(ReadFile(f), "abcdef");
    ASSERT_EQ(stat(f.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0600u) << "an existing file keeps its permissions";

    EXPECT_EQ(vs_file_fopen((Dir / "absent").c_str(), "r"), nullptr);
    EXPECT_FALSE(PathExists(Dir / "absent"));
    EXPECT_EQ(vs_file_fopen((Dir / "no/dir/f").c_str(), "w"), nullptr);
    EXPECT_EQ(vs_file_fopen(nullptr, "r"), nullptr);
    EXPECT_EQ(vs_file_fopen(f.c_str(), nullptr), nullptr);
}

TEST(VsFile, CopyKeepsContentAndPermissions)
{
    ScratchDir Dir;
    std::string Content;
    for (int i = 0; i < 3000; i++)
        Content += (char)(i * 7);
    WriteFile(Dir / "src", Content);
    chmod((Dir / "src").c_str(), 0640);
    ASSERT_EQ(vs_file_copy((Dir / "src").c_str(), WithBackslashes(Dir / "dst").c_str()), 0);
    EXPECT_EQ(ReadFile(Dir / "dst"), Content);
    struct stat St;
    ASSERT_EQ(stat((Dir / "dst").c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0640u);

    WriteFile(Dir / "empty", "");
    EXPECT_EQ(vs_file_copy((Dir / "empty").c_str(), (Dir / "empty2").c_str()), 0);
    EXPECT_EQ(ReadFile(Dir / "empty2"), "");

    EXPECT_EQ(vs_file_copy((Dir / "missing").c_str(), (Dir / "d2").c_str()), -1);
    EXPECT_FALSE(PathExists(Dir / "d2"));
    EXPECT_EQ(vs_file_copy(nullptr, (Dir / "d2").c_str()), -1);
    EXPECT_EQ(vs_file_copy((Dir / "src").c_str(), nullptr), -1);
    EXPECT_EQ(vs_file_copy((Dir / "src").c_str(), (Dir / "no/dir/x").c_str()), -1);
}

TEST(VsFile, CopyOntoItselfLosesNothing)
{
    ScratchDir Dir;
    WriteFile(Dir / "same", "precious");
    EXPECT_EQ(vs_file_copy((Dir / "same").c_str(), (Dir / "same").c_str()), -1);
    EXPECT_EQ(vs_file_copy((Dir / "same").c_str(), (Dir.path() + "/./same").c_str()), -1);
    EXPECT_EQ(ReadFile(Dir / "same"), "precious");
}

TEST(VsFile, CopyReportsReadAndWriteErrors)
{
    ScratchDir Dir;
    // Reading a directory fails after it was opened.
    mkdir((Dir / "adir").c_str(), 0777);
    EXPECT_EQ(vs_file_copy((Dir / "adir").c_str(), (Dir / "out").c_str()), -1);
    EXPECT_FALSE(PathExists(Dir / "out")) << "no partial copy is left behind";

    // Writing beyond the file size limit fails part way.
    WriteFile(Dir / "big", std::string(8192, 'b'));
    pid_t Child = fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit Lim = {3000, 3000};
        setrlimit(RLIMIT_FSIZE, &Lim);
        int r = vs_file_copy((Dir / "big").c_str(), (Dir / "cut").c_str());
        _exit(r == -1 ? 0 : 1);
    }
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0) << "a failed write was reported as success";
    EXPECT_FALSE(PathExists(Dir / "cut"));
}

TEST(VsFile, LogAppends)
{
    ScratchDir Dir;
    std::string f = WithBackslashes(Dir / "log.txt");
    vs_file_log(f.c_str(), "one %d\n", 1);
    vs_file_log(f.c_str(), "two %s\n", "2");
    EXPECT_EQ(ReadFile(Dir / "log.txt"), "one 1\ntwo 2\n");
    vs_file_log(nullptr, "x");
    vs_file_log(f.c_str(), nullptr);
}

TEST(VsDir, CreateexMakesMissingParents)
{
    ScratchDir Dir;
    mkdir((Dir / "x").c_str(), 0777);
    EXPECT_TRUE(vs_dir_createex((Dir / "x/y/z").c_str(), 0750));
    EXPECT_TRUE(vs_file_isdir((Dir / "x/y").c_str()));
    EXPECT_TRUE(vs_file_isdir((Dir / "x/y/z").c_str()));
    struct stat St;
    ASSERT_EQ(stat((Dir / "x/y/z").c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0750u);
    ASSERT_EQ(stat((Dir / "x/y").c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0750u);

    EXPECT_TRUE(vs_dir_create((Dir / "x/y/z").c_str())) << "an existing directory is success";
    EXPECT_TRUE(vs_dir_create(WithBackslashes(Dir / "p/q/r").c_str()));
    EXPECT_TRUE(vs_file_isdir((Dir / "p/q/r").c_str()));
    EXPECT_TRUE(vs_dir_create((Dir / "t/u/").c_str())) << "a trailing separator names the same directory";
    EXPECT_TRUE(vs_file_isdir((Dir / "t/u").c_str()));

    WriteFile(Dir / "file", "");
    EXPECT_TRUE(vs_dir_create((Dir / "file").c_str())) << "any file of that name counts";
    EXPECT_FALSE(vs_dir_create((Dir / "file/sub/deeper").c_str()));
    EXPECT_FALSE(vs_dir_create(nullptr));
    EXPECT_FALSE(vs_dir_create("/"));
    EXPECT_FALSE(vs_dir_create(""));

    EXPECT_TRUE(vs_dir_delete((Dir / "x/y/z").c_str()));
    EXPECT_FALSE(vs_dir_delete((Dir / "x/y/z").c_str()));
    EXPECT_FALSE(vs_dir_delete(nullptr));
}

TEST(VsDir, CwdAndChdir)
{
    ScratchDir Dir;
    ASSERT_TRUE(vs_dir_chdir(Dir.path().c_str()));
    char Buf[VS_MAX_PATH];
    ASSERT_TRUE(vs_dir_getcwd(Buf, sizeof(Buf)));
    char Real[PATH_MAX];
    ASSERT_NE(realpath(Dir.path().c_str(), Real), nullptr);
    EXPECT_STREQ(Buf, Real);
    char Small[2];
    EXPECT_FALSE(vs_dir_getcwd(Small, sizeof(Small)));
    EXPECT_FALSE(vs_dir_getcwd(nullptr, 100));
    EXPECT_FALSE(vs_dir_getcwd(Buf, 0));
    EXPECT_FALSE(vs_dir_chdir(nullptr));
    EXPECT_FALSE(vs_dir_chdir((Dir / "missing").c_str()));
}

TEST(VsDir, FullNames)
{
    struct {
        const char *Name;
        bool Full;
    } FullCases[] = {{"/x", true}, {"\\x", true}, {"c:x", true}, {"x", false}, {"", false}, {nullptr, false}};
    for (auto &c : FullCases)
        EXPECT_EQ(vs_dir_isfullname(c.Name), c.Full ? VS_TRUE : VS_FALSE) << (c.Name ? c.Name : "NULL");

    char Root[] = "/usr/lib";
    vs_dir_toroot(Root);
    EXPECT_STREQ(Root, "/");
    vs_dir_toroot(nullptr);

    struct {
        const char *Base, *Path, *Expected;
    } Cases[] = {
        {"/a/b", ".", "/a/b"},        {"/a/b", "c", "/a/b/c"},       {"/a/b", "c/d.txt", "/a/b/c/d.txt"},
        {"/a/b", "../c", "/a/c"},     {"/a/b", "../../c", "/c"},     {"/a/b", "..", "/a/"},
        {"/a/b", "..\\c", "/a/c"},    {"/a/b", "./c", "/a/b/c"},     {"/a/b/", "c", "/a/b/c"},
        {"/a/b/", "./c", "/a/b/c"},   {"/", "../c", "/c"},           {"/a/b", "..x", "/a/b/..x"},
        {"/a/b", "/abs", "/abs"},     {"/a/b", ".//c", ".//c"},       {"/a/b", "../../../c", "/c"},
        {"/a/b", "c:d", "c:d"},
    };
    for (auto &c : Cases) {
        char Buf[VS_MAX_PATH];
        strcpy(Buf, c.Path);
        vs_dir_tofullnameex(c.Base, Buf, sizeof(Buf));
        EXPECT_STREQ(Buf, c.Expected) << c.Base << " + " << c.Path;
    }

    // Against the current directory.
    ScratchDir Dir;
    ASSERT_EQ(chdir(Dir.path().c_str()), 0);
    char Cwd[VS_MAX_PATH];
    ASSERT_TRUE(vs_dir_getcwd(Cwd, sizeof(Cwd)));
    char Buf[VS_MAX_PATH] = "sub/f";
    vs_dir_tofullname(Buf, sizeof(Buf));
    EXPECT_EQ(std::string(Buf), std::string(Cwd) + "/sub/f");
    strcpy(Buf, "g");
    vs_dir_tofullnameex("", Buf, sizeof(Buf));
    EXPECT_EQ(std::string(Buf), std::string(Cwd) + "/g");

    // Results that do not fit leave the path unchanged instead of cutting it.
    char Small[8] = "abc";
    vs_dir_tofullnameex("/long/base", Small, sizeof(Small));
    EXPECT_STREQ(Small, "abc");
    std::string LongBase = "/" + std::string(500, 'b');
    char Path[VS_MAX_PATH] = "0123456789abcdef";
    vs_dir_tofullnameex(LongBase.c_str(), Path, sizeof(Path));
    EXPECT_STREQ(Path, "0123456789abcdef");
    strcpy(Buf, "x");
    vs_dir_tofullnameex("/a", Buf, 0);
    EXPECT_STREQ(Buf, "x");
    vs_dir_tofullname(nullptr, 10);
}
