#!/usr/bin/env bash
# Builds the benchmark programs and runs the whole-process benchmark, then the
# in-process Google Benchmark cases. Options go to bench.py (--quick, --rounds N,
# --scratch DIR, --keep); --no-micro skips the in-process cases; --korv runs
# only the korv tool's benchmark (bench/korv_bench.py), --no-korv skips it;
# --bounded also runs bench/bounded.py (files of 4 GB under a memory cgroup;
# see its --help); --small runs only the small-files benchmark
# (bench/smallfiles.py: trees of 20,000 files against gzip, pigz and zstd;
# with --quick 2,000 files; --strace and --batch go to it).
set -euo pipefail
cd "$(dirname "$0")/.."
micro=1
korv=1
base=1
bounded=0
small=0
args=()
for a in "$@"; do
    case "$a" in
    --no-micro) micro=0 ;;
    --korv) base=0 micro=0 ;;
    --no-korv) korv=0 ;;
    --bounded) bounded=1 ;;
    --small) small=1 ;;
    *) args+=("$a") ;;
    esac
done
scripts/install-deps.sh pigz gzip zstd strace coreutils python3
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORV_BUILD_BENCHMARKS=ON -DKORV_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 >/dev/null
if [ "$small" = 1 ]; then
    exec python3 bench/smallfiles.py --build build-bench "${args[@]}"
fi
if [ "$base" = 1 ]; then python3 bench/bench.py --build build-bench "${args[@]}"; fi
if [ "$korv" = 1 ]; then python3 bench/korv_bench.py --build build-bench "${args[@]}"; fi
if [ "$micro" = 1 ]; then
    min_time=0.5
    [[ " ${args[*]} " == *" --quick "* ]] && min_time=0.05
    build-bench/bench/korv_microbench --benchmark_min_time="$min_time"
fi
if [ "$bounded" = 1 ]; then
    python3 bench/bounded.py --build build-bench
fi
