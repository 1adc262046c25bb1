// The host lock and the script lock: owner, re-entry depth, first-come
// first-served hand-off, release when the owning thread ends.
#include "core_state.h"

#include <condition_variable>
#include <thread>

namespace tvh {

namespace {

class FairLock {
  public:
    explicit FairLock(int id) : id_(id) {}
    bool ownedByMe() const { return lockOwnership()[id_]; }

    // Re-entry by the owner only deepens the hold.
    void acquire() {
        if (ownedByMe()) {
            ++depth_;
            counters().RecursiveLocks++;
            return;
        }
        acquireDepth(1);
    }

    void acquireDepth(int depth) {
        std::unique_lock<std::mutex> lk(m_);
        uint64_t ticket = next_++;
        cv_.wait(lk, [&] { return serving_ == ticket; });
        owner_.store(std::this_thread::get_id(), std::memory_order_release);
        lockOwnership()[id_] = true; // set by the new owner itself
        depth_ = depth;
    }

    // A release by a thread that does not own the lock changes nothing.
    bool release() {
        if (!ownedByMe()) {
            counters().LockViolations++;
            return false;
        }
        if (--depth_ > 0) return true;
        handOff();
        return true;
    }

    // Gives the lock up entirely; returns the depth held (0 when not owner).
    int releaseAll() {
        if (!ownedByMe()) return 0;
        int d = depth_;
        depth_ = 0;
        handOff();
        return d;
    }

  private:
    void handOff() {
        std::lock_guard<std::mutex> lk(m_);
        lockOwnership()[id_] = false; // hand-offs are made by the owner
        owner_.store(std::thread::id(), std::memory_order_release);
        ++serving_;
        cv_.notify_all();
    }

    std::mutex m_;
    std::condition_variable cv_;
    uint64_t next_ = 0;
    uint64_t serving_ = 0;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0; // touched by the owner only
    int id_;
};

FairLock &hostLock() {
    static FairLock *l = new FairLock(0);
    return *l;
}
FairLock &scriptLock() {
    static FairLock *l = new FairLock(1);
    return *l;
}

// A thread that ends while holding a lock gives it up (counted as misuse).
struct ThreadExitGuard {
    ~ThreadExitGuard() {
        if (hostLock().releaseAll() > 0) {
            counters().LockViolations++;
            reportException("a thread ended holding the host lock; it was released");
        }
        if (scriptLock().releaseAll() > 0) {
            counters().LockViolations++;
            reportException("a thread ended holding the script lock; it was released");
        }
    }
};
void armExitGuard() {
    static thread_local ThreadExitGuard guard;
    (void)guard;
}

} // namespace

void takeHostLock() {
    armExitGuard();
    hostLock().acquire();
}
void releaseHostLock() {
    if (!hostLock().release()) reportException("XRQUnLock: the calling thread does not hold the host lock");
}

void captureScriptLock() {
    armExitGuard();
    // Order is script lock, then host lock. Taking it the other way round
    // waits for a thread that may be waiting for our host lock: refused.
    if (hostLock().ownedByMe() && !scriptLock().ownedByMe()) {
        counters().LockViolations++;
        reportException("CaptureScriptGIL: refused while the caller holds the host lock (release the host lock first)");
        return;
    }
    scriptLock().acquire();
}
void releaseScriptLock() {
    if (!scriptLock().release()) reportException("ReleaseScriptGIL: the calling thread does not hold the script lock");
}


void lockBothIfNeeded(bool *tookScript, bool *tookHost) {
    armExitGuard();
    *tookScript = !scriptLock().ownedByMe();
    if (*tookScript) {
        if (hostLock().ownedByMe()) counters().LockViolations++;
        scriptLock().acquireDepth(1);
    }
    *tookHost = !hostLock().ownedByMe();
    if (*tookHost) hostLock().acquireDepth(1);
}

void unlockTaken(bool tookScript, bool tookHost) {
    if (tookHost) hostLock().release();
    if (tookScript) scriptLock().release();
}

void resetLocksForCaller() {
    hostLock().releaseAll();
    scriptLock().releaseAll();
}

VS_BOOL dispatch() {
    // Let threads already waiting run: our new tickets queue behind theirs.
    int hostDepth = hostLock().releaseAll();
    int scriptDepth = scriptLock().releaseAll();
    if (scriptDepth > 0) scriptLock().acquireDepth(scriptDepth);
    if (hostDepth > 0) hostLock().acquireDepth(hostDepth);
    if (scriptDepth == 0 && hostDepth == 0) std::this_thread::yield();

    // Messages and collections run script code, which only a holder of the
    // script lock may touch (a stepping thread dispatches with the host lock
    // alone); they wait for a caller that holds what they need.
    VS_BOOL ran = VS_FALSE;
    if (scriptDepth > 0)
        if (ScriptEngine *e = scriptEngine()) ran = e->runOnePosted() ? VS_TRUE : VS_FALSE;

    // A collection point on every call: a bounded script step, and frees of
    // the candidates found so far (on the main thread, outside calls by name).
    if (scriptDepth > 0 && hostDepth > 0) collectStep();
    return ran;
}

} // namespace tvh
