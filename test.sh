#!/usr/bin/env bash
# Installs what is missing, builds, runs every test, then the suite again
# under AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded tests
# under ThreadSanitizer.
#   TRELK_SKIP_SANITIZE=1  skips both sanitizer passes
#   TRELK_SKIP_WINDOWS=1   skips the Windows DLL build and its wine tests
#   TRELK_JOBS=N           parallel build and test jobs (default: all cores)
set -euo pipefail
cd "$(dirname "$0")"
stage() { echo "== test.sh: $* ($(date +%H:%M:%S))"; }

stage "checking the Debian packages"
source scripts/deps.sh
ensure_deps

JOBS=${TRELK_JOBS:-$(nproc 2>/dev/null || echo 2)}

stage "configuring and building build/ (RelWithDebInfo)"
cmake -S . -B build "${TRELK_BUILD_OPTIONS[@]}" >/dev/null
cmake --build build -j"$JOBS"
stage "running the tests in build/"
(cd build && ctest --output-on-failure -j"$JOBS" --timeout 300)

if [ "${TRELK_SKIP_SANITIZE:-0}" != "1" ]; then
  stage "configuring and building build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer)"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRELK_WERROR=ON -DTRELK_SANITIZE=address,undefined -DTRELK_BUILD_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$JOBS"
  stage "running the tests in build-asan/"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --output-on-failure -j"$JOBS" --timeout 600)
  # The threaded tests: those labelled "threads", and the host's and the
  # platform layer's tests of threads, locks and conditions. The first report
  # stops the run.
  stage "configuring and building build-tsan/ (ThreadSanitizer)"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELK_WERROR=ON -DTRELK_SANITIZE=thread -DTRELK_BUILD_BENCH=OFF >/dev/null
  cmake --build build-tsan -j"$JOBS"
  stage "running the threaded tests in build-tsan/"
  TSAN_THREADED='^(VsThread|VsMutex|VsCond|VsAtomic|LockTest|HostRuleTest)\.|^ScriptEngineTest\.PerThreadStacks$'
  (cd build-tsan && export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1" &&
     ctest --output-on-failure -j"$JOBS" --timeout 600 -L threads &&
     ctest --output-on-failure -j"$JOBS" --timeout 600 -R "$TSAN_THREADED")
else
  stage "sanitizer passes skipped (TRELK_SKIP_SANITIZE=1)"
fi
# ---- Windows DLL: quel_trelk.dll cross-built with mingw-w64 (the module
# alone), its tests run through wine in a prefix under build-win/ ----
if [ "${TRELK_SKIP_WINDOWS:-0}" != "1" ]; then
  stage "checking the Windows cross-build packages"
  ensure_deps "$TRELK_WIN_DEBS"
  stage "configuring and building build-win/ (quel_trelk.dll, mingw-w64)"
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRELK_WERROR=ON -DTRELK_LINUX_SO="$PWD/build/quel_trelk.so" >/dev/null
  cmake --build build-win -j"$JOBS"
  stage "running the Windows tests in build-win/ (wine)"
  (cd build-win && ctest --output-on-failure -j"$JOBS" --timeout 600)
else
  stage "Windows stage skipped (TRELK_SKIP_WINDOWS=1)"
fi
stage "done"
echo "all tests passed"
