// Shutdown with a worker that never ends: an asynchronous proc whose
// "Execute" waits in _Yield for a flag nobody sets is killed by
// "OnLongSuspend" (false), the script ends, and shutdown gives up on the
// worker after its bounded wait with its reports; the host then ends with the
// worker still in its script, parked in _Yield, and nothing crashes or hangs.
//
// The module's sleeps go through the platform's exported vs_thread_sleep,
// which this test program stands in for: a sleep lasts a hundred times less,
// so the 33 counted seconds pass in a fraction of a second.
#include "module_test_util.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>

extern "C" void vs_thread_sleep(VS_ULONG Milliseconds) {
    using SleepFn = void (*)(VS_ULONG);
    static SleepFn Real = (SleepFn)dlsym(RTLD_NEXT, "vs_thread_sleep");
    if (Real != nullptr)
        Real(Milliseconds / 100);
}

using namespace trelktest;

TEST(ThreadsShutdown, AWorkerStuckInItsScriptIsGivenUpAndTheHostEnds) {
    ASSERT_TRUE(tvh::start());
    std::string Error;
    ASSERT_TRUE(tvh::loadModule(TRELK_MODULE_PATH, &Error)) << Error;
    tvh::errors(true);
    ASSERT_TRUE(tvh::runChunk(R"(
        local N = QZDataBase:CreateType("sd.N")
        local P = QZProcBase:CreateSubType("sd.Stuck")
        P:InputFrom(N)
        P.IsAsync = true
        P.Execute = function(self)
          if self.Status < 0 then return 0 end
          started = true
          while not released do _Yield(1) end
          return 0
        end
        local chain = _New(QZProcChainBase)
        chain:FromPara(P())
        local cell = _New(QZCellBase)
        cell:AddProc(chain)
        local realm = _New(QZRealmBase)
        realm:AddCell(cell)
        realm.MaxSuspendTickCount = 0
        -- Killed once its script is under way.
        realm.OnLongSuspend = function() return not started end
        realm:AddEnvData(N(1))
        realm:Execute()
        assert(started, "the worker's script ran")
        assert(realm.ErrorCount == 1, "the kill counted one error")
        _Free(realm)
    )", "shutdown", &Error)) << Error;
    EXPECT_EQ(ErrorsWithText("it suspend too long").size(), 1u) << ErrorLog();

    auto Start = std::chrono::steady_clock::now();
    tvh::unloadModule();
    auto Took = std::chrono::steady_clock::now() - Start;
    EXPECT_LT(Took, std::chrono::milliseconds(10000));
    auto Waits = ErrorsWithText("wait thread to exit");
    ASSERT_EQ(Waits.size(), 12u) << ErrorLog();
    EXPECT_EQ(Waits[0].text, "wait thread to exit [3]s...");
    EXPECT_EQ(Waits[11].text, "wait thread to exit [33]s, too long, may cause exception...");
    // The worker is still in its script: the host ends all the same.
    tvh::stop();
}
