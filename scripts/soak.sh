#!/usr/bin/env bash
# Builds a release build and runs the soak tool: a router, two devices and four
# controllers as node runner processes on a loopback of their own (a network namespace
# the tool makes; as root, or inside a user namespace), under checked gets and sets,
# subscriptions and file transfers, with faults injected on a schedule (kill -9, SIGSTOP,
# restarts), then a table of what it counted. Its arguments go to the tool:
#
#   scripts/soak.sh --minutes 30 --seed 7
#   scripts/soak.sh --mode fuzz --minutes 10   # mutated lines of every word instead; RSS judged
#   scripts/soak.sh --help
#
# The exit code is the tool's: 0 when nothing went unanswered or came later than 90 s,
# nothing was wrong, foreign or corrupt, and no node outside the run was listed (fuzz: each
# node answered and kept its RSS within 4 MB or 10 % after warm-up); 1 otherwise; 2 when it
# could not run. Not part of scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

# --help needs neither packages nor a build: the tool's usage is read from its source. The
# tool takes its options in pairs, so only a word in an option's place asks for it.
wants_help() {
  while [ "$#" -gt 0 ]; do
    case "$1" in
      --help | -h) return 0 ;;
    esac
    shift 2 || return 1
  done
  return 1
}
if wants_help "$@"; then
  sed -n '/R"(Usage: zelkor_soak/,/^)";/p' bench/soak/Options.cpp | sed -e '1s/.*R"(//' -e '$d'
  echo
  echo "scripts/soak.sh installs what is missing, builds build/release (ZELKOR_SOAK_BUILD_DIR names another"
  echo "folder) and passes its arguments to the tool, the node runner of that build as --node."
  exit 0
fi
# A bad ZELKOR_JOBS is named before anything is installed or built.
jobs="$(build_jobs)"

install_packages

# Another folder may be named (a release build of one's own, say); build/release by default.
build_dir="${ZELKOR_SOAK_BUILD_DIR:-build/release}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DZELKOR_BUILD_TESTS=OFF -DZELKOR_BUILD_BENCH=ON
cmake --build "$build_dir" -j "$jobs" --target zelkor_soak zelkor_node
exec "$build_dir/bench/soak/zelkor_soak" --node "$PWD/$build_dir/examples/zelkor_node" "$@"
