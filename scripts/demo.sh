#!/bin/bash
# Builds Korvane on the simulated reader, installs the sample configuration
# and runs Korvane with verbose logging (to build/sim/demo.log); a TCP client
# then prints the datagrams. The simulated reader makes up tags by itself.
# Ctrl-C ends both.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset sim >/dev/null
cmake --build --preset sim --target korvane rfid-version ReaderLib

# The simulated-reader build keeps its configuration and keyboard device in
# this directory. Edit the configuration while the demo runs: Korvane applies
# it about two seconds after each save.
mkdir -p /tmp/korvane-sim
cp etc/korvane.config.xml /tmp/korvane-sim/korvane.config.xml
unset READERSIM_SOCKET READERSIM_HOLD READERSIM_DEVICE_TYPE READERSIM_CALL_LOG

build/sim/src/korvane -v -i >build/sim/demo.log 2>&1 &
korvane=$!
trap 'kill -TERM "$korvane" 2>/dev/null; wait "$korvane" 2>/dev/null' EXIT

port=14007
for _ in $(seq 50); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
    sleep 0.1
done
echo "== Datagrams from Korvane on TCP port $port (log: build/sim/demo.log; Ctrl-C to stop)"
exec 3<>"/dev/tcp/127.0.0.1/$port"
cat <&3
