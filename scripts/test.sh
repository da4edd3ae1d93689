#!/usr/bin/env bash
# Builds the library, its tests, examples, benchmarks and fuzz targets with
# AddressSanitizer and UndefinedBehaviorSanitizer, runs every test through ctest, runs the
# threaded tests again under ThreadSanitizer, then runs each fuzz target briefly.
#
# clang builds faster and brings libFuzzer, so it is installed and used; one build then
# serves the tests and the fuzz targets. Where clang cannot be used, g++ builds the same
# without the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

install_packages clang libclang-rt-dev

jobs="$(build_jobs)"

compiler=gcc
if command -v clang++ >/dev/null 2>&1 &&
   echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
     clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "/tmp/zelkor-fuzz-probe.$$" >/dev/null 2>&1; then
  compiler=clang
fi
rm -f "/tmp/zelkor-fuzz-probe.$$"
if [ "$compiler" = clang ]; then
  export CXX=clang++
  fuzz=ON
else
  echo "clang++ cannot build fuzz targets here: g++ builds the tests, fuzz targets skipped"
  fuzz=OFF
fi

build_dir="build/asan-$compiler"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DZELKOR_SANITIZE=ON -DZELKOR_FUZZ="$fuzz"
cmake --build "$build_dir" -j "$jobs"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
(cd "$build_dir" && ctest --output-on-failure -j "$jobs" --timeout 300)

# ThreadSanitizer pass over the tests labelled "threads": those that start threads or
# call into the event loop from other threads. Only their programs are built.
tsan_dir="build/tsan-$compiler"
cmake -S . -B "$tsan_dir" -DCMAKE_BUILD_TYPE=Debug -DZELKOR_TSAN=ON -DZELKOR_BUILD_BENCH=OFF
tsan_targets=()
for program in core transport storage driver discovery device services filetransfer; do
  if grep -q "^set(thread_suites_${program} " tests/CMakeLists.txt; then
    tsan_targets+=("${program}_tests")
  fi
done
cmake --build "$tsan_dir" -j "$jobs" --target "${tsan_targets[@]}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
(cd "$tsan_dir" && ctest --output-on-failure -j "$jobs" --timeout 300 -L threads)

[ "$fuzz" = ON ] || exit 0
fuzz_seconds="${ZELKOR_FUZZ_SECONDS:-20}"
# One target per build job at a time: each still fuzzes for its full time.
fuzz_one() {
  local target="$1" name corpus
  name="$(basename "$target")"
  corpus="$build_dir/corpus/$name"
  mkdir -p "$corpus"
  local seeds=()
  if [ -d "fuzz/corpus/$name" ]; then
    seeds=("fuzz/corpus/$name")
  fi
  if ! "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build_dir/$name-" \
        "$corpus" "${seeds[@]}" >"$build_dir/$name.log" 2>&1; then
    echo "Fuzz target $name failed:"
    tail -n 60 "$build_dir/$name.log"
    return 1
  fi
}
status=0
running=0
for target in "$build_dir"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  echo "Fuzzing $(basename "$target") for ${fuzz_seconds}s"
  fuzz_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit "$status"
