#!/usr/bin/env bash
# Builds a release build and runs the example programs of the moment: the tour of message
# lines and the parameter tree, then one node started the way an application starts it,
# listening on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

install_packages

build_dir="build/release"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DZELKOR_BUILD_TESTS=OFF -DZELKOR_BUILD_BENCH=OFF
cmake --build "$build_dir" -j "$(build_jobs)" --target zelkor_demo zelkor_node
"$build_dir/examples/zelkor_demo" "$@"

# The node keeps its event log in its working folder, so it runs in a scratch folder.
# Events go to stdout, the log to stderr. The node serves 127.0.0.1:4197 with a certificate
# and key it generates itself, lists its end points when asked, and is then told to stop.
node="$PWD/$build_dir/examples/zelkor_node"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
echo
echo "One device node listening on loopback with generated TLS material:"
(sleep 1; echo '{"cmd":"getEndPoints"}'; sleep 1; echo '{"cmd":"stop"}') |
  (cd "$scratch" && "$node" --name demo-node --listen 127.0.0.1:4197)
