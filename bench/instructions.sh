#!/usr/bin/env bash
# Instructions per operation of Google Benchmark cases, counted by callgrind
# (exact and independent of machine load, unlike the timings).
#
#   bench/instructions.sh BINARY CASE:MARKER [CASE:MARKER ...]
#
# CASE is a benchmark function name such as BM_LuafuncViaHost; only what
# runs inside it is counted. MARKER is a function called once per operation
# (plainSum, slotTrampoline, lua_pcall...): the instructions are divided by
# the number of its calls, so the benchmark's own trial runs cancel out.
# CASE may carry its argument (BM_RealmItem/100). CASE:MARKER:SPAN counts
# only what runs inside the function SPAN (often the marker itself), leaving
# out the case's setup.
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: $0 BINARY CASE:MARKER [CASE:MARKER ...]" >&2
    exit 2
fi
bin=$1
shift
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-30s %-22s %14s %10s %9s\n' case marker instructions operations "per op"
for arg in "$@"; do
    name=${arg%%:*}
    marker=${arg#*:}
    span=${name%%/*}
    if [ "$marker" != "${marker#*:}" ]; then
        span=${marker#*:}
        marker=${marker%%:*}
    fi
    if [ "$marker" = "$arg" ] || [ -z "$marker" ] || [ -z "$span" ]; then
        echo "$arg: give the marker function as CASE:MARKER" >&2
        exit 2
    fi
    valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" --collect-atstart=no \
        --toggle-collect="*${span}(*" "$bin" --benchmark_filter="^${name}(/.*)?\$" \
        --benchmark_min_time=0.05 >"$work/out.txt" 2>"$work/err.txt" || {
        cat "$work/err.txt" >&2
        exit 1
    }
    python3 "$here/callgrind_per_op.py" "$work/cg.out" "$name" "$marker"
done
