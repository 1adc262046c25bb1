// Threads, mutexes, conditions, guarded integers and the inter-process mutex
// for Linux (POSIX threads, System V semaphores).
#include "vs_platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <strings.h>
#include <sys/ipc.h>
#include <sys/select.h>
#include <sys/sem.h>
#include <unistd.h>

static_assert(sizeof(pthread_t) <= sizeof(VS_HANDLE), "a thread handle must fit in VS_HANDLE");
static_assert(sizeof(pthread_t) <= sizeof(VS_THREADID), "a thread identity must fit in VS_THREADID");

static inline pthread_t ToPthread(VS_HANDLE Handle)
{
    return (pthread_t)(uintptr_t)Handle;
}

extern "C" {

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

VS_HANDLE vs_thread_create(VS_THREADPROC Proc, void *Para, VS_HANDLE *Handle)
{
    if (Proc == nullptr)
        return nullptr;
    pthread_t Thread;
    if (pthread_create(&Thread, nullptr, Proc, Para) != 0)
        return nullptr;
    VS_HANDLE Result = (VS_HANDLE)(uintptr_t)Thread;
    if (Handle != nullptr)
        *Handle = Result;
    return Result;
}

void vs_thread_exit(void *Result)
{
    pthread_exit(Result);
}

VS_HANDLE vs_thread_current()
{
    return (VS_HANDLE)(uintptr_t)pthread_self();
}

VS_THREADID vs_thread_currentid()
{
    return (VS_THREADID)(uintptr_t)pthread_self();
}

VS_INT32 vs_thread_yield()
{
    return sched_yield();
}

VS_INT32 vs_thread_detach(VS_HANDLE Handle)
{
    if (Handle == nullptr)
        return ESRCH;
    return pthread_detach(ToPthread(Handle));
}

VS_INT32 vs_thread_join(VS_HANDLE Handle)
{
    if (Handle == nullptr)
        return ESRCH;
    return pthread_join(ToPthread(Handle), nullptr);
}

void vs_thread_priority(VS_HANDLE Handle, VS_INT32 Policy, VS_INT32 Change)
{
    if (Handle == nullptr)
        return;
    int OldPolicy;
    struct sched_param Param;
    if (pthread_getschedparam(ToPthread(Handle), &OldPolicy, &Param) != 0)
        return;
    Param.sched_priority += Change;
    pthread_setschedparam(ToPthread(Handle), Policy, &Param);
}

void vs_thread_sleep(VS_ULONG Milliseconds)
{
    struct timeval Tv;
    Tv.tv_sec = (time_t)(Milliseconds / 1000);
    Tv.tv_usec = (suseconds_t)((Milliseconds % 1000) * 1000);
    // Linux leaves the time not slept in Tv when a signal cuts the wait short.
    while (select(0, nullptr, nullptr, nullptr, &Tv) < 0 && errno == EINTR)
        ;
}

// ---------------------------------------------------------------------------
// Mutexes
// ---------------------------------------------------------------------------

VS_BOOL vs_mutex_init(VS_MUTEX *Mutex)
{
    if (Mutex == nullptr)
        return VS_FALSE;
    pthread_mutexattr_t Attr;
    if (pthread_mutexattr_init(&Attr) != 0)
        return VS_FALSE;
    bool Ok = pthread_mutexattr_settype(&Attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutex_init(&Mutex->Mutex, &Attr) == 0;
    pthread_mutexattr_destroy(&Attr);
    return Ok ? VS_TRUE : VS_FALSE;
}

VS_BOOL vs_mutex_lock(VS_MUTEX *Mutex)
{
    if (Mutex == nullptr)
        return VS_FALSE;
    return pthread_mutex_lock(&Mutex->Mutex) == 0 ? VS_TRUE : VS_FALSE;
}

VS_INT32 vs_mutex_unlock(VS_MUTEX *Mutex)
{
    if (Mutex == nullptr)
        return EINVAL;
    return pthread_mutex_unlock(&Mutex->Mutex);
}

VS_INT32 vs_mutex_destory(VS_MUTEX *Mutex)
{
    if (Mutex == nullptr)
        return EINVAL;
    return pthread_mutex_destroy(&Mutex->Mutex);
}

// ---------------------------------------------------------------------------
// Conditions
// ---------------------------------------------------------------------------

VS_BOOL vs_cond_init(VS_COND *Cond)
{
    if (Cond == nullptr)
        return VS_FALSE;
    // Timed waits measure on the monotonic clock so that setting the system
    // clock neither shortens nor stretches them.
    pthread_condattr_t Attr;
    if (pthread_condattr_init(&Attr) != 0)
        return VS_FALSE;
    bool Ok = pthread_condattr_setclock(&Attr, CLOCK_MONOTONIC) == 0 &&
              pthread_cond_init(&Cond->Cond, &Attr) == 0;
    pthread_condattr_destroy(&Attr);
    if (!Ok)
        return VS_FALSE;
    if (!vs_mutex_init(&Cond->Mutex)) {
        pthread_cond_destroy(&Cond->Cond);
        return VS_FALSE;
    }
    Cond->Signalled = VS_FALSE;
    return VS_TRUE;
}

void vs_cond_wait(VS_COND *Cond)
{
    if (Cond == nullptr)
        return;
    pthread_mutex_lock(&Cond->Mutex.Mutex);
    while (!Cond->Signalled)
        pthread_cond_wait(&Cond->Cond, &Cond->Mutex.Mutex);
    Cond->Signalled = VS_FALSE;
    pthread_mutex_unlock(&Cond->Mutex.Mutex);
}

VS_BOOL vs_cond_timewait(VS_COND *Cond, VS_ULONG Milliseconds)
{
    if (Cond == nullptr)
        return VS_FALSE;
    if (Milliseconds == 0) {
        vs_cond_wait(Cond);
        return VS_TRUE;
    }
    // The deadline counts the full time from now, to the nanosecond.
    struct timespec Deadline;
    clock_gettime(CLOCK_MONOTONIC, &Deadline);
    Deadline.tv_sec += (time_t)(Milliseconds / 1000);
    Deadline.tv_nsec += (long)(Milliseconds % 1000) * 1000000L;
    if (Deadline.tv_nsec >= 1000000000L) {
        Deadline.tv_sec += 1;
        Deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&Cond->Mutex.Mutex);
    while (!Cond->Signalled) {
        // Only a spurious wake-up (0) waits again; a time-out or an error ends it.
        if (pthread_cond_timedwait(&Cond->Cond, &Cond->Mutex.Mutex, &Deadline) != 0)
            break;
    }
    VS_BOOL Got = Cond->Signalled;
    Cond->Signalled = VS_FALSE;
    pthread_mutex_unlock(&Cond->Mutex.Mutex);
    return Got;
}

VS_INT32 vs_cond_signal(VS_COND *Cond)
{
    if (Cond == nullptr)
        return EINVAL;
    // The signal is kept under the mutex so that a waiter that has not begun
    // to wait yet still finds it.
    pthread_mutex_lock(&Cond->Mutex.Mutex);
    Cond->Signalled = VS_TRUE;
    int r = pthread_cond_signal(&Cond->Cond);
    pthread_mutex_unlock(&Cond->Mutex.Mutex);
    return r;
}

VS_INT32 vs_cond_destroy(VS_COND *Cond)
{
    if (Cond == nullptr)
        return EINVAL;
    int r = pthread_cond_destroy(&Cond->Cond);
    vs_mutex_destory(&Cond->Mutex);
    return r;
}

// ---------------------------------------------------------------------------
// Inter-process mutex: one System V semaphore, 1 = free, 0 = held.
// ---------------------------------------------------------------------------

// The identifier handed out is the semaphore set's ID plus one: the system
// may give a set the ID 0, which would otherwise read as failure.
static inline int SemIdOf(VS_PMUTEX Id)
{
    return Id > 0 ? Id - 1 : -1;
}

static VS_PMUTEX PmutexOf(int SemId)
{
    return (SemId >= 0 && SemId < INT_MAX) ? (VS_PMUTEX)(SemId + 1) : 0;
}

VS_PMUTEX vs_pmutex_init(const VS_CHAR *Path, const VS_CHAR *Name)
{
    if (Path == nullptr || Name == nullptr)
        return 0;
    VS_CHAR Cwd[VS_MAX_PATH];
    key_t Key = ftok(Path, Name[0]);
    if (Key == (key_t)-1 && strcasecmp(Path, VS_PMUTEX_KEYPATH) == 0 && vs_dir_getcwd(Cwd, sizeof(Cwd))) {
        Path = Cwd;
        Key = ftok(Path, Name[0]);
    }
    if (Key == (key_t)-1) {
        // Every failed key would be the same one, so distinct mutexes would
        // silently become one: refuse instead.
        printf("important : vs_pmutex_init failed.....[%s][%s]\n", Path, Name);
        fflush(stdout);
        return 0;
    }
    int SemId = semget(Key, 1, IPC_CREAT | IPC_EXCL | 0666);
    if (SemId >= 0) {
        VS_PMUTEX Id = PmutexOf(SemId);
        if (Id == 0 || semctl(SemId, 0, SETVAL, 1) != 0) {
            semctl(SemId, 0, IPC_RMID);
            return 0;
        }
        return Id;
    }
    if (errno != EEXIST)
        return 0;
    SemId = semget(Key, 1, IPC_CREAT | 0666);
    return SemId >= 0 ? PmutexOf(SemId) : 0;
}

static bool SemAdd(VS_PMUTEX Id, short Delta, short Flags)
{
    int SemId = SemIdOf(Id);
    if (SemId < 0)
        return false;
    struct sembuf Op;
    Op.sem_num = 0;
    Op.sem_op = Delta;
    Op.sem_flg = (short)(SEM_UNDO | Flags);
    for (;;) {
        if (semop(SemId, &Op, 1) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

VS_BOOL vs_pmutex_lock(VS_PMUTEX Id)
{
    return SemAdd(Id, -1, 0) ? VS_TRUE : VS_FALSE;
}

void vs_pmutex_unlock(VS_PMUTEX Id)
{
    SemAdd(Id, 1, IPC_NOWAIT);
}

VS_INT32 vs_pmutex_destory(VS_PMUTEX Id)
{
    int SemId = SemIdOf(Id);
    if (SemId < 0) {
        errno = EINVAL;
        return -1;
    }
    return semctl(SemId, 0, IPC_RMID);
}

} // extern "C"
