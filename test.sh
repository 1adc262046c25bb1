#!/usr/bin/env bash
# Installs what is missing, builds, runs every test, then the suite again
# under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
ensure_deps

JOBS=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELK_WERROR=ON >/dev/null
cmake --build build -j"$JOBS"
(cd build && ctest --output-on-failure -j"$JOBS" --timeout 300)

if [ "${TRELK_SKIP_SANITIZE:-0}" != "1" ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRELK_WERROR=ON -DTRELK_SANITIZE=address,undefined -DTRELK_BUILD_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$JOBS"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --output-on-failure -j"$JOBS" --timeout 600)
fi
echo "all tests passed"
