# Sourced by run.sh and test.sh: installs the Debian packages the build needs
# when they are missing (apt-get update once, then the exact package names),
# and the one configuration both give build/.
TRELK_DEBS="cmake g++ make pkg-config liblua5.4-dev libpugixml-dev rapidjson-dev libssl-dev libgtest-dev libbenchmark-dev libtbb-dev"
# The Windows stage of test.sh: the mingw-w64 cross compiler, wine to run the
# tests (loader /usr/lib/wine/wine64) and the googletest sources it cross-builds.
TRELK_WIN_DEBS="g++-mingw-w64-x86-64-posix wine64 googletest"

# ensure_deps [package list]: the build's packages by default.
ensure_deps() {
  local debs="${1:-$TRELK_DEBS}"
  local missing=()
  local p
  # One query for all of them; a package dpkg has never heard of prints
  # nothing and makes the query fail, which must not end a caller running
  # under "set -e -o pipefail": that package is simply missing.
  local installed
  installed="$({ dpkg-query -W -f='${Package} ${Status}\n' $debs 2>/dev/null || true; } | awk '/install ok installed$/ {print $1}')"
  for p in $debs; do
    grep -qx "$p" <<<"$installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${missing[*]}" >&2
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
}

# ensure_deps, skipped when STAMP records that this package list was found
# installed and dpkg has installed or removed nothing since.
ensure_deps_stamped() {
  local stamp="$1"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$TRELK_DEBS" ] &&
     { [ ! -e /var/lib/dpkg/status ] || [ "$stamp" -nt /var/lib/dpkg/status ]; }; then
    return 0
  fi
  ensure_deps
  mkdir -p "$(dirname "$stamp")"
  printf '%s' "$TRELK_DEBS" >"$stamp"
}

# build/'s configuration, the same for run.sh and test.sh: a cache written by
# one with other options would make the other rebuild every file.
TRELK_BUILD_OPTIONS=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELK_WERROR=ON)
