#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, build dir "build-fuzz") and runs every target
# for a fixed time, all at once, each from its committed seed corpus (tests/fuzz/corpus/<target>);
# new inputs and crash reproducers go to build-fuzz/fuzz-runs/<target>/, never to the seeds.
# Fails when any target finds a crash, a sanitizer report, a hang (over 10 s for one input) or
# runs out of memory.
#
#   scripts/fuzz.sh [seconds per target, default 60] [processes per target, default 1]
#
# A reproducer is re-run with: build-fuzz/tests/fuzz/<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
processes=${2:-1}
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=(trigger_parse_fuzz config_load_fuzz syntax_file_fuzz plate_catalog_fuzz http_head_fuzz)

CC=clang CXX=clang++ cmake -S . -B "$build" -DQO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_EXTRA:-} >/dev/null
present=()
for t in "${targets[@]}"; do
  [ -f "tests/fuzz/${t}.cpp" ] && present+=("$t")
done
cmake --build "$build" -j "${FUZZ_BUILD_JOBS:-$(nproc)}" --target "${present[@]}"
# scripts/test.sh builds the targets ahead, while other tests run.
if [ "${QO_FUZZ_BUILD_ONLY:-0}" = "1" ]; then exit 0; fi

# Absolute paths: the configuration target works in a scratch directory of its own.
runs="$(pwd)/${FUZZ_RUNS_DIR:-$build/fuzz-runs}"
pids=()
for t in "${present[@]}"; do
  out="$runs/$t"
  mkdir -p "$out/corpus"
  seeds="$(pwd)/tests/fuzz/corpus/${t%_fuzz}"
  parallel=()
  if [ "$processes" -gt 1 ]; then parallel=(-fork="$processes"); fi
  # ASan's leak check and UBSan's stack traces apply in the fuzzing processes as in the tests.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/" "${parallel[@]}" "$out/corpus" "$seeds" \
    >"$out/log.txt" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!present[@]}"; do
  t=${present[$i]}
  if wait "${pids[$i]}"; then
    echo "fuzz: $t: $(grep -h -E '^stat::number_of_executed_units' "$runs/$t"/log.txt "$runs/$t"/fuzz-*.log 2>/dev/null | tail -1)," \
      "$(grep -h -E 'DONE|cov:' "$runs/$t/log.txt" | tail -1 | grep -o -E 'cov: [0-9]+ ft: [0-9]+ corp: [0-9/]+[a-zA-Z]*')"
  else
    failed=1
    echo "fuzz: $t FAILED; its log ends:" >&2
    tail -40 "$runs/$t/log.txt" >&2
    ls "$runs/$t"/crash-* "$runs/$t"/timeout-* "$runs/$t"/oom-* "$runs/$t"/leak-* 2>/dev/null >&2 || true
  fi
done
exit $failed
