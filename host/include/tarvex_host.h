// Driver API of the stand-in host, for the tarvex runner and for tests.
// One host runs per process at a time; start() after stop() gives a fresh one.
#ifndef TARVEX_HOST_H
#define TARVEX_HOST_H

#include "tarvex_api.h"

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
};

struct HostStats {
    long long UnlockAtZero = 0;
    long long InvalidObjects = 0;
    long long LockViolations = 0;
    long long RecursiveLocks = 0;
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
// (when linked in). The calling thread becomes the main thread.
bool start(const HostOptions &options = HostOptions());
// Releases everything silently; calls no module code. Safe when not started.
void stop();
bool running();

ClassOfTarvex *entry();
ClassOfBasicXRQInterface *basic();
ClassOfXRQControlInterface *control();
ClassOfXRQInterface *service();

// Takes / gives up both locks (script lock first) for driver-side work.
void lockBoth();
void unlockBoth();

// Loads a module shared library and calls its quel_trelk_Init2 with both locks
// held. Returns the Init2 result; *error explains a failure to load.
bool loadModule(const char *path, std::string *error);
// Calls quel_trelk_Term2 (when a module was loaded and started) and unloads it.
void unloadModule();
// Same as loadModule for an entry function linked into the caller.
bool initModule(VS_MODULEINITPROC init, VS_MODULETERMPROC term);

// Runs a chunk or a file with both locks held (chunk name = file name); a
// collection point follows. FALSE with the script's message on error.
bool runChunk(const char *code, const char *chunkName, std::string *error);
bool runFile(const char *path, const std::vector<std::string> &args, std::string *error);

void collectGarbage();
HostStats stats();
std::vector<ErrorReport> errors(bool clear = true);
void setVersion(VS_UINT8 main, VS_UINT8 sub, VS_UINT16 build);
void setRefuseService(bool refuse);

} // namespace tvh

#endif
