#!/bin/bash
# Cross-builds Korvane on the simulated reader for 32-bit ARM (armhf) and runs
# its unit tests under qemu-arm (the armhf preset). The process tests are
# built but not run, and the benchmarks are not built; see README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh armhf

echo "== Build and test: armhf"
cmake --preset armhf >/dev/null
cmake --build --preset armhf
ctest --preset armhf
