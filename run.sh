#!/usr/bin/env bash
# Runs a Lua script inside the stand-in host with the module loaded:
#   ./run.sh examples/hello.lua [args...]
# Checks the packages once (a stamp in build/ remembers it), builds the runner
# and the module on the first run and whenever a source file changed since the
# last build, then runs the script. Build output goes to stderr.
set -euo pipefail
usage() {
  echo "usage: ./run.sh SCRIPT.lua [args...]" >&2
  echo "  TRELK_REBUILD=0  never build (when built once)   TRELK_REBUILD=1  always check the build" >&2
}
case "${1:-}" in
  "") usage; exit 64 ;;
  -h|--help) usage; exit 0 ;;
esac
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/build"
stamp="$build/.run-built"
source "$here/scripts/deps.sh"
ensure_deps_stamped "$build/.deps-installed"

# A source newer than the last successful build (a directory counts: files
# added or removed change it) means the build must be checked.
sources_changed() {
  [ -f "$stamp" ] || return 0
  # -mindepth 1: the top folder's own time changes whenever test.sh makes a
  # build folder beside build/, which is no source change.
  [ -n "$(cd "$here" && find . -mindepth 1 \( -name 'build*' -o -name .git -o -path ./tests -o -path ./bench \
            -o -path ./docs -o -path ./examples \) -prune -o -newer "$stamp" -print -quit)" ]
}

need_build=0
if [ ! -x "$build/host/tarvex" ] || [ ! -f "$build/quel_trelk.so" ]; then
  need_build=1
elif [ "${TRELK_REBUILD:-}" = "1" ]; then
  need_build=1
elif [ "${TRELK_REBUILD:-}" != "0" ] && sources_changed; then
  need_build=1
fi
if [ "$need_build" = "1" ]; then
  [ -f "$build/quel_trelk.so" ] || echo "run.sh: first build of the runner and the module (about a minute on 8 idle cores, longer with fewer)" >&2
  : >"$stamp.new"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" "${TRELK_BUILD_OPTIONS[@]}" >&2
  fi
  cmake --build "$build" -j"${TRELK_JOBS:-$(nproc 2>/dev/null || echo 2)}" --target tarvex quel_trelk >&2
  mv "$stamp.new" "$stamp"
fi
exec "$build/host/tarvex" "$build/quel_trelk.so" "$@"
