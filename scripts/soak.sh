#!/bin/bash
# Soak run, on demand: Korvane under tags, clients and host commands for a
# chosen time (default 600 s), reporting RSS, threads and descriptors as it
# goes; RSS growing after the warm-up fails the run. With the asan preset a
# leak found at the end fails it too; AddressSanitizer's own bookkeeping then
# grows the RSS by a few MiB an hour, so give it room with --max-growth.
#
#     scripts/soak.sh [SECONDS] [PRESET] [korvane_soak options...]
#     scripts/soak.sh 3600                        # the sim build, RSS must stay flat
#     scripts/soak.sh 3600 asan --max-growth 16384
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
preset=${2:-sim}
shift $(($# > 2 ? 2 : $#))

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" --target korvane korvane_soak ReaderLib rfid-version
exec "build/$preset/bench/korvane_soak" --seconds "$seconds" "$@"
