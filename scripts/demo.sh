#!/usr/bin/env bash
# Builds a release build and runs the example programs of the moment: the tour of message
# lines and the parameter tree, then one node started the way an application starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

install_packages

build_dir="build/release"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DZELKOR_BUILD_TESTS=OFF -DZELKOR_BUILD_BENCH=OFF
cmake --build "$build_dir" -j "$(build_jobs)" --target zelkor_demo zelkor_node
"$build_dir/examples/zelkor_demo" "$@"

# The node keeps its event log in its working folder, so it runs in a scratch folder. Its
# stdin is a FIFO held open for reading and writing: commands could come, the end of input
# never does. Events go to stdout, the log to stderr.
node="$PWD/$build_dir/examples/zelkor_node"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkfifo "$scratch/commands"
echo
echo "One node, its events on stdout and its log on stderr:"
status=0
(cd "$scratch" && "$node" --name demo-node <>commands) || status=$?
case "$status" in
  0) ;;
  1) echo "The node stopped by itself (exit code 1): it has no discovery service, so its driver's Run returns at once." ;;
  *) exit "$status" ;;
esac
