// Process-wide mutexes: exclusion across processes and release when the
// holder ends.
#include "vs_platform.h"
#include "platform_test_util.h"

#include <poll.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace {

// True when a byte arrives on Fd within Ms milliseconds.
bool ReadableWithin(int Fd, int Ms)
{
    struct pollfd p = {Fd, POLLIN, 0};
    return poll(&p, 1, Ms) == 1;
}

} // namespace

TEST(VsPmutex, ExcludesAnotherProcessAndIsNotResetBySecondInit)
{
    ScratchDir Dir;
    VS_PMUTEX Id = vs_pmutex_init(Dir.path().c_str(), "excl");
    ASSERT_NE(Id, 0);
    ASSERT_TRUE(vs_pmutex_lock(Id));

    int Pipe[2];
    ASSERT_EQ(pipe(Pipe), 0);
    pid_t Child = fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        close(Pipe[0]);
        // Opening the existing semaphore must not make it free again.
        VS_PMUTEX Mine = vs_pmutex_init(Dir.path().c_str(), "excl");
        if (Mine == 0)
            _exit(2);
        if (!vs_pmutex_lock(Mine))
            _exit(3);
        char c = 'C';
        if (write(Pipe[1], &c, 1) != 1)
            _exit(4);
        vs_pmutex_unlock(Mine);
        _exit(0);
    }
    close(Pipe[1]);
    EXPECT_FALSE(ReadableWithin(Pipe[0], 150)) << "the child got a mutex the parent holds";
    vs_pmutex_unlock(Id);
    EXPECT_TRUE(ReadableWithin(Pipe[0], 10000));
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    EXPECT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
    close(Pipe[0]);
    EXPECT_EQ(vs_pmutex_destory(Id), 0);
}

TEST(VsPmutex, ProcessEndingWhileHoldingGivesItBack)
{
    ScratchDir Dir;
    VS_PMUTEX Id = vs_pmutex_init(Dir.path().c_str(), "undo");
    ASSERT_NE(Id, 0);
    pid_t Child = fork();
    ASSERT_GE(Child, 0);
    if (Child == 0)
        _exit(vs_pmutex_lock(Id) ? 0 : 1); // ends without unlocking
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    ASSERT_EQ(WEXITSTATUS(Status), 0);

    pid_t Waiter = fork();
    ASSERT_GE(Waiter, 0);
    if (Waiter == 0) {
        alarm(10); // a mutex that stayed held would hang here
        _exit(vs_pmutex_lock(Id) ? 0 : 1);
    }
    ASSERT_EQ(waitpid(Waiter, &Status, 0), Waiter);
    EXPECT_TRUE(WIFEXITED(Status)) << "the mutex stayed held";
    EXPECT_EQ(vs_pmutex_destory(Id), 0);
}

TEST(VsPmutex, DefaultKeyPathFallsBackToCurrentDirectory)
{
    ScratchDir Dir;
    ASSERT_EQ(chdir(Dir.path().c_str()), 0);
    VS_PMUTEX ByDefault = vs_pmutex_init(VS_PMUTEX_KEYPATH, "k");
    ASSERT_NE(ByDefault, 0);
    if (!PathExists(VS_PMUTEX_KEYPATH)) {
        // Without the key path the current directory gives the key, compared
        // without regard to case.
        EXPECT_EQ(vs_pmutex_init(Dir.path().c_str(), "k"), ByDefault);
        EXPECT_EQ(vs_pmutex_init("/USR/Local/Kestrix", "k"), ByDefault);
    }
    EXPECT_TRUE(vs_pmutex_lock(ByDefault));
    vs_pmutex_unlock(ByDefault);
    EXPECT_EQ(vs_pmutex_destory(ByDefault), 0);
}

TEST(VsPmutex, BadInputFailsCleanly)
{
    ScratchDir Dir;
    testing::internal::CaptureStdout();
    EXPECT_EQ(vs_pmutex_init((Dir / "missing").c_str(), "x"), 0);
    std::string Out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Out, "important : vs_pmutex_init failed.....[" + (Dir / "missing") + "][x]\n");

    EXPECT_EQ(vs_pmutex_init(nullptr, "x"), 0);
    EXPECT_EQ(vs_pmutex_init(Dir.path().c_str(), nullptr), 0);
    EXPECT_FALSE(vs_pmutex_lock(0));
    EXPECT_FALSE(vs_pmutex_lock(-5));
    vs_pmutex_unlock(0);
    EXPECT_EQ(vs_pmutex_destory(0), -1);

    // A removed semaphore can no longer be locked.
    VS_PMUTEX Id = vs_pmutex_init(Dir.path().c_str(), "gone");
    ASSERT_NE(Id, 0);
    ASSERT_EQ(vs_pmutex_destory(Id), 0);
    EXPECT_FALSE(vs_pmutex_lock(Id));
}
