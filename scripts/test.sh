#!/usr/bin/env bash
# Sets up (packages, configure, build) and runs every test: a normal build, then an
# AddressSanitizer + UndefinedBehaviorSanitizer build, then the threaded tests under ThreadSanitizer,
# then every fuzz target for 60 s (all at once; scripts/fuzz.sh).
#
# Each sanitized tree builds while the tests of the one before run (no test depends on the machine's
# speed, and the cores idle while long tests end), so the builds add little to the time of the whole.
# Every tree carries line tables only (QO_LINE_TABLES_ONLY): backtraces keep files and lines, and the
# compiles take about a third less. `stage` lines in the log say where the time goes.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
sanitizers=$([ "${QO_SKIP_SANITIZERS:-0}" != "1" ] && echo 1 || echo 0)
fuzz=$([ "${QO_SKIP_FUZZ:-0}" != "1" ] && echo 1 || echo 0)

# build_in_background <log> <command...>: sets `built` to the pid of the build.
build_in_background() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 &
  built=$!
}
# finish_build <pid> <log> <name>: waits for the build and shows the end of its log when it failed.
finish_build() {
  stage "waiting for the $3 build"
  if ! wait "$1"; then
    echo "test.sh: the $3 build failed; its log ($2) ends:" >&2
    tail -60 "$2" >&2
    exit 1
  fi
}
# stage <text>: says what starts now and how long the run has taken, so that a log shows where the time goes.
started=$SECONDS
stage() {
  echo "test.sh: $1 (at $((SECONDS - started)) s)"
}
mkdir -p build-logs
# A failure or an interrupt does not leave a build running behind.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT

lines="-DQO_LINE_TABLES_ONLY=ON"
stage "packages and the plain build"
CMAKE_EXTRA="$lines" bash scripts/setup.sh
if [ "$sanitizers" = "1" ]; then
  # clang compiles an unoptimized sanitized tree in about half the time GCC takes; the plain tree
  # and the ThreadSanitizer tree stay with GCC, the compiler the service is built with.
  build_in_background build-logs/asan.log env CC=clang CXX=clang++ BUILD_DIR=build-asan BUILD_TYPE=Debug \
    CMAKE_EXTRA="-DQO_SANITIZE=address,undefined -DQO_BUILD_BENCH=OFF $lines" bash scripts/setup.sh
  asan_build=$built
fi
stage "the plain tests"
plain_failed=0
ctest --test-dir build --output-on-failure -j "$jobs" || plain_failed=1

if [ "$sanitizers" = "1" ]; then
  finish_build "$asan_build" build-logs/asan.log AddressSanitizer
fi
[ "$plain_failed" = "0" ] || exit 1

if [ "$sanitizers" = "1" ]; then
  build_in_background build-logs/tsan.log env BUILD_DIR=build-tsan BUILD_TYPE=RelWithDebInfo \
    CMAKE_EXTRA="-DQO_SANITIZE=thread -DQO_BUILD_BENCH=OFF $lines" bash scripts/setup.sh
  tsan_build=$built
  stage "the AddressSanitizer tests"
  asan_failed=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" || asan_failed=1
  finish_build "$tsan_build" build-logs/tsan.log ThreadSanitizer
  [ "$asan_failed" = "0" ] || exit 1

  if [ "$fuzz" = "1" ]; then
    build_in_background build-logs/fuzz.log env QO_FUZZ_BUILD_ONLY=1 CMAKE_EXTRA="$lines" bash scripts/fuzz.sh
    fuzz_build=$built
  fi
  stage "the ThreadSanitizer tests"
  tsan_failed=0
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L tsan || tsan_failed=1
  if [ "$fuzz" = "1" ]; then
    finish_build "$fuzz_build" build-logs/fuzz.log fuzz
  fi
  [ "$tsan_failed" = "0" ] || exit 1
fi

if [ "$fuzz" = "1" ]; then
  stage "fuzzing"
  bash scripts/fuzz.sh 60
fi
stage "done"
