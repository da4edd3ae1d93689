#!/usr/bin/env bash
# Builds the library and its tests with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test through ctest, runs the threaded tests again under ThreadSanitizer, then
# runs each fuzz target briefly when clang is present.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

install_packages

jobs="$(build_jobs)"
build_dir="build/asan"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DZELKOR_SANITIZE=ON
cmake --build "$build_dir" -j "$jobs"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
(cd "$build_dir" && ctest --output-on-failure -j "$jobs" --timeout 300)

# ThreadSanitizer pass over the tests labelled "threads": those that start threads or
# call into the event loop from other threads. Only their programs are built.
tsan_dir="build/tsan"
cmake -S . -B "$tsan_dir" -DCMAKE_BUILD_TYPE=Debug -DZELKOR_TSAN=ON \
  -DZELKOR_BUILD_BENCH=OFF -DZELKOR_BUILD_EXAMPLES=OFF
tsan_targets=()
for program in core transport driver discovery services device filetransfer; do
  if [ -n "$(ls tests/$program/*.cpp 2>/dev/null)" ]; then
    tsan_targets+=("${program}_tests")
  fi
done
cmake --build "$tsan_dir" -j "$jobs" --target "${tsan_targets[@]}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
(cd "$tsan_dir" && ctest --output-on-failure -j "$jobs" --timeout 300 -L threads)

fuzz_seconds="${ZELKOR_FUZZ_SECONDS:-30}"
if ! command -v clang++ >/dev/null 2>&1; then
  echo "clang++ not found: fuzz targets skipped"
  exit 0
fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
     | clang++ -x c++ -fsanitize=fuzzer - -o /tmp/zelkor-fuzz-probe.$$ >/dev/null 2>&1; then
  echo "clang++ cannot link libFuzzer here: fuzz targets skipped"
  exit 0
fi
rm -f /tmp/zelkor-fuzz-probe.$$

fuzz_dir="build/fuzz"
CXX=clang++ cmake -S . -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELKOR_FUZZ=ON
cmake --build "$fuzz_dir" -j "$jobs"

status=0
for target in "$fuzz_dir"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name="$(basename "$target")"
  corpus="$fuzz_dir/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  if [ -d "fuzz/corpus/$name" ]; then
    seeds=("fuzz/corpus/$name")
  fi
  echo "Fuzzing $name for ${fuzz_seconds}s"
  if ! "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$fuzz_dir/$name-" \
        "$corpus" "${seeds[@]}" >"$fuzz_dir/$name.log" 2>&1; then
    echo "Fuzz target $name failed:"
    tail -n 60 "$fuzz_dir/$name.log"
    status=1
  fi
done
exit "$status"
