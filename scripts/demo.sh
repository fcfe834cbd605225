#!/usr/bin/env bash
# Sets up (packages, configure, build) and runs the bundled demo: our event sink, and qo_core on
# demo/config.json, whose event builder "lane1" posts one event per vehicle to the sink.
# The terminal shows one line per event as the sink receives it (plates, confidence, pictures, clip)
# and qo_core's Error lines; qo_core's whole log (Debug level) goes to demo-output/qo_core.log.
# Events land in demo-output/events/ (events.jsonl and the pictures), clips and their metadata in
# demo-output/clips/ (files older than 5 minutes are swept by the builder).
# Stop with Ctrl-C or with: curl http://127.0.0.1:8080/exit (both stop qo_core and the sink).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

OUT=demo-output
API=http://127.0.0.1:8080
mkdir -p "$OUT/clips"

# Started in the background, the sink and qo_core ignore the terminal's Ctrl-C: the trap below
# stops them in order, qo_core through its API.
build/tools/event_sink/event_sink --port 8090 --out "$OUT/events" --clips "$OUT/clips/" &
sink=$!
core=""

stop_core() {
    if [ -n "$core" ] && kill -0 "$core" 2>/dev/null; then
        echo "demo: stopping qo_core"
        curl -s -o /dev/null --max-time 5 "$API/exit" || kill -TERM "$core" 2>/dev/null || true
    fi
}

finish() {
    stop_core
    if [ -n "$core" ]; then
        wait "$core" 2>/dev/null || true
    fi
    kill -TERM "$sink" 2>/dev/null || true
    wait "$sink" 2>/dev/null || true
}
trap stop_core INT TERM HUP
trap finish EXIT

sleep 0.5
if ! kill -0 "$sink" 2>/dev/null; then
    echo "demo: the event sink did not start (is port 8090 taken?)" >&2
    exit 1
fi

build/src/qo_core demo/config.json >"$OUT/qo_core.log" 2>&1 &
core=$!
echo "demo: qo_core runs (API $API, log $OUT/qo_core.log); events appear below as the sink receives them"
tail -n +1 -F --pid="$core" "$OUT/qo_core.log" 2>/dev/null | grep --line-buffered -E '\[Error\]|Loading failed' &

status=0
while kill -0 "$core" 2>/dev/null; do
    wait "$core" && status=0 || status=$?
done
if [ "$status" -ne 0 ] && [ "$status" -lt 128 ]; then
    echo "demo: qo_core ended with status $status (see $OUT/qo_core.log)" >&2
    exit "$status"
fi
