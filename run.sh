#!/usr/bin/env bash
# Runs a Lua script inside the stand-in host with the module loaded:
#   ./run.sh examples/hello.lua [args...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/scripts/deps.sh"
ensure_deps
if [ ! -x "$here/build/host/tarvex" ] || [ "${TRELK_REBUILD:-1}" = "1" ]; then
  cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$here/build" -j"$(nproc 2>/dev/null || echo 2)" --target tarvex quel_trelk >/dev/null
fi
[ $# -ge 1 ] || { echo "usage: ./run.sh SCRIPT.lua [args...]" >&2; exit 64; }
exec "$here/build/host/tarvex" "$here/build/quel_trelk.so" "$@"
