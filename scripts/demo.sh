#!/usr/bin/env bash
# Builds a release build of the library, the node runner and the minimal device and
# controller (named at the end), and runs the example programs of the moment
# (scripts/demo-run.sh tells what they show): the tour of message lines and the parameter
# tree, then a device node and a controller node as applications run them, on loopback
# (run as root: in a network namespace of their own). Arguments go to the tour.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

# A run that cannot end well says so at once, not minutes into the build. The nodes serve
# fixed ports, TCP and UDP: off root, where they share the host's loopback, one held by
# another program is named now.
if [ "$(id -u)" -ne 0 ]; then
  if [ ! -r /proc/net/udp ]; then
    echo "cannot read /proc/net/udp: the UDP ports 4197 and 4198 are not checked before the build" >&2
  fi
  for port in 4197 4198; do
    if port_busy "$port"; then
      echo "port $port is busy (another program holds it, TCP on 127.0.0.1 or UDP on any address): stop that program and run the demo again" >&2
      exit 1
    fi
  done
fi
jobs="$(build_jobs)"

install_packages

# Another folder may be named (a release build of one's own, say); build/release by default.
build_dir="${ZELKOR_DEMO_BUILD_DIR:-build/release}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DZELKOR_BUILD_TESTS=OFF -DZELKOR_BUILD_BENCH=OFF
cmake --build "$build_dir" -j "$jobs" --target zelkor_demo zelkor_node zelkor_minimal_device \
  zelkor_minimal_controller
status=0
scripts/demo-run.sh "$build_dir" "$@" || status=$?
echo
echo "== The programs are in $build_dir/examples:"
echo "  $build_dir/examples/zelkor_node                       the node runner (examples/node/README.md)"
echo "  $build_dir/examples/minimal/zelkor_minimal_device      the minimal device: run it first,"
echo "  $build_dir/examples/minimal/zelkor_minimal_controller  then the minimal controller"
exit "$status"
