#!/usr/bin/env bash
# Builds a release build and runs the example program of the moment.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

install_packages

build_dir="build/release"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DZELKOR_BUILD_TESTS=OFF -DZELKOR_BUILD_BENCH=OFF
cmake --build "$build_dir" -j "$(build_jobs)" --target zelkor_demo
exec "$build_dir/examples/zelkor_demo" "$@"
