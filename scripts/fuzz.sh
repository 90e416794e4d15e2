#!/bin/bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan and UBSan) and runs
# each for a bounded time, as many at once as the machine has cores:
#
#     scripts/fuzz.sh [seconds]     (default 60 seconds per target)
#
# Every target starts from a copy of its seed corpus fuzz/corpus/<target>, so
# the committed corpus is never written. Exits non-zero when any target
# reports a finding (crash, failed check, sanitizer report, leak, timeout or
# running out of memory); the input that caused it is kept under
# build/fuzz/findings/ for reproduction, and each run's log in build/fuzz/logs/:
#
#     build/fuzz/fuzz/<target>_fuzz build/fuzz/findings/<target>/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds]" >&2
    exit 2
fi
targets=(frame commands template)

scripts/setup.sh

echo "== Build: fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work="$(mktemp -d /tmp/korvane-fuzz-run.XXXXXX)"
trap 'rm -rf "$work"' EXIT
findings="$PWD/build/fuzz/findings"
logs="$PWD/build/fuzz/logs"
mkdir -p "$logs"

# One bounded run of a target; its log goes to build/fuzz/logs/<target>.log.
run_target() {
    local target="$1"
    mkdir -p "$work/$target" "$findings/$target"
    cp -R "fuzz/corpus/$target/." "$work/$target/"
    # A check or sanitizer report aborts; leaks, timeouts and exhausted memory
    # are reported by libFuzzer itself. Either way the exit code is non-zero.
    # The outer limit catches a target that hangs where libFuzzer's own
    # limits do not reach (before the first input).
    UBSAN_OPTIONS=print_stacktrace=1 \
        timeout --kill-after=30 $((seconds + 300)) "build/fuzz/fuzz/${target}_fuzz" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
        -dict="fuzz/$target.dict" -artifact_prefix="$findings/$target/" \
        -print_final_stats=1 "$work/$target" >"$logs/$target.log" 2>&1
}

echo "== Fuzz: ${targets[*]} for $seconds s each"
running=0
for target in "${targets[@]}"; do
    if [ "$running" -ge "$(nproc)" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    (
        status=0
        run_target "$target" || status=$?
        echo "$status" >"$work/$target.status"
    ) &
    running=$((running + 1))
done
wait

failed=()
for target in "${targets[@]}"; do
    if [ "$(cat "$work/$target.status" 2>/dev/null)" = 0 ]; then
        summary="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$logs/$target.log" | tail -n 1 || true)"
        echo "$target: passed: ${summary:-no summary}"
    else
        failed+=("$target")
        echo "$target: FAILED; the end of its log:"
        tail -n 60 "$logs/$target.log"
        echo "(inputs kept in $findings/$target)"
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "== Fuzzing found problems in: ${failed[*]}"
    exit 1
fi
echo "== Fuzzing: all ${#targets[@]} targets ran $seconds s without a finding"
