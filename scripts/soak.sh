#!/bin/bash
# Soak run, on demand: Korvane under tags, clients and host commands for a
# chosen time (default 600 s), reporting RSS, threads and descriptors as it
# goes. Built with AddressSanitizer by default, so a leak at the end fails
# the run; give another preset (sim, release) to soak an optimised build.
#
#     scripts/soak.sh [SECONDS] [PRESET] [korvane_soak options...]
#     scripts/soak.sh 3600 asan --rate 20000
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
preset=${2:-asan}
shift $(($# > 2 ? 2 : $#))

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" --target korvane korvane_soak ReaderLib rfid-version
exec "build/$preset/bench/korvane_soak" --seconds "$seconds" "$@"
