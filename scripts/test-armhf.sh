#!/bin/bash
# Cross-builds Korvane on the simulated reader for 32-bit ARM (armhf) and runs
# tests, unit and process tests alike, under qemu-arm (the armhf preset). The
# benchmarks are not built; see README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh armhf

echo "== Build and test: armhf"
cmake --preset armhf >/dev/null
cmake --build --preset armhf
ctest --preset armhf
