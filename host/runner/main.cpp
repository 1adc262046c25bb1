// tarvex: runs a Lua script inside the stand-in host with a module loaded.
//
//   tarvex MODULE.so SCRIPT.lua [args...]
//
// Exit status: 0 the script ran, 1 script error, 2 the module could not be
// loaded or refused to start, 64 usage.
//
// TARVEX_ZERO_REFCOUNTS=1 in the environment makes the host's GetRefEx
// answer 0 for every object (HostOptions::zeroRefCounts): a test that the
// module runs the same on a host whose reference counts say nothing.
#include "host_internal.h"
#include "tarvex_host.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// The core finds the script engine through a weak reference, which alone does
// not pull the engine out of its static library: refer to it here.
static tvh::ScriptEngine *(*volatile g_linkEngine)() = &tvh::createScriptEngine;

int main(int argc, char **argv) {
    (void)g_linkEngine;
    if (argc < 3) {
        fprintf(stderr, "usage: %s MODULE.so SCRIPT.lua [args...]\n", argc > 0 ? argv[0] : "tarvex");
        return 64;
    }
    const char *modulePath = argv[1];
    const char *scriptPath = argv[2];
    std::vector<std::string> args(argv + 3, argv + argc);

    tvh::HostOptions options;
    options.verbose = true; // error reports go to stderr as [level] source:line: text
    const char *zeroRefs = getenv("TARVEX_ZERO_REFCOUNTS");
    options.zeroRefCounts = zeroRefs != nullptr && std::string(zeroRefs) == "1";
    if (!tvh::start(options)) {
        fprintf(stderr, "tarvex: the host did not start\n");
        return 2;
    }

    std::string error;
    if (!tvh::loadModule(modulePath, &error)) {
        fprintf(stderr, "tarvex: cannot start module %s: %s\n", modulePath,
                error.empty() ? "quel_trelk_Init2 returned false" : error.c_str());
        tvh::unloadModule();
        tvh::stop();
        return 2;
    }

    int status = 0;
    if (!tvh::runFile(scriptPath, args, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        status = 1;
    }
    fflush(stdout);

    tvh::unloadModule();
    tvh::stop();
    return status;
}
