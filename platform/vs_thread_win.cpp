// Threads, critical sections, events, guarded integers and the named system
// mutex for Windows.
#include "vs_win_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <process.h>
#include <string>

using vs_internal::CriticalSectionOf;

namespace {

struct ThreadStart {
    VS_THREADPROC Proc;
    void *Para;
};

unsigned __stdcall ThreadMain(void *Arg)
{
    ThreadStart Start = *(ThreadStart *)Arg;
    delete (ThreadStart *)Arg;
    return (unsigned)(uintptr_t)Start.Proc(Start.Para);
}

} // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

VS_HANDLE vs_thread_create(VS_THREADPROC Proc, void *Para, VS_HANDLE *Handle)
{
    if (Proc == nullptr)
        return nullptr;
    ThreadStart *Start = new (std::nothrow) ThreadStart{Proc, Para};
    if (Start == nullptr)
        return nullptr;
    uintptr_t Thread = _beginthreadex(nullptr, 0, ThreadMain, Start, 0, nullptr);
    if (Thread == 0) {
        delete Start;
        return nullptr;
    }
    VS_HANDLE Result = (VS_HANDLE)Thread;
    if (Handle != nullptr)
        *Handle = Result;
    return Result;
}

void vs_thread_exit(void *Result)
{
    _endthreadex((unsigned)(uintptr_t)Result);
}

VS_HANDLE vs_thread_current()
{
    return (VS_HANDLE)GetCurrentThread();
}

VS_THREADID vs_thread_currentid()
{
    return (VS_THREADID)GetCurrentThreadId();
}

VS_INT32 vs_thread_yield()
{
    SwitchToThread();
    return 0;
}

VS_INT32 vs_thread_detach(VS_HANDLE Handle)
{
    if (Handle == nullptr)
        return ESRCH;
    return CloseHandle((HANDLE)Handle) ? 0 : (VS_INT32)GetLastError();
}

// Waits on the thread's handle: polling the exit code would take a thread
// whose result is STILL_ACTIVE (259) for one that runs on. The join ends
// the handle's use, as a joined thread does with POSIX threads.
VS_INT32 vs_thread_join(VS_HANDLE Handle)
{
    if (Handle == nullptr)
        return ESRCH;
    if (WaitForSingleObject((HANDLE)Handle, INFINITE) != WAIT_OBJECT_0)
        return (VS_INT32)GetLastError();
    CloseHandle((HANDLE)Handle);
    return 0;
}

void vs_thread_priority(VS_HANDLE Handle, VS_INT32 Policy, VS_INT32 Change)
{
    (void)Policy;
    if (Handle == nullptr)
        return;
    int Priority = THREAD_PRIORITY_NORMAL;
    if (Change < 0)
        Priority = THREAD_PRIORITY_ABOVE_NORMAL;
    else if (Change > 0)
        Priority = THREAD_PRIORITY_BELOW_NORMAL;
    SetThreadPriority((HANDLE)Handle, Priority);
}

void vs_thread_sleep(VS_ULONG Milliseconds)
{
    Sleep(Milliseconds);
}

// ---------------------------------------------------------------------------
// Mutexes: critical sections
// ---------------------------------------------------------------------------

VS_BOOL vs_mutex_init(VS_MUTEX *Mutex)
{
    if (Mutex == nullptr)
        return VS_FALSE;
    InitializeCriticalSection(CriticalSectionOf(Mutex));
    return VS_TRUE;
}

VS_BOOL vs_mutex_lock(VS_MUTEX *Mutex)
{
    if (Mutex == nullptr)
        return VS_FALSE;
    EnterCriticalSection(CriticalSectionOf(Mutex));
    return VS_TRUE;
}

VS_INT32 vs_mutex_unlock(VS_MUTEX *Mutex)
{
    if (Mutex == nullptr)
        return EINVAL;
    LeaveCriticalSection(CriticalSectionOf(Mutex));
    return 0;
}

VS_INT32 vs_mutex_destory(VS_MUTEX *Mutex)
{
    if (Mutex == nullptr)
        return EINVAL;
    DeleteCriticalSection(CriticalSectionOf(Mutex));
    return 0;
}

// ---------------------------------------------------------------------------
// Conditions: auto-reset events. A manual-reset event reset by the waiter
// after it woke would swallow a signal given between the wake and the reset.
// ---------------------------------------------------------------------------

VS_BOOL vs_cond_init(VS_COND *Cond)
{
    if (Cond == nullptr)
        return VS_FALSE;
    Cond->Event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return Cond->Event != nullptr ? VS_TRUE : VS_FALSE;
}

void vs_cond_wait(VS_COND *Cond)
{
    if (Cond == nullptr || Cond->Event == nullptr)
        return;
    WaitForSingleObject((HANDLE)Cond->Event, INFINITE);
}

VS_BOOL vs_cond_timewait(VS_COND *Cond, VS_ULONG Milliseconds)
{
    if (Cond == nullptr || Cond->Event == nullptr)
        return VS_FALSE;
    if (Milliseconds == 0) {
        vs_cond_wait(Cond);
        return VS_TRUE;
    }
    // INFINITE is all ones: a wait of that many milliseconds is kept finite.
    DWORD Wait = Milliseconds == INFINITE ? INFINITE - 1 : (DWORD)Milliseconds;
    return WaitForSingleObject((HANDLE)Cond->Event, Wait) == WAIT_OBJECT_0 ? VS_TRUE : VS_FALSE;
}

VS_INT32 vs_cond_signal(VS_COND *Cond)
{
    if (Cond == nullptr || Cond->Event == nullptr)
        return EINVAL;
    return SetEvent((HANDLE)Cond->Event) ? 0 : (VS_INT32)GetLastError();
}

VS_INT32 vs_cond_destroy(VS_COND *Cond)
{
    if (Cond == nullptr || Cond->Event == nullptr)
        return EINVAL;
    BOOL Ok = CloseHandle((HANDLE)Cond->Event);
    Cond->Event = nullptr;
    return Ok ? 0 : (VS_INT32)GetLastError();
}

// ---------------------------------------------------------------------------
// Inter-process mutex: a named system mutex. Its name comes from the key path
// and the name (separators and other characters a system name must not
// hold become '_'); the system gives it back when its holder ends.
// ---------------------------------------------------------------------------

VS_PMUTEX vs_pmutex_init(const VS_CHAR *Path, const VS_CHAR *Name)
{
    if (Path == nullptr || Name == nullptr || Name[0] == 0)
        return nullptr;
    std::string Key = "vs_pmutex_";
    Key += Path;
    Key += '_';
    Key += Name;
    for (char &c : Key) {
        if (c == '\\' || c == '/' || c == ':')
            c = '_';
        else if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a'); // paths compare without regard to case here
    }
    if (Key.size() >= MAX_PATH) {
        // A cut name could make two different mutexes one.
        printf("important : vs_pmutex_init failed.....[%s][%s]\n", Path, Name);
        fflush(stdout);
        return nullptr;
    }
    HANDLE Mutex = CreateMutexA(nullptr, FALSE, Key.c_str());
    return (VS_PMUTEX)Mutex;
}

VS_BOOL vs_pmutex_lock(VS_PMUTEX Id)
{
    if (Id == nullptr)
        return VS_FALSE;
    // An abandoned mutex (its holder ended) is held by this thread now.
    DWORD r = WaitForSingleObject((HANDLE)Id, INFINITE);
    return (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ? VS_TRUE : VS_FALSE;
}

void vs_pmutex_unlock(VS_PMUTEX Id)
{
    if (Id != nullptr)
        ReleaseMutex((HANDLE)Id);
}

VS_INT32 vs_pmutex_destory(VS_PMUTEX Id)
{
    if (Id == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return CloseHandle((HANDLE)Id) ? 0 : -1;
}

} // extern "C"
