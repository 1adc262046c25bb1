#!/usr/bin/env bash
# Prints every measured figure of the guide (chapters 11 and 12) with the
# wall time and peak memory of its process. Run from the top of the tree
# after a build: tests/docs/figures/measure.sh [BUILD]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
top="$(cd "$here/../../.." && pwd)"
build="${1:-$top/build}"
run() {
  local t; t="$(mktemp)"
  local out; out="$(/usr/bin/time -f "wall %e s, peak %M KB" -o "$t" "$build/host/tarvex" "$build/quel_trelk.so" "$@" 2>&1)" || true
  # The pipeline's "saved ..." line says nothing measured: the timing goes
  # on the line before it.
  printf '%s\n' "$out" | grep -v '^saved ' | sed "\$s/\$/ | $(cat "$t")/"; rm -f "$t"
}
for n in 3000 30000; do for b in $n 50; do run "$here/batch_words.lua" $n $b; done; done
for n in 2000 4000 8000; do for l in 100 100000; do run "$here/active_length.lua" runs $n $l; done; done
for n in 2000 4000; do for l in 100 100000; do run "$here/active_length.lua" fan $n $l; done; done
run "$here/async_steps.lua" sync
for i in 1 2 3; do run "$here/async_steps.lua" async; done
run "$here/yield_clock.lua"
saved="$(mktemp)"
for c in "10000 25" "10000 100" "10000 400" "10000 1600" "100000 100" "100000 400" "100000 1600"; do
  for way in next same; do
    [ "$c $way" = "100000 1600 same" ] && continue
    run "$top/examples/sensor_pipeline.lua" save "$saved" $c $way
  done
done
# The next way without the clearing of rejected readings.
noclear="$(mktemp --suffix=.lua)"
sed -e 's/^      realm:ClearEnvData(Reading) .*$//' \
    -e 's/^  if r\[1\] < 0 or r\[1\] > 100 then$/  checks = (checks or 0) + 1\n&/' \
    -e 's/^  local seconds = os.clock() - started$/&\n  print("validations", checks)/' "$top/examples/sensor_pipeline.lua" >"$noclear"
run "$noclear" save "$saved" 100000 100 next
rm -f "$saved" "$noclear"
