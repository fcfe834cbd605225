#!/usr/bin/env bash
# Sets up (packages, configure, build) and runs qo_core on the bundled demo configuration.
# The API answers on http://127.0.0.1:8080 (try /status); stop it with: curl http://127.0.0.1:8080/exit
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
exec build/src/qo_core demo/config.json
