#!/usr/bin/env bash
# Runs every fuzz target on its seed corpus for a bounded time and reports
# the executions. Usage: fuzz/run.sh <build dir> [seconds per target] [libFuzzer flags...]
# The build dir is configured with -DKORV_BUILD_FUZZERS=ON and clang. The
# seed corpus in fuzz/corpus stays as it is; what the run adds, and any
# input that breaks a property, is kept under <build dir>/fuzz-run/.
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
seconds=${2:-20}
shift $(($# < 2 ? $# : 2))
top=$(cd "$(dirname "$0")/.." && pwd)
out="$build/fuzz-run"
mkdir -p "$out"
# The decrypt target works on real files: a tmpfs keeps it fast.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

total=0
status=0
for corpus in "$top"/fuzz/corpus/*/; do
    target=$(basename "$corpus")
    mkdir -p "$out/$target/corpus" "$out/$target/findings"
    log="$out/$target/log"
    if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
            -print_final_stats=1 -artifact_prefix="$out/$target/findings/" "$@" \
            "$out/$target/corpus" "$corpus" >"$log" 2>&1; then
        status=1
        echo "fuzz_$target: FINDING, see $out/$target/findings/ and $log"
        tail -n 30 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    total=$((total + ${runs:-0}))
    echo "fuzz_$target: ${runs:-0} executions in ${seconds}s"
done
echo "fuzz: $total executions in all"
exit $status
