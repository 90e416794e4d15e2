#!/bin/bash
# Builds Korvane and runs the whole test suite: the format check, then the
# tests on the simulated reader, under AddressSanitizer+UBSan and under
# ThreadSanitizer.
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
echo "== All presets passed"
