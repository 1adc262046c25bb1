// Shutdown gives up on a worker thread that never ends: eleven waits of three
// seconds, then the too-long report, and shutdown goes on.
//
// The module's sleeps go through the platform's exported vs_thread_sleep, which
// this test program stands in for: while FastSleepDivisor is above 1 a sleep
// lasts that many times less, so the 33 counted seconds pass in a fraction of
// a second. Every other test sleeps for real.
#include "module_test_util.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

using namespace trelktest;

namespace {

std::atomic<VS_ULONG> FastSleepDivisor{1};

} // namespace

extern "C" void vs_thread_sleep(VS_ULONG Milliseconds) {
    using SleepFn = void (*)(VS_ULONG);
    static SleepFn Real = (SleepFn)dlsym(RTLD_NEXT, "vs_thread_sleep");
    if (Real != nullptr)
        Real(Milliseconds / FastSleepDivisor.load());
}

TEST(ModuleShutdown, GivesUpAfterMoreThanThirtySecondsAndGoesOn) {
    ASSERT_TRUE(tvh::start());
    std::string Error;
    ASSERT_TRUE(tvh::loadModule(TRELK_MODULE_PATH, &Error)) << Error;
    tvh::lockBoth();
    // A worker that entered itself and will never take itself out.
    ASSERT_NE(GlobalThreadIndexTree, nullptr);
    QZObject_XRQInterface->InsertOneKey(GlobalThreadIndexTree, 4242, (void *)4242);
    tvh::unlockBoth();
    tvh::errors(true);

    FastSleepDivisor = 100;
    auto Start = std::chrono::steady_clock::now();
    tvh::unloadModule();
    auto Took = std::chrono::steady_clock::now() - Start;
    FastSleepDivisor = 1;

    // Eleven real sleeps of 30 ms each: the stand-in was used, not a real wait.
    EXPECT_GE(Took, std::chrono::milliseconds(300));
    EXPECT_LT(Took, std::chrono::milliseconds(3000));
    auto Waits = ErrorsWithText("wait thread to exit");
    ASSERT_EQ(Waits.size(), 12u) << ErrorLog();
    for (int i = 0; i < 11; i++) {
        EXPECT_EQ(Waits[i].text, "wait thread to exit [" + std::to_string(3 * (i + 1)) + "]s...");
        EXPECT_EQ(Waits[i].level, 1);
    }
    EXPECT_EQ(Waits[11].text, "wait thread to exit [33]s, too long, may cause exception...");
    EXPECT_EQ(Waits[11].level, 1);
    // Shutdown went on: classes, registries and interfaces are gone.
    EXPECT_EQ(QZDataBaseClass, nullptr);
    EXPECT_EQ(QZRealmBaseClass, nullptr);
    EXPECT_EQ(GlobalThreadIndexTree, nullptr);
    EXPECT_EQ(QZObject_XRQInterface, nullptr);
    tvh::stop();
}
