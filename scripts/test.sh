#!/usr/bin/env bash
# Sets up (packages, configure, build) and runs every test: a normal build, then an
# AddressSanitizer + UndefinedBehaviorSanitizer build, then the threaded tests under ThreadSanitizer,
# then every fuzz target for 60 s (all at once; scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "${QO_SKIP_SANITIZERS:-0}" != "1" ]; then
  BUILD_DIR=build-asan BUILD_TYPE=Debug CMAKE_EXTRA="-DQO_SANITIZE=address,undefined -DQO_BUILD_BENCH=OFF" \
    bash scripts/setup.sh
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

  BUILD_DIR=build-tsan BUILD_TYPE=RelWithDebInfo CMAKE_EXTRA="-DQO_SANITIZE=thread -DQO_BUILD_BENCH=OFF" \
    bash scripts/setup.sh
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L tsan
fi

if [ "${QO_SKIP_FUZZ:-0}" != "1" ]; then
  bash scripts/fuzz.sh 60
fi
