// Driver API: start and stop the host, load a module, run scripts, read the
// statistics and the error log.
#include "core_state.h"

#include <dlfcn.h>

namespace tvh {

// Defined by the script part when it is linked in.
ScriptEngine *createScriptEngine() __attribute__((weak));

std::atomic<ScriptEngine *> g_scriptEngine{nullptr};
void setScriptEngine(ScriptEngine *engine) { g_scriptEngine.store(engine, std::memory_order_release); }

static void resetCounters() {
    StatCounters &s = counters();
    s.UnlockAtZero = 0;
    s.InvalidObjects = 0;
    s.LockViolations = 0;
    s.RecursiveLocks = 0;
    s.LivePackages = 0;
    s.LiveBinBufs = 0;
}

bool start(const HostOptions &options) {
    Core &c = core();
    if (c.running) return false;
    c = Core();
    c.opts = options;
    c.mainThread = std::this_thread::get_id(); // automatic frees happen on this thread only
    resetCounters();
    takeErrors(true);
    c.running = true;
    resetInterfaceRefs(true);
    if (&createScriptEngine != nullptr) {
        if (ScriptEngine *e = createScriptEngine()) {
            c.ownedEngine = e;
            setScriptEngine(e);
        }
    }
    std::string why;
    auto layout = buildLayout(nullptr, {}, &why);
    c.objectClass = createClassObject("_Object", kObjectClassID, nullptr, nullptr, std::move(layout), {});
    if (!c.objectClass) {
        stop();
        return false;
    }
    return true;
}

bool running() { return core().running; }

void unloadModule() {
    Core &c = core();
    if (c.moduleStarted && c.moduleTerm) {
        bool s = false, h = false;
        lockBothIfNeeded(&s, &h);
        c.moduleTerm();
        unlockTaken(s, h);
    }
    if (c.moduleStarted) c.noModuleCalls = true; // no module code after its Term2
    c.moduleStarted = false;
    c.moduleTerm = nullptr;
    // The library stays mapped until stop(): objects and script closures may
    // still point into it.
}

void stop() {
    Core &c = core();
    if (!c.running) return;
    unloadModule();
    c.noModuleCalls = true;
    if (ScriptEngine *e = scriptEngine()) e->shutdown();
    releaseAllSilently();
    releaseAllSXml();
    if (c.ownedEngine) {
        if (scriptEngine() == c.ownedEngine) setScriptEngine(nullptr);
        delete c.ownedEngine;
        c.ownedEngine = nullptr;
    }
    if (c.moduleHandle) {
        dlclose(c.moduleHandle);
        c.moduleHandle = nullptr;
    }
    resetInterfaceRefs(false);
    c.exceptHandler = nullptr;
    c.running = false;
    resetLocksForCaller();
}

void lockBoth() {
    captureScriptLock();
    takeHostLock();
}
void unlockBoth() {
    releaseHostLock();
    releaseScriptLock();
}

bool initModule(VS_MODULEINITPROC init, VS_MODULETERMPROC term) {
    Core &c = core();
    if (!c.running || !init || c.moduleStarted) return false;
    c.noModuleCalls = false;
    bool s = false, h = false;
    lockBothIfNeeded(&s, &h);
    bool ok = init(entry(), nullptr) != VS_FALSE;
    unlockTaken(s, h);
    if (ok) {
        c.moduleStarted = true;
        c.moduleTerm = term;
    }
    return ok;
}

bool loadModule(const char *path, std::string *error) {
    Core &c = core();
    auto setErr = [&](const std::string &t) {
        if (error) *error = t;
        return false;
    };
    if (!c.running) return setErr("the host is not started");
    if (c.moduleHandle || c.moduleStarted) return setErr("a module is already loaded");
    if (!path) return setErr("no module path");
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char *e = dlerror();
        return setErr(e ? e : "cannot load the module");
    }
    auto init = reinterpret_cast<VS_MODULEINITPROC>(dlsym(h, "quel_trelk_Init2"));
    auto term = reinterpret_cast<VS_MODULETERMPROC>(dlsym(h, "quel_trelk_Term2"));
    if (!init || !term) {
        dlclose(h);
        return setErr(std::string(path) + ": quel_trelk_Init2 / quel_trelk_Term2 not exported");
    }
    c.moduleHandle = h;
    if (!initModule(init, term)) return setErr("quel_trelk_Init2 returned false");
    return true;
}

bool runChunk(const char *code, const char *chunkName, std::string *error) {
    ScriptEngine *e = scriptEngine();
    if (!e || !code) {
        if (error) *error = e ? "no code" : "no script engine";
        return false;
    }
    bool s = false, h = false;
    lockBothIfNeeded(&s, &h);
    bool ok = e->runChunk(code, std::strlen(code), chunkName ? chunkName : "?", error);
    collectGarbage();
    unlockTaken(s, h);
    return ok;
}

bool runFile(const char *path, const std::vector<std::string> &args, std::string *error) {
    ScriptEngine *e = scriptEngine();
    if (!e || !path) {
        if (error) *error = e ? "no file" : "no script engine";
        return false;
    }
    bool s = false, h = false;
    lockBothIfNeeded(&s, &h);
    bool ok = e->runFile(path, args, error);
    collectGarbage();
    unlockTaken(s, h);
    return ok;
}

HostStats stats() {
    StatCounters &s = counters();
    HostStats out;
    out.UnlockAtZero = s.UnlockAtZero;
    out.InvalidObjects = s.InvalidObjects;
    out.LockViolations = s.LockViolations;
    out.RecursiveLocks = s.RecursiveLocks;
    out.LiveObjects = (long long)core().bySeq.size();
    out.LivePackages = s.LivePackages;
    out.LiveBinBufs = s.LiveBinBufs;
    return out;
}

std::vector<ErrorReport> errors(bool clear) { return takeErrors(clear); }

void setVersion(VS_UINT8 main, VS_UINT8 sub, VS_UINT16 build) {
    HostOptions &o = core().opts;
    o.versionMain = main;
    o.versionSub = sub;
    o.versionBuild = build;
}

void setRefuseService(bool refuse) { core().opts.refuseService = refuse; }

} // namespace tvh
