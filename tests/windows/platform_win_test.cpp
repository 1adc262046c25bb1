// The Win32 platform layer where it has ways of its own: counter scaling,
// thread handles, the named mutex across processes, module lookup, WinSock,
// backslash paths and the process environment.
#include "vs_platform.h"
#include "vs_win_internal.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <io.h>
#include <memory>
#include <thread>
#include <string>

#include <gtest/gtest.h>

namespace {

// A child run of this program: told by the environment, it does its part
// with the named mutex and ends before the tests start.
struct PmutexChild {
    PmutexChild()
    {
        char Mode[32], Name[256], Marker[MAX_PATH];
        if (GetEnvironmentVariableA("TRELK_PMUTEX_CHILD", Mode, sizeof(Mode)) == 0)
            return;
        GetEnvironmentVariableA("TRELK_PMUTEX_NAME", Name, sizeof(Name));
        GetEnvironmentVariableA("TRELK_PMUTEX_MARKER", Marker, sizeof(Marker));
        VS_PMUTEX Id = vs_pmutex_init(VS_PMUTEX_KEYPATH, Name);
        if (Id == nullptr || !vs_pmutex_lock(Id))
            ExitProcess(2);
        FILE *f = fopen(Marker, "w");
        if (f != nullptr)
            fclose(f);
        // "abandon": end holding it; the system hands it on.
        if (strcmp(Mode, "abandon") == 0)
            ExitProcess(0);
        vs_pmutex_unlock(Id);
        vs_pmutex_destory(Id);
        ExitProcess(0);
    }
} g_PmutexChild;

HANDLE StartChild(const char *Mode, const char *Name, const std::string &Marker)
{
    SetEnvironmentVariableA("TRELK_PMUTEX_CHILD", Mode);
    SetEnvironmentVariableA("TRELK_PMUTEX_NAME", Name);
    SetEnvironmentVariableA("TRELK_PMUTEX_MARKER", Marker.c_str());
    char Exe[MAX_PATH];
    GetModuleFileNameA(nullptr, Exe, sizeof(Exe));
    std::string Cmd = std::string("\"") + Exe + "\"";
    STARTUPINFOA Si;
    memset(&Si, 0, sizeof(Si));
    Si.cb = sizeof(Si);
    PROCESS_INFORMATION Pi;
    BOOL Ok = CreateProcessA(nullptr, &Cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &Si, &Pi);
    SetEnvironmentVariableA("TRELK_PMUTEX_CHILD", nullptr);
    if (!Ok)
        return nullptr;
    CloseHandle(Pi.hThread);
    return Pi.hProcess;
}

std::string TempPath(const char *Leaf)
{
    char Buf[MAX_PATH];
    GetTempPathA(sizeof(Buf), Buf);
    return std::string(Buf) + Leaf;
}

bool Exists(const std::string &Path)
{
    return GetFileAttributesA(Path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void *ReturnWhat(void *Para)
{
    return Para;
}

// Runs Work on a thread of its own and waits at most Seconds for it: a
// hanging call fails the test instead of hanging the program (the thread is
// left behind).
template <typename R, typename F> bool WithinSeconds(int Seconds, F Work, R *Result)
{
    auto Done = std::make_shared<std::promise<R>>();
    std::future<R> Future = Done->get_future();
    std::thread([Done, Work] { Done->set_value(Work()); }).detach();
    if (Future.wait_for(std::chrono::seconds(Seconds)) != std::future_status::ready)
        return false;
    *Result = Future.get();
    return true;
}

} // namespace

TEST(VsWinTime, CounterScalingDoesNotOverflow)
{
    // Thirty days of a 10 MHz counter: the count times a million would
    // overflow 64 bits.
    const VS_INT64 Frequency = 10000000;
    const VS_INT64 Seconds = 30LL * 86400;
    VS_INT64 Count = Seconds * Frequency + Frequency / 2;
    EXPECT_EQ(vs_internal::ScaleCounter(Count, Frequency, 1000000), Seconds * 1000000 + 500000);
    EXPECT_EQ(vs_internal::ScaleCounter(Count, Frequency, 1000), Seconds * 1000 + 500);
    // A frequency that does not divide the unit.
    EXPECT_EQ(vs_internal::ScaleCounter(3579545LL * 1000000 + 1, 3579545, 1000), 1000000LL * 1000);
}

TEST(VsWinThread, JoinWaitsOnTheHandleEvenForResult259)
{
    VS_HANDLE Handle = nullptr;
    VS_HANDLE Made = vs_thread_create(ReturnWhat, (void *)(uintptr_t)259, &Handle);
    ASSERT_NE(Made, nullptr);
    EXPECT_EQ(Handle, Made);
    // A join that polled the exit code would wait forever: 259 reads as
    // "still running".
    VS_INT32 Joined = -1;
    ASSERT_TRUE(WithinSeconds(10, [Made] { return vs_thread_join(Made); }, &Joined));
    EXPECT_EQ(Joined, 0);

    // The join closes the handle (checked with no other handle made between).
    VS_HANDLE Plain = vs_thread_create(ReturnWhat, nullptr, nullptr);
    ASSERT_NE(Plain, nullptr);
    EXPECT_EQ(vs_thread_join(Plain), 0);
    DWORD Flags;
    EXPECT_FALSE(GetHandleInformation((HANDLE)Plain, &Flags));

    EXPECT_EQ(vs_thread_join(nullptr), ESRCH);
    EXPECT_NE(vs_thread_currentid(), (VS_THREADID)0);
}

TEST(VsWinThread, PriorityChangesMapToRaisedLoweredAndNormal)
{
    struct Case {
        VS_INT32 Change;
        int Priority;
    } Cases[] = {{-3, THREAD_PRIORITY_ABOVE_NORMAL}, {2, THREAD_PRIORITY_BELOW_NORMAL}, {0, THREAD_PRIORITY_NORMAL}};
    for (const Case &c : Cases) {
        vs_thread_priority(vs_thread_current(), 0, c.Change);
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), c.Priority) << c.Change;
    }
    vs_thread_priority(nullptr, 0, 1); // no thread: nothing happens
}

TEST(VsWinPmutex, ExcludesAnotherProcessAndIsHandedOnWhenItsHolderEnds)
{
    const char *Name = "trelk_pmutex_test";
    std::string Marker = TempPath("trelk_pmutex_marker");
    DeleteFileA(Marker.c_str());
    VS_PMUTEX Id = vs_pmutex_init(VS_PMUTEX_KEYPATH, Name);
    ASSERT_NE(Id, nullptr);
    ASSERT_TRUE(vs_pmutex_lock(Id));
    HANDLE Child = StartChild("release", Name, Marker);
    ASSERT_NE(Child, nullptr);
    EXPECT_EQ(WaitForSingleObject(Child, 500), (DWORD)WAIT_TIMEOUT) << "the child waits for the mutex";
    EXPECT_FALSE(Exists(Marker));
    vs_pmutex_unlock(Id);
    ASSERT_EQ(WaitForSingleObject(Child, 20000), (DWORD)WAIT_OBJECT_0);
    DWORD Code = 99;
    GetExitCodeProcess(Child, &Code);
    CloseHandle(Child);
    EXPECT_EQ(Code, 0u);
    EXPECT_TRUE(Exists(Marker));
    DeleteFileA(Marker.c_str());

    // A holder that ends without unlocking gives it back.
    Child = StartChild("abandon", Name, Marker);
    ASSERT_NE(Child, nullptr);
    ASSERT_EQ(WaitForSingleObject(Child, 20000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(Child);
    EXPECT_TRUE(Exists(Marker));
    bool Locked = false;
    ASSERT_TRUE(WithinSeconds(
        10,
        [Id] {
            bool Ok = vs_pmutex_lock(Id);
            vs_pmutex_unlock(Id);
            return Ok;
        },
        &Locked));
    EXPECT_TRUE(Locked);
    EXPECT_EQ(vs_pmutex_destory(Id), 0);
    DeleteFileA(Marker.c_str());

    EXPECT_EQ(vs_pmutex_init(nullptr, Name), nullptr);
    EXPECT_FALSE(vs_pmutex_lock(nullptr));
}

TEST(VsWinDll, OpenSymGetAndClose)
{
    // The test library's path as the build knows it; wine maps the Unix
    // root to drive Z:.
    std::string Path = std::string("Z:") + TRELK_TESTLIB_PATH;
    std::string Leaf = Path.substr(Path.find_last_of('/') + 1);
    EXPECT_EQ(vs_dll_get(Leaf.c_str()), nullptr) << "not loaded yet";
    void *h = vs_dll_open(Path.c_str()); // slashes become backslashes
    ASSERT_NE(h, nullptr);
    EXPECT_NE(vs_dll_sym(h, "VSCore_Init"), nullptr);
    EXPECT_EQ(vs_dll_sym(h, "NoSuchEntry"), nullptr);
    EXPECT_EQ(vs_dll_get(Leaf.c_str()), h) << "by module lookup, by name";
    char Full[VS_MAX_PATH];
    EXPECT_EQ(vs_dll_getex(Path.c_str(), Full, sizeof(Full)), h) << "and by path";
    std::string Expected = Path;
    for (char &c : Expected)
        if (c == '/')
            c = '\\';
    EXPECT_EQ(_stricmp(Full, Expected.c_str()), 0) << Full;
    vs_dll_close(h);
    EXPECT_EQ(vs_dll_get(Leaf.c_str()), nullptr) << "the lookup loads nothing and holds nothing";

    VS_CHAR *Text = nullptr;
    EXPECT_EQ(vs_dll_openex("Z:/no/such/dir/lib.dll", VS_TRUE, &Text), nullptr);
    unsigned Code = 0;
    EXPECT_EQ(sscanf(Text, "error code = %u", &Code), 1) << Text;
    EXPECT_TRUE(Code == ERROR_MOD_NOT_FOUND || Code == ERROR_PATH_NOT_FOUND) << Code;
}

TEST(VsWinSocket, LoopbackConnection)
{
    ASSERT_TRUE(vs_socket_init());
    SOCKET Listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(Listener, INVALID_SOCKET);
    EXPECT_EQ(vs_socket_setreuseaddr(Listener), 0);
    sockaddr_in Addr;
    memset(&Addr, 0, sizeof(Addr));
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(Listener, (sockaddr *)&Addr, sizeof(Addr)), 0);
    ASSERT_EQ(listen(Listener, 1), 0);
    VS_SOCKLEN Len = sizeof(Addr);
    ASSERT_EQ(vs_socket_getsockname(Listener, (sockaddr *)&Addr, &Len), 0);
    EXPECT_NE(Addr.sin_port, 0);

    SOCKET Client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(connect(Client, (sockaddr *)&Addr, sizeof(Addr)), 0);
    sockaddr_in Peer;
    Len = sizeof(Peer);
    VS_SOCKET Server = vs_socket_accept(Listener, (sockaddr *)&Peer, &Len);
    ASSERT_NE(Server, (VS_SOCKET)INVALID_SOCKET);
    EXPECT_TRUE(vs_socket_isconnect(Server));
    Len = sizeof(Peer);
    EXPECT_EQ(vs_socket_getpeername(Client, (sockaddr *)&Peer, &Len), 0);
    EXPECT_EQ(Peer.sin_port, Addr.sin_port);

    ASSERT_EQ(send(Client, "ping", 4, 0), 4);
    char Buf[16];
    EXPECT_EQ(vs_socket_recvfrom(Server, Buf, sizeof(Buf), 0, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(Buf, 4), "ping");
    EXPECT_EQ(vs_socket_setnonblock(Server), 0);
    EXPECT_EQ(vs_socket_recvfrom(Server, Buf, sizeof(Buf), 0, nullptr, nullptr), -1);
    EXPECT_EQ(vs_socket_geterrno(), WSAEWOULDBLOCK);

    EXPECT_EQ(vs_socket_close(Server), 0);
    EXPECT_EQ(vs_socket_close(Client), 0);
    EXPECT_EQ(vs_socket_close(Listener), 0);
    EXPECT_NE(vs_socket_close(Listener), 0) << "closed once";
    vs_socket_term();
}

TEST(VsWinFile, BackslashesAndSlashesReachTheSystemAlike)
{
    std::string Base = TempPath("trelk_vsfile");
    ASSERT_TRUE(vs_dir_create((Base + "/a/b").c_str())) << "parents are made";
    EXPECT_TRUE(vs_file_isdir((Base + "\\a\\b").c_str()));
    FILE *f = vs_file_fopen((Base + "/a/b/x.TXT").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("data", f);
    fclose(f);
    EXPECT_EQ(vs_file_size((Base + "\\a\\b\\x.TXT").c_str()), 4u);
    EXPECT_EQ(vs_file_copy((Base + "/a/b/x.TXT").c_str(), (Base + "\\a\\b\\X.txt").c_str()), -1)
        << "the same file under another case is not copied onto itself";
    EXPECT_EQ(vs_file_copy((Base + "/a/b/x.TXT").c_str(), (Base + "/a/y.txt").c_str()), 0);

    VS_FINDDATA Found;
    VS_FINDHANDLE Find = vs_file_findfirst((Base + "/a/b/*.txt").c_str(), &Found);
    ASSERT_NE(Find, VS_INVALID_FINDHANDLE) << "the shared matcher compares extensions without case";
    EXPECT_STREQ(Found.FileName, "x.TXT");
    EXPECT_EQ(std::string(Found.DirName), Base + "\\a\\b");
    EXPECT_FALSE(vs_file_findnext(Find, &Found));
    vs_file_findclose(Find);

    EXPECT_EQ(vs_file_rename((Base + "/a/y.txt").c_str(), (Base + "/a/b/x.TXT").c_str()), 0)
        << "an existing target is replaced";
    EXPECT_EQ(vs_file_delete((Base + "/a/b/x.TXT").c_str()), 0);
    EXPECT_EQ(vs_file_delete((Base + "/a/b/x.TXT").c_str()), -1);
    EXPECT_TRUE(vs_dir_delete((Base + "/a/b").c_str()));
    EXPECT_TRUE(vs_dir_delete((Base + "/a").c_str()));
    EXPECT_TRUE(vs_dir_delete(Base.c_str()));
}

TEST(VsWinProcess, EnvironmentModuleAndProcesses)
{
    char Buf[8];
    ASSERT_TRUE(vs_set_env("TRELK_ENV_TEST", "a-long-value"));
    EXPECT_TRUE(vs_get_env("TRELK_ENV_TEST", Buf, sizeof(Buf)));
    EXPECT_STREQ(Buf, "a-long-") << "cut to the buffer";
    ASSERT_TRUE(vs_set_env("TRELK_ENV_TEST", ""));
    EXPECT_TRUE(vs_get_env("TRELK_ENV_TEST", Buf, sizeof(Buf))) << "set and empty is set";
    EXPECT_STREQ(Buf, "");
    SetEnvironmentVariableA("TRELK_ENV_TEST", nullptr);
    EXPECT_FALSE(vs_get_env("TRELK_ENV_TEST", Buf, sizeof(Buf)));

    char Module[VS_MAX_PATH];
    ASSERT_TRUE(vs_get_module(Module, sizeof(Module)));
    char Exe[MAX_PATH];
    GetModuleFileNameA(nullptr, Exe, sizeof(Exe));
    EXPECT_STREQ(Module, Exe);
    EXPECT_EQ(vs_process_current(), (VS_ULONG)GetCurrentProcessId());
    EXPECT_TRUE(vs_process_exist(vs_process_currentid()));
    EXPECT_FALSE(vs_process_exist(0xFFFFFFF0u));
    if (!_isatty(_fileno(stdin))) {
        EXPECT_EQ(vs_kbhit(), -1) << "standard input is no terminal";
    }
}
