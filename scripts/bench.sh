#!/bin/bash
# Builds the release configuration and runs the whole-system benchmark on the
# simulated reader: prints the table and writes the numbers as JSON
# (build/release/korvane-bench.json unless --json is given).
# Options are passed on: --quick for a short run, --chain K for the reader's
# chain length. Run it on a quiet machine; docs/performance.md says how.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
json=build/release/korvane-bench.json
for arg in "$@"; do
    if [ "$arg" = --json ]; then json=""; fi
done
exec build/release/bench/korvane_bench ${json:+--json "$json"} "$@"
