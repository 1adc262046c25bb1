// Portable platform layer: a plain C interface over the operating system
// (clock, threads and synchronisation, files and directories, shared
// libraries, environment, process, sockets, strings, UUIDs) and the
// float/integer bit conversions. Every function is exported under its own
// name with C linkage; one implementation exists per operating system.
#ifndef VS_PLATFORM_H
#define VS_PLATFORM_H

#include "vs_types.h"

#include <cstdarg>
#include <cstdio>

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>
#define VS_PLATFORM_API __attribute__((visibility("default")))
#define VS_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#elif defined(_WIN32)
// No windows.h here: its macros (GetObject, CreateService, ...) would rename
// methods of the host interfaces in every file that includes this header.
// The system records are kept as storage of their size, checked where the
// system headers are included.
#include <sys/types.h>
struct sockaddr;
// The DLL exports what the shared object exports; programs and tests that
// link the objects themselves see the same declarations.
#define VS_PLATFORM_API __declspec(dllexport)
// The C99 formatting of mingw (__USE_MINGW_ANSI_STDIO), as on Linux.
#define VS_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#error "the platform layer has no implementation for this operating system yet"
#endif

// ---------------------------------------------------------------------------
// Types
// ---------------------------------------------------------------------------

// Broken-down clock time. wDayOfWeek counts 1 = Sunday ... 7 = Saturday.
struct VS_TIME_T {
    VS_UINT16 wYear;
    VS_UINT16 wMonth;
    VS_UINT16 wDayOfWeek;
    VS_UINT16 wDay;
    VS_UINT16 wHour;
    VS_UINT16 wMinute;
    VS_UINT16 wSecond;
    VS_UINT16 wMilliseconds;
};
typedef VS_TIME_T VS_TIME;

// A point in time: seconds since 1970-01-01 UTC and a millisecond part.
struct VS_TIMEVALUE {
    VS_INT64 Seconds;
    VS_UINT16 Milliseconds;
};

// Thread handle (NULL = no thread) and thread identity.
typedef void *VS_HANDLE;
typedef VS_UWORD VS_THREADID;
typedef void *(*VS_THREADPROC)(void *Para);

#if defined(_WIN32)
// Recursive mutex: a critical section, which is re-entrant by nature.
struct VS_MUTEX {
    alignas(8) VS_UINT8 Mutex[40];
};

// One-shot signal between threads: an auto-reset event keeps a signal given
// while nobody waits, and hands it to exactly one wait.
struct VS_COND {
    void *Event;
};
#else
// Recursive mutex: the owning thread may lock it again and must unlock it as
// often.
struct VS_MUTEX {
    pthread_mutex_t Mutex;
};

// One-shot signal between threads. A signal given while nobody waits stays
// pending until the next wait takes it; a wait never returns without one.
struct VS_COND {
    pthread_cond_t Cond;
    VS_MUTEX Mutex;
    VS_BOOL Signalled;
};
#endif

// A 32-bit value of which every access is one critical section of its mutex.
struct vs_atomic {
    VS_INT32 Value;
    VS_MUTEX Mutex;
};

// Inter-process mutex identifier; 0 = none. On Windows a named system mutex.
#if defined(_WIN32)
typedef void *VS_PMUTEX;
#else
typedef VS_INT32 VS_PMUTEX;
#endif
// Key path of the inter-process mutexes; when it cannot be used the current
// directory takes its place.
#define VS_PMUTEX_KEYPATH "/usr/local/kestrix"

// File information record.
struct VS_STATBUF {
    VS_UINT16 Mode;   // file type and permission bits
    VS_ULONG Size;    // low 32 bits of the size in bytes
    VS_INT64 ATime;   // last access, seconds since 1970-01-01 UTC
    VS_INT64 MTime;   // last modification
    VS_INT64 CTime;   // last status change
};

// Error value of the file functions.
#define VS_FS_ERRNO ((VS_INT32)0x80000000)

// Longest path (with terminator) that the path functions accept.
#define VS_MAX_PATH 512

// Directory search record. vs_file_findfirst allocates a handle of this form;
// the caller's record receives the same fields (without the stream).
struct VS_FINDDATA {
    VS_UINT8 AnyName;
    VS_UINT8 AnyExt;
    VS_CHAR NamePattern[VS_MAX_PATH];
    VS_CHAR ExtPattern[VS_MAX_PATH];
    VS_CHAR DirName[VS_MAX_PATH];
    VS_CHAR FileName[VS_MAX_PATH];
    void *DirStream;
};
typedef VS_FINDDATA *VS_FINDHANDLE;
// Failure value of vs_file_findfirst.
#define VS_INVALID_FINDHANDLE ((VS_FINDHANDLE)(intptr_t)-1)

// Shared-library handle value that stands for "no library" besides NULL.
#define VS_INVALID_DLLHANDLE ((void *)(intptr_t)-1)

// Size of the registered-procedure table and the longest procedure name.
#define VS_MAX_REGISTERPROC 4096
#define VS_REGISTERPROC_NAMESIZE 128

#if defined(_WIN32)
typedef uintptr_t VS_SOCKET;
typedef int VS_SOCKLEN;
#else
typedef int VS_SOCKET;
typedef socklen_t VS_SOCKLEN;
#endif

extern "C" {

// ---------------------------------------------------------------------------
// Time and tick counts (wall clock; milliseconds / microseconds since 1970)
// ---------------------------------------------------------------------------
VS_PLATFORM_API VS_INT64 vs_tm_gettickcount64();
VS_PLATFORM_API VS_INT64 vs_tm_gettickcount();
VS_PLATFORM_API VS_INT64 vs_tm_gettickcount_us();
VS_PLATFORM_API void vs_tm_getlocaltime(VS_TIME_T *Time);
// 0, or -1 when the seconds cannot be converted (fields all 0).
VS_PLATFORM_API VS_INT32 vs_tm_time2clock(const VS_TIMEVALUE *Value, VS_TIME_T *Time);
// 0, or -1 when the fields do not make a representable local time.
VS_PLATFORM_API VS_INT32 vs_tm_clock2time(const VS_TIME_T *Time, VS_TIMEVALUE *Value);
VS_PLATFORM_API VS_INT32 vs_tm_gmt2clock(VS_INT64 Seconds, VS_TIME_T *Time);

// ---------------------------------------------------------------------------
// Threads and synchronisation
// ---------------------------------------------------------------------------
VS_PLATFORM_API VS_HANDLE vs_thread_create(VS_THREADPROC Proc, void *Para, VS_HANDLE *Handle);
VS_PLATFORM_API void vs_thread_exit(void *Result);
VS_PLATFORM_API VS_HANDLE vs_thread_current();
VS_PLATFORM_API VS_THREADID vs_thread_currentid();
VS_PLATFORM_API VS_INT32 vs_thread_yield();
VS_PLATFORM_API VS_INT32 vs_thread_detach(VS_HANDLE Handle);
VS_PLATFORM_API VS_INT32 vs_thread_join(VS_HANDLE Handle);
VS_PLATFORM_API void vs_thread_priority(VS_HANDLE Handle, VS_INT32 Policy, VS_INT32 Change);
VS_PLATFORM_API void vs_thread_sleep(VS_ULONG Milliseconds);

VS_PLATFORM_API VS_BOOL vs_mutex_init(VS_MUTEX *Mutex);
VS_PLATFORM_API VS_BOOL vs_mutex_lock(VS_MUTEX *Mutex);
VS_PLATFORM_API VS_INT32 vs_mutex_unlock(VS_MUTEX *Mutex);
VS_PLATFORM_API VS_INT32 vs_mutex_destory(VS_MUTEX *Mutex);

VS_PLATFORM_API VS_BOOL vs_cond_init(VS_COND *Cond);
VS_PLATFORM_API void vs_cond_wait(VS_COND *Cond);
// 0 ms waits without limit and gives true; else true when signalled, false
// when the time ran out.
VS_PLATFORM_API VS_BOOL vs_cond_timewait(VS_COND *Cond, VS_ULONG Milliseconds);
VS_PLATFORM_API VS_INT32 vs_cond_signal(VS_COND *Cond);
VS_PLATFORM_API VS_INT32 vs_cond_destroy(VS_COND *Cond);

VS_PLATFORM_API VS_BOOL vs_atomic_init(vs_atomic *Atomic);
VS_PLATFORM_API void vs_atomic_set(vs_atomic *Atomic, VS_INT32 Value);
VS_PLATFORM_API VS_INT32 vs_atomic_get(vs_atomic *Atomic);
// Returns the value found; it becomes NewValue only when it equals Expected.
VS_PLATFORM_API VS_INT32 vs_atomic_compare_set(vs_atomic *Atomic, VS_INT32 NewValue, VS_INT32 Expected);
VS_PLATFORM_API VS_INT32 vs_atomic_destory(vs_atomic *Atomic);

// Identifier, or 0 on failure.
VS_PLATFORM_API VS_PMUTEX vs_pmutex_init(const VS_CHAR *Path, const VS_CHAR *Name);
// True once held; false for an identifier that names no semaphore.
VS_PLATFORM_API VS_BOOL vs_pmutex_lock(VS_PMUTEX Id);
VS_PLATFORM_API void vs_pmutex_unlock(VS_PMUTEX Id);
VS_PLATFORM_API VS_INT32 vs_pmutex_destory(VS_PMUTEX Id);

// ---------------------------------------------------------------------------
// Strings and memory
// ---------------------------------------------------------------------------
VS_PLATFORM_API VS_INT32 vs_string_strlen(const VS_CHAR *s);
VS_PLATFORM_API VS_INT32 vs_string_strcmp(const VS_CHAR *a, const VS_CHAR *b);
VS_PLATFORM_API VS_INT32 vs_string_snprintf(VS_CHAR *Buf, VS_INT32 Size, const VS_CHAR *Format, ...)
    VS_PRINTF_FORMAT(3, 4);
VS_PLATFORM_API VS_INT32 vs_string_vsnprintf(VS_CHAR *Buf, VS_INT32 Size, const VS_CHAR *Format, va_list Args)
    VS_PRINTF_FORMAT(3, 0);
VS_PLATFORM_API VS_CHAR *vs_string_stristr(const VS_CHAR *s, const VS_CHAR *t);
VS_PLATFORM_API VS_CHAR *vs_file_strchr(const VS_CHAR *s, VS_INT32 c);
VS_PLATFORM_API VS_CHAR *vs_file_strrchr(const VS_CHAR *s, VS_INT32 c);
VS_PLATFORM_API void vs_file_namechange(VS_CHAR *s, VS_CHAR From, VS_CHAR To);
VS_PLATFORM_API void vs_memset(void *p, VS_INT32 Fill, VS_INT64 n);
VS_PLATFORM_API void *vs_memcpy(void *d, const void *s, VS_INT64 n);
VS_PLATFORM_API VS_INT64 vs_atoi(const VS_CHAR *s);

// ---------------------------------------------------------------------------
// Files. Names may use backslashes; names of VS_MAX_PATH bytes or more are
// refused.
// ---------------------------------------------------------------------------
VS_PLATFORM_API VS_INT32 vs_file_stat(const VS_CHAR *Name, VS_STATBUF *Info);
VS_PLATFORM_API VS_BOOL vs_file_exist(const VS_CHAR *Name);
VS_PLATFORM_API VS_BOOL vs_file_isdir(const VS_CHAR *Name);
// Low 32 bits of the size; 0 when the file cannot be examined; -1 for NULL.
VS_PLATFORM_API VS_ULONG vs_file_size(const VS_CHAR *Name);
VS_PLATFORM_API VS_INT32 vs_file_delete(const VS_CHAR *Name);
VS_PLATFORM_API VS_INT32 vs_file_rename(const VS_CHAR *OldName, const VS_CHAR *NewName);
VS_PLATFORM_API VS_BOOL vs_file_chmod(const VS_CHAR *Name, VS_ULONG Mode);
VS_PLATFORM_API VS_INT32 vs_file_settime(const VS_CHAR *Name, VS_ULONG AccessTime, VS_ULONG ModifyTime);
VS_PLATFORM_API FILE *vs_file_fopenex(const VS_CHAR *Name, const VS_CHAR *Mode, VS_ULONG Permission);
VS_PLATFORM_API FILE *vs_file_fopen(const VS_CHAR *Name, const VS_CHAR *Mode);
// 0, or -1 when nothing complete could be copied.
VS_PLATFORM_API VS_INT32 vs_file_copy(const VS_CHAR *From, const VS_CHAR *To);
VS_PLATFORM_API void vs_file_log(const VS_CHAR *Name, const VS_CHAR *Format, ...)
    VS_PRINTF_FORMAT(2, 3);
VS_PLATFORM_API VS_INT32 vs_fs_errno_get();
VS_PLATFORM_API VS_INT32 _vs_file_stat(const VS_CHAR *Name, VS_STATBUF *Info);
VS_PLATFORM_API VS_BOOL _vs_file_exist(const VS_CHAR *Name);

// ---------------------------------------------------------------------------
// Directories and paths
// ---------------------------------------------------------------------------
VS_PLATFORM_API VS_BOOL vs_dir_createex(const VS_CHAR *Name, VS_ULONG Mode);
VS_PLATFORM_API VS_BOOL vs_dir_create(const VS_CHAR *Name);
VS_PLATFORM_API VS_BOOL vs_dir_delete(const VS_CHAR *Name);
VS_PLATFORM_API VS_BOOL vs_dir_getcwd(VS_CHAR *Buf, VS_INT32 Size);
VS_PLATFORM_API VS_BOOL vs_dir_chdir(const VS_CHAR *Name);
VS_PLATFORM_API VS_BOOL vs_dir_isfullname(const VS_CHAR *Name);
VS_PLATFORM_API void vs_dir_toroot(VS_CHAR *Path);
// Makes a relative path absolute in place; a result that would not fit in
// Size bytes leaves the path unchanged.
VS_PLATFORM_API void vs_dir_tofullname(VS_CHAR *Path, VS_INT32 Size);
VS_PLATFORM_API void vs_dir_tofullnameex(const VS_CHAR *Base, VS_CHAR *Path, VS_INT32 Size);
// A handle for vs_file_findnext / vs_file_findclose, or VS_INVALID_FINDHANDLE.
VS_PLATFORM_API VS_FINDHANDLE vs_file_findfirst(const VS_CHAR *Pattern, VS_FINDDATA *Record);
VS_PLATFORM_API VS_BOOL vs_file_findnext(VS_FINDHANDLE Handle, VS_FINDDATA *Record);
VS_PLATFORM_API VS_BOOL vs_file_findclose(VS_FINDHANDLE Handle);
VS_PLATFORM_API VS_BOOL vs_file_isfinddir(const VS_FINDDATA *Record);

// ---------------------------------------------------------------------------
// Shared libraries
// ---------------------------------------------------------------------------
VS_PLATFORM_API void *vs_dll_open(const VS_CHAR *Name);
VS_PLATFORM_API void *vs_dll_openex(const VS_CHAR *Name, VS_BOOL Global, VS_CHAR **ErrorText);
VS_PLATFORM_API void vs_dll_close(void *Handle);
VS_PLATFORM_API void *vs_dll_sym(void *Handle, const VS_CHAR *Name);
VS_PLATFORM_API void *vs_dll_registerproc(const VS_CHAR *Name, void *Proc);
VS_PLATFORM_API void vs_dll_settemppath(const VS_CHAR *Path);
VS_PLATFORM_API void *vs_dll_get(const VS_CHAR *Name);
VS_PLATFORM_API void *vs_dll_getex(const VS_CHAR *Name, VS_CHAR *Path, VS_INT32 Size);

// ---------------------------------------------------------------------------
// Environment, process, console
// ---------------------------------------------------------------------------
VS_PLATFORM_API VS_BOOL vs_get_env(const VS_CHAR *Name, VS_CHAR *Buf, VS_INT32 Size);
VS_PLATFORM_API VS_BOOL vs_set_env(const VS_CHAR *Name, const VS_CHAR *Value);
VS_PLATFORM_API VS_BOOL vs_get_module(VS_CHAR *Buf, VS_INT32 Size);
VS_PLATFORM_API VS_ULONG vs_process_current();
VS_PLATFORM_API VS_ULONG vs_process_currentid();
VS_PLATFORM_API VS_BOOL vs_process_exist(VS_ULONG Id);
VS_PLATFORM_API void vs_process_exit(VS_INT32 Status);
VS_PLATFORM_API VS_INT32 vs_kbhit();

// ---------------------------------------------------------------------------
// Sockets
// ---------------------------------------------------------------------------
VS_PLATFORM_API VS_BOOL vs_socket_init();
VS_PLATFORM_API void vs_socket_term();
VS_PLATFORM_API VS_INT32 vs_socket_close(VS_SOCKET s);
VS_PLATFORM_API VS_INT32 vs_socket_setnonblock(VS_SOCKET s);
VS_PLATFORM_API VS_INT32 vs_socket_setreuseaddr(VS_SOCKET s);
VS_PLATFORM_API VS_INT32 vs_socket_getpeername(VS_SOCKET s, struct sockaddr *Addr, VS_SOCKLEN *AddrLen);
VS_PLATFORM_API VS_INT32 vs_socket_getsockname(VS_SOCKET s, struct sockaddr *Addr, VS_SOCKLEN *AddrLen);
VS_PLATFORM_API VS_SOCKET vs_socket_accept(VS_SOCKET s, struct sockaddr *Addr, VS_SOCKLEN *AddrLen);
VS_PLATFORM_API ssize_t vs_socket_recvfrom(VS_SOCKET s, void *Buf, size_t Len, VS_INT32 Flags,
                                           struct sockaddr *Addr, VS_SOCKLEN *AddrLen);
VS_PLATFORM_API VS_INT32 vs_socket_geterrno();
VS_PLATFORM_API VS_BOOL vs_socket_isconnect(VS_SOCKET s);
// Each 32-bit half in network byte order in its own place (the halves are not
// exchanged).
VS_PLATFORM_API VS_UWORD vs_htonl64(VS_UWORD Value);
VS_PLATFORM_API VS_UWORD vs_ntohl64(VS_UWORD Value);

// ---------------------------------------------------------------------------
// UUIDs (time-based, version 1; on Windows the system's random version 4)
// ---------------------------------------------------------------------------
VS_PLATFORM_API void vs_uuid_create(VS_UUID *Uuid);
VS_PLATFORM_API void uuid_create_internal(VS_UUID *Uuid);

// ---------------------------------------------------------------------------
// Bit conversions. Double2UWord / UWord2Double carry single precision only;
// Double2Int64 / Int642Double are exact.
// ---------------------------------------------------------------------------
VS_PLATFORM_API VS_UWORD Float2UWord(VS_FLOAT Value);
VS_PLATFORM_API VS_FLOAT UWord2Float(VS_UWORD Value);
VS_PLATFORM_API VS_UWORD Double2UWord(VS_DOUBLE Value);
VS_PLATFORM_API VS_DOUBLE UWord2Double(VS_UWORD Value);
VS_PLATFORM_API VS_INT64 Float2Int64(VS_FLOAT Value);
VS_PLATFORM_API VS_FLOAT Int642Float(VS_INT64 Value);
VS_PLATFORM_API VS_INT64 Double2Int64(VS_DOUBLE Value);
VS_PLATFORM_API VS_DOUBLE Int642Double(VS_INT64 Value);

} // extern "C"

#endif
