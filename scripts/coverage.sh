#!/usr/bin/env bash
# Line and branch coverage of the library by the whole test suite, from clang's
# source-based coverage: per folder of src/, then the ten least covered files.
# Run as root on a fresh Debian 12 machine like the other scripts (it installs clang and
# the coverage tools when they are missing).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

# A bad ZELKOR_JOBS is named before anything is installed or built.
jobs="$(build_jobs)"

install_packages clang llvm

build_dir="build/coverage"
profiles="$PWD/$build_dir/profiles"
CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DZELKOR_COVERAGE=ON -DZELKOR_BUILD_BENCH=OFF
cmake --build "$build_dir" -j "$jobs"

rm -rf "$profiles"
mkdir -p "$profiles"
# One profile per process: every test case runs in a process of its own, and the node
# runner children write theirs too.
(cd "$build_dir" && LLVM_PROFILE_FILE="$profiles/%p-%m.profraw" \
   ctest -j "$jobs" --timeout 300 >"$PWD/ctest.log" 2>&1) ||
  echo "some tests failed: $build_dir/ctest.log (coverage still reported)"

llvm-profdata merge -sparse "$profiles"/*.profraw -o "$build_dir/merged.profdata"
library="$(find "$build_dir/src" -name 'libzelkor.so*' -type f | head -n 1)"
llvm-cov report "$library" -instr-profile="$build_dir/merged.profdata" \
  -ignore-filename-regex='(/usr/|/tests/|/examples/|/bench/|/fuzz/)' >"$build_dir/report.txt"

# Columns of a file row: name, regions (total, missed, %), functions (total, missed, %),
# lines (total, missed, %), branches (total, missed, %).
# File names are given below the common folder (src/): "core/Base64.cpp".
awk '
  NF == 13 && $1 ~ "/" && $2 ~ /^[0-9]+$/ {
    file = $1; sub(".*src/", "", file)
    folder = file; sub("/.*", "", folder)
    lines[folder] += $8; linesMissed[folder] += $9
    branches[folder] += $11; branchesMissed[folder] += $12
    allLines += $8; allLinesMissed += $9; allBranches += $11; allBranchesMissed += $12
    cover = $8 ? 100 * ($8 - $9) / $8 : 100
    printf "%6.1f %s %d\n", cover, file, $9 > "/dev/stderr"
  }
  END {
    printf "%-14s %8s %8s\n", "folder", "lines", "branches"
    for (f in lines) {
      printf "%-14s %7.1f%% %7.1f%%\n", f, lines[f] ? 100 * (lines[f] - linesMissed[f]) / lines[f] : 100,
             branches[f] ? 100 * (branches[f] - branchesMissed[f]) / branches[f] : 100
    }
    printf "%-14s %7.1f%% %7.1f%%\n", "all", 100 * (allLines - allLinesMissed) / allLines,
           allBranches ? 100 * (allBranches - allBranchesMissed) / allBranches : 100
  }' "$build_dir/report.txt" 2>"$build_dir/files.txt" | { read -r header; echo "$header"; sort; }

echo
echo "Least covered files (line coverage, lines missed):"
sort -n "$build_dir/files.txt" | head -n 10
