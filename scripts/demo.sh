#!/bin/bash
# Builds Korvane on the simulated reader and runs it in the foreground with
# verbose logging. The simulated reader makes up tags by itself. Ctrl-C ends
# it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset sim >/dev/null
cmake --build --preset sim --target korvane rfid-version ReaderLib

# The simulated-reader build keeps its configuration and keyboard device in
# this directory.
mkdir -p /tmp/korvane-sim
unset READERSIM_SOCKET READERSIM_HOLD READERSIM_DEVICE_TYPE

echo "== Korvane on the simulated reader (Ctrl-C to stop)"
exec build/sim/src/korvane -v -i
