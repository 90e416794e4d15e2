#!/bin/bash
# Builds Korvane and runs the whole test suite: the format check; the tests
# on the simulated reader, under AddressSanitizer+UBSan and under
# ThreadSanitizer; the 32-bit ARM cross build with its tests under
# qemu-arm; and every fuzz target for a bounded time (FUZZ_SECONDS, 60 by
# default) under ASan+UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

echo "== Format check"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror

for preset in sim asan tsan; do
    echo "== Build and test: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

scripts/test-armhf.sh
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
echo "== All presets, the armhf build and the fuzz targets passed"
