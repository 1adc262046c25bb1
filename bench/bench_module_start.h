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

// One iteration of a case whose host starts afresh: the setup chunks and the
// check after the timed chunk (none when empty) are not timed. False, with
// the case skipped and the reason given, when any of it failed.
inline bool timedRun(benchmark::State &state, std::initializer_list<Chunk> setup, const Chunk &timed,
                     const std::string &check) {
    state.PauseTiming();
    bool up = startModule(state, setup);
    state.ResumeTiming();
    if (!up)
        return false;
    std::string err;
    bool ok = tvh::runChunk(timed.text.c_str(), timed.name, &err);
    state.PauseTiming();
    if (ok && !check.empty())
        ok = tvh::runChunk(check.c_str(), "check", &err);
    tvh::errors(true);
    stopModule();
    state.ResumeTiming();
    if (!ok)
        state.SkipWithError(err.c_str());
    return ok;
}

// How many items each iteration handles (under COUNT) and the time per item
// (under PER).
inline void perItem(benchmark::State &state, const char *count, const char *per, long long n) {
    state.counters[count] = double(n);
    state.counters[per] = benchmark::Counter(double(n) * double(state.iterations()),
                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace benchstart

#endif
