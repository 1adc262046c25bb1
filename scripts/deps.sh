# Sourced by run.sh and test.sh: installs the Debian packages the build needs
# when they are missing (apt-get update once, then the exact package names).
TRELK_DEBS="cmake g++ make pkg-config liblua5.4-dev libpugixml-dev rapidjson-dev libssl-dev libgtest-dev libbenchmark-dev"

ensure_deps() {
  local missing=()
  local p
  for p in $TRELK_DEBS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${missing[*]}" >&2
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
}
