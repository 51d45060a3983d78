#!/usr/bin/env bash
# The CI stage for Windows: both cross builds, their tests under Wine (the
# 32-bit ones under the i386 root's Wine) and the zip checks. In .ci/run:
#
#   export KORV_CI_DEADLINE=$(( $(date +%s) + 85 * 60 ))   # first line: CI's limit, less a margin
#   ...
#   echo "== Windows (x86_64 and i686, under Wine)"
#   bash scripts/ci-windows.sh
#
# What takes long is built once per machine and kept between runs: the
# dependencies in /var/cache/korv-windows/<target> (about 1.1 GB each, Qt
# Core most of it) and the 32-bit Wine root in /var/cache/korv-wine32 (about
# 1.2 GB). A target whose dependencies are built takes 3 to 6 minutes; from a
# fresh machine x86_64 took 37 and i686 then 21 (2 cores under load;
# docs/platforms.md).
#
# Both targets run even when the first fails; the stage fails if either did.
# With KORV_CI_DEADLINE (seconds since the epoch) a target that could not
# finish before it is left out, saying so: on a fresh machine the second
# target then runs in the next CI run, when the first one's cache is warm.
set -euo pipefail
cd "$(dirname "$0")/.."

# The caches' parent folder (KORV_WINDOWS_CACHE_ROOT) is windows.sh's default.
cache_root=${KORV_WINDOWS_CACHE_ROOT:-/var/cache/korv-windows}

# Minutes a target needs at most: with its dependencies built, or without
# (x86_64 installs the packages of both; i686 sets up its Wine root).
need_minutes() {
    if ls "$cache_root/$1"/stamps/qtbase-* >/dev/null 2>&1; then echo 15
    elif [ "$1" = x86_64 ]; then echo 45
    else echo 30
    fi
}

failed=() skipped=()
for target in x86_64 i686; do
    need=$(need_minutes "$target")
    if [ -n "${KORV_CI_DEADLINE:-}" ]; then
        left=$(( (KORV_CI_DEADLINE - $(date +%s)) / 60 ))
        if [ "$need" -gt "$left" ]; then
            echo "== Windows $target NOT RUN: it may need $need minutes, $left are left before the deadline"
            skipped+=("$target")
            continue
        fi
    fi
    echo "== Windows $target"
    KORV_WINDOWS_CACHE=$cache_root/$target bash scripts/windows.sh "$target" || failed+=("$target")
done
[ ${#skipped[@]} -eq 0 ] || echo "== Windows targets left out for time: ${skipped[*]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "== Windows FAILED: ${failed[*]}" >&2
    exit 1
fi
