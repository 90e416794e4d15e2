#!/bin/bash
# Runs the end-to-end tests (every *_proc_tests binary) with each korvane
# process they start under valgrind's memcheck, and fails when any of them
# reports an invalid access, a use of uninitialised memory or a leak
# (definitely or indirectly lost). On demand; it takes a while.
#
#     scripts/memcheck.sh [gtest filter]
#
# Under valgrind the daemon runs many times slower, so a test that measures
# time may fail; such failures are listed but do not decide the outcome:
# the valgrind reports do.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh memcheck
cmake --preset sim >/dev/null
cmake --build --preset sim

logs=build/sim/memcheck
rm -rf "$logs"
mkdir -p "$logs"
export KORVANE_TEST_WRAPPER="valgrind --tool=memcheck --leak-check=full
    --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect
    --error-exitcode=99 --child-silent-after-fork=yes --log-file=$PWD/$logs/korvane.%p.log"

for binary in build/sim/tests/*_proc_tests; do
    name=$(basename "$binary")
    echo "== $name"
    if ! "$binary" --gtest_filter="${1:-*}" >"$logs/$name.out" 2>&1; then
        echo "   test failures under valgrind (timing; see $logs/$name.out):"
        grep '^\[  FAILED  \] .*(' "$logs/$name.out" | sed 's/^/   /' || true
    fi
done

runs=$(find "$logs" -name 'korvane.*.log' | wc -l)
# A process that a test killed outright (SIGKILL, e.g. one left running when
# its test ended) has no summary and is not counted as checked.
unfinished=$(grep -L 'ERROR SUMMARY' "$logs"/korvane.*.log || true)
bad=$(grep -l 'ERROR SUMMARY: [1-9]' "$logs"/korvane.*.log || true)
echo "== $runs korvane processes ran under memcheck," \
    "$(echo "$unfinished" | grep -c . || true) of them killed before their summary"
if [ -n "$bad" ]; then
    echo "Reports with errors or leaks:"
    for log in $bad; do
        echo "--- $log"
        grep -E 'Invalid|uninitialised|definitely lost|indirectly lost|ERROR SUMMARY' "$log" | head -20
    done
    exit 1
fi
echo "No invalid access and no leak in any of them."
