#!/usr/bin/env bash
# Sets up (packages, configure, build) and runs qo_core on the bundled demo configuration.
# The API answers on http://127.0.0.1:8080 (try /status); stop it with: curl http://127.0.0.1:8080/exit
# The demo logs to standard error at Debug level; this shows the service's own lines and every
# accepted plate reading (", READ: "), not the per-frame Debug lines.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
build/src/qo_core demo/config.json 2>&1 | grep --line-buffered -E '\[(Info|Warning|Error)\]|, READ: |Loading failed'
