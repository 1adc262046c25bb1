// The host with the module loaded, for the benchmarks that call the module
// from scripts: made on first use, ended by main() while the thread still
// holds the locks (thread-local guards release them when the main thread
// ends).
#ifndef TRELK_BENCH_MODULE_HOST_H
#define TRELK_BENCH_MODULE_HOST_H

#include "host_internal.h"
#include "tarvex_host.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace benchthing {

struct ModuleHost {
    bool ok = false;
    std::string err;
    // Starts the host and loads the module (TRELK_BENCH_MODULE: another
    // build of it, for a figure to compare); both locks are held after.
    bool start() {
        tvh::start();
        const char *path = std::getenv("TRELK_BENCH_MODULE");
        if (!tvh::loadModule(path && *path ? path : TRELK_MODULE_PATH, &err)) return false;
        tvh::lockBoth();
        return true;
    }
    bool run(const std::string &code) {
        std::string e;
        if (!tvh::runChunk(code.c_str(), "bench", &e)) {
            err = e;
            return false;
        }
        return true;
    }
    ~ModuleHost() {
        tvh::unlockBoth();
        tvh::unloadModule();
        tvh::stop();
    }
};

// Bytes of heap in use, and the process's resident set.
inline size_t heapInUse() {
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}
inline size_t rssBytes() {
    long pages = 0, rss = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
        fclose(f);
    }
    return size_t(rss) * 4096;
}

template <class H> H *&hostSlot() {
    static H *h = nullptr;
    return h;
}
template <class H> H &theHost() {
    if (!hostSlot<H>()) hostSlot<H>() = new H();
    return *hostSlot<H>();
}
// Runs the benchmarks the command line names, then ends the host.
template <class H> int runBenchmarks(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    delete hostSlot<H>();
    hostSlot<H>() = nullptr;
    benchmark::Shutdown();
    return 0;
}

} // namespace benchthing

#endif
