# Shared by the scripts: installs what a fresh Debian 12 machine lacks, reads ZELKOR_JOBS, and
# tells whether a port of the demo is busy.

ZELKOR_PACKAGES=(
  g++ cmake make pkg-config
  libboost-dev libboost-system-dev libboost-filesystem-dev libboost-date-time-dev
  libssl-dev libjsoncpp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2
)

install_packages() {
  local missing=()
  local pkg
  for pkg in "${ZELKOR_PACKAGES[@]}" "$@"; do
    if ! dpkg -s "$pkg" >/dev/null 2>&1; then
      missing+=("$pkg")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# ZELKOR_JOBS, a whole number above 0, sets the parallel jobs of builds and test runs;
# else one per processor.
build_jobs() {
  if [ -n "${ZELKOR_JOBS:-}" ]; then
    if ! [[ "$ZELKOR_JOBS" =~ ^[1-9][0-9]*$ ]]; then
      echo "ZELKOR_JOBS must be a whole number above 0, not \"$ZELKOR_JOBS\"" >&2
      return 1
    fi
    echo "$ZELKOR_JOBS"
    return 0
  fi
  nproc 2>/dev/null || echo 2
}

# Whether another program holds PORT where a demo node serves it: TCP on 127.0.0.1, or UDP
# on any address (a node also binds 0.0.0.0:PORT), read from the kernel's own tables so
# that no tool is needed.
port_busy() {
  (exec 5<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
  local hex table
  hex="$(printf '%04X' "$1")"
  for table in /proc/net/udp /proc/net/udp6; do
    [ -r "$table" ] || continue
    awk -v port="$hex" 'NR > 1 { split($2, a, ":"); if (a[2] == port) found = 1 } END { exit !found }' \
      "$table" && return 0
  done
  return 1
}
