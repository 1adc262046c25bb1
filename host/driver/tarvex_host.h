// Driver API of the stand-in host, for the tarvex runner and for tests.
// One host runs per process at a time; start() after stop() gives a fresh one.
// The rules of locks, lifetime, collection points and threads are those of
// tarvex_api.h; what is particular to the driver stands beside each call.
#ifndef TARVEX_HOST_H
#define TARVEX_HOST_H

#include "tarvex_api.h"
#include "tarvex_host_ext.h"

#include <string>
#include <vector>

namespace tvh {

struct HostOptions {
    VS_UINT8 versionMain = 3;
    VS_UINT8 versionSub = 0x72;
    VS_UINT16 versionBuild = 0;
    bool refuseService = false;   // GetXRQInterface answers NULL
    bool deterministicIds = false; // new object IDs from a run-wide counter (golden tests only)
    bool verbose = false;          // ProcessError reports also go to stderr
    // GetRefEx answers 0 for every object: a host whose reference counts say
    // nothing, for tests that the module decides no free by them. The host's
    // own lifetime and its _RefCount built-in still count as usual.
    bool zeroRefCounts = false;
};

struct HostStats {
    long long UnlockAtZero = 0;   // UnLockGC below zero
    long long InvalidObjects = 0; // calls given a freed or unknown object pointer
    long long LockViolations = 0; // calls without a lock they need, bad releases, refused lock order
    long long RecursiveLocks = 0; // re-entries of a lock already held
    long long LiveObjects = 0;
    long long LivePackages = 0;
    long long LiveBinBufs = 0;
};

struct ErrorReport {
    int level = 0;
    std::string source;
    int line = 0;
    std::string text;
};

// Starts the host: object model, the host's _Object class, the script engine
// (when linked in). The calling thread becomes the main thread: the only one
// on which collection points free objects. No lock is taken.
bool start(const HostOptions &options = HostOptions());
// Waits for the script threads still running (_Thread; it releases the
// caller's locks meanwhile), then releases everything silently; calls no
// module code. Safe when not started. Call it on the main thread.
void stop();
bool running();

ClassOfTarvex *entry();
ClassOfBasicXRQInterface *basic();
ClassOfXRQControlInterface *control();
// The service interface with the host's own operations beyond the module's
// contract (tarvex_host_ext.h).
ClassOfXRQInterfaceHost *service();
// Every package this host makes is one of its own: the same package with the
// host's own operations.
inline ClassOfXRQParaPackageInterfaceHost *packageHost(VS_PARAPKGPTR Pkg) {
    return static_cast<ClassOfXRQParaPackageInterfaceHost *>(Pkg);
}

// Takes / gives up both locks for driver-side work: script lock first, host
// lock released first.
void lockBoth();
void unlockBoth();

// Loads a module shared library and calls its quel_trelk_Init2 with both locks
// held. Returns the Init2 result; *error explains a failure to load.
bool loadModule(const char *path, std::string *error);
// Calls quel_trelk_Term2 (when a module was loaded and started) and unloads it.
void unloadModule();
// Same as loadModule for an entry function linked into the caller.
bool initModule(VS_MODULEINITPROC init, VS_MODULETERMPROC term);

// Runs a chunk or a file with both locks held (taken when the caller lacks
// them; chunk name = file name); a collection point follows. FALSE with the
// script's message on error. The script sees the host's built-ins (names
// starting with "_"), among them, for threads: _Thread(fn, ...) runs fn on a
// new host thread that takes and releases the locks as a module worker does
// (script lock, host lock; detaches at the end) and returns its handle;
// _Join(handle) waits with both locks released and returns true and fn's
// results, or false and the error message (once per handle; not from the
// thread itself); _ThreadDone(handle) tells whether fn has ended; _Yield(ms)
// gives up both locks for a while; _Post(fn, ...) queues a message that a
// dispatch runs; _CollectGarbage() is a collection point; _Errors() reads and
// clears the error log.
bool runChunk(const char *code, const char *chunkName, std::string *error);
bool runFile(const char *path, const std::vector<std::string> &args, std::string *error);

// A full collection point: full script collection, then the frees, which
// happen only on the main thread holding both locks outside calls by name.
void collectGarbage();
HostStats stats();
std::vector<ErrorReport> errors(bool clear = true);
void setVersion(VS_UINT8 main, VS_UINT8 sub, VS_UINT16 build);
void setRefuseService(bool refuse);

} // namespace tvh

#endif
