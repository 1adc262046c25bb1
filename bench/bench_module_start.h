// Starting and stopping the host with the module for one benchmark case:
// each case starts afresh so that no case inherits another's objects.
#ifndef TRELK_BENCH_MODULE_START_H
#define TRELK_BENCH_MODULE_START_H

#include "tarvex_host.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <initializer_list>
#include <string>

namespace benchstart {

// One chunk of setup: its text and the name its errors carry.
struct Chunk {
    std::string text;
    const char *name;
};

// Starts the host, loads the module (TRELK_BENCH_MODULE: another build of
// it, for a figure to compare) and runs the chunks in order; when any of it
// fails, the case is skipped with the reason and the host stopped again.
inline bool startModule(benchmark::State &state, std::initializer_list<Chunk> chunks) {
    tvh::start();
    std::string err;
    const char *path = std::getenv("TRELK_BENCH_MODULE");
    bool ok = tvh::loadModule(path != nullptr && *path != '\0' ? path : TRELK_MODULE_PATH, &err);
    for (const Chunk &c : chunks)
        ok = ok && tvh::runChunk(c.text.c_str(), c.name, &err);
    if (!ok) {
        state.SkipWithError(err.c_str());
        tvh::unloadModule();
        tvh::stop();
        return false;
    }
    tvh::errors(true);
    return true;
}

inline void stopModule() {
    tvh::unloadModule();
    tvh::stop();
}

} // namespace benchstart

#endif
