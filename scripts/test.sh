#!/usr/bin/env bash
# Builds the library, its tests, examples, benchmarks and fuzz targets with
# AddressSanitizer and UndefinedBehaviorSanitizer, runs every test through ctest and the
# demo's programs (scripts/demo-run.sh), installs a plain build and builds and runs the
# minimal examples against the install, runs the threaded tests again under
# ThreadSanitizer, then runs each fuzz target briefly.
#
# clang builds faster and brings libFuzzer, so it is installed and used; one build then
# serves the tests and the fuzz targets. Where clang cannot be used, g++ builds the same
# without the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

# A bad ZELKOR_JOBS is named before anything is installed or built.
jobs="$(build_jobs)"

install_packages clang libclang-rt-dev

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

# The README's first command, the demo's conversation between two nodes, end to end on
# this build: a change that breaks it makes this run fail. As root in a namespace of its
# own. A sanitizer build is slower than the demo's release build: it is given more time.
ZELKOR_DEMO_PATIENCE="${ZELKOR_DEMO_PATIENCE:-3}" scripts/demo-run.sh "$build_dir"

# The library as an application meets it: a plain build installed into a temporary prefix,
# the minimal examples built outside the source tree against that install alone, once
# through the CMake package and once with pkg-config's flags, then run against each other.
# As root they find each other by discovery on port 4197 in a network namespace of their
# own; otherwise the controller connects by address to a free port on loopback.
consumer="$(mktemp -d)"
namespace=""
device_pid=""
cleanup_consumer() {
  if [ -n "$device_pid" ]; then
    kill "$device_pid" 2>/dev/null || true
    wait "$device_pid" 2>/dev/null || true
  fi
  if [ -n "$namespace" ]; then
    ip netns del "$namespace" 2>/dev/null || true
  fi
  rm -rf "$consumer"
}
trap cleanup_consumer EXIT

install_dir="build/install-$compiler"
cmake -S . -B "$install_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_LIBDIR=lib \
  -DZELKOR_BUILD_TESTS=OFF -DZELKOR_BUILD_BENCH=OFF -DZELKOR_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$install_dir" -j "$jobs"
prefix="$consumer/prefix"
cmake --install "$install_dir" --prefix "$prefix" >/dev/null
mkdir "$consumer/src" "$consumer/pkg-config"
cp examples/minimal/CMakeLists.txt examples/minimal/*.cpp "$consumer/src/"
cmake -S "$consumer/src" -B "$consumer/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$consumer/cmake" -j "$jobs"
for program in device controller; do
  # pkg-config states no standard: a consumer names one at least as new as C++17.
  # shellcheck disable=SC2046 # the flags are meant to split
  "${CXX:-c++}" -std=c++17 "$consumer/src/$program.cpp" -o "$consumer/pkg-config/zelkor_minimal_$program" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs zelkor)
done

# Root without the right to make namespaces (some containers) runs the examples by address.
if [ "$(id -u)" -eq 0 ] && ip netns add "zelkor-minimal-$$"; then
  namespace="zelkor-minimal-$$"
  ip netns exec "$namespace" ip link set lo up
fi
# A port neither TCP nor UDP uses on this host, for the run by address.
free_port() {
  local port
  for _ in $(seq 1 100); do
    port=$((20000 + RANDOM % 40000))
    if ! ss -Htuan | awk '{print $5}' | grep -q ":$port\$"; then
      echo "$port"
      return 0
    fi
  done
  return 1
}
# Runs the device and the controller from one folder of programs, in $1; the programs of
# the pkg-config build find the library through LD_LIBRARY_PATH, the CMake ones through
# the RPATH CMake gives them.
run_minimal() {
  local programs="$1" run
  run="$consumer/run-${programs##*/}"
  local in_namespace=() device_arguments=() controller_arguments=() environment=() port=4197
  if [ "${programs##*/}" = pkg-config ]; then
    environment=(LD_LIBRARY_PATH="$prefix/lib")
  fi
  if [ -n "$namespace" ]; then
    in_namespace=(ip netns exec "$namespace")
  else
    port="$(free_port)"
    device_arguments=("$port")
    controller_arguments=("127.0.0.1:$port")
  fi
  mkdir "$run"
  # In the foreground, timeout hands the device one stop signal, not a second to its group.
  (cd "$run" && exec env "${environment[@]}" "${in_namespace[@]}" timeout --foreground 60 \
     "$programs/zelkor_minimal_device" "${device_arguments[@]}") >"$run/device.out" 2>"$run/device.log" &
  device_pid=$!
  # The controller's first discovery request goes out as it starts: the device listens
  # before it.
  local tries=0
  until "${in_namespace[@]}" ss -Htln "sport = :$port" | grep -q .; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$device_pid" 2>/dev/null; then
      echo "The minimal device of the ${programs##*/} build does not listen on port $port:"
      tail -n 20 "$run"/device.*
      return 1
    fi
    sleep 0.1
  done
  local status=0
  (cd "$run" && exec env "${environment[@]}" "${in_namespace[@]}" timeout 60 \
     "$programs/zelkor_minimal_controller" "${controller_arguments[@]}") >"$run/controller.out" 2>"$run/controller.log" ||
    status=$?
  kill "$device_pid" 2>/dev/null || true
  local device_status=0
  wait "$device_pid" || device_status=$?
  device_pid=""
  if [ "$status" -ne 0 ] || [ "$device_status" -ne 0 ] ||
     ! grep -q '^read .*"path":"/settings/gain","value":50' "$run/controller.out" ||
     ! grep -q '^set .*"path":"/settings/gain","value":75' "$run/controller.out" ||
     ! grep -q '^publish .*"path":"/status/uptime"' "$run/controller.out"; then
    echo "The minimal examples of the ${programs##*/} build failed (controller $status, device $device_status):"
    tail -n 20 "$run"/*
    return 1
  fi
  echo "The minimal examples of the ${programs##*/} build ran against each other:"
  cat "$run/controller.out"
}
run_minimal "$consumer/cmake"
run_minimal "$consumer/pkg-config"
cleanup_consumer
trap - EXIT

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
