#!/usr/bin/env bash
# The CI stage for Windows: both cross builds, their tests under Wine (the
# 32-bit ones under the i386 root's Wine) and the zip checks. For .ci/run:
#
#   echo "== Windows (x86_64 and i686, under Wine)"
#   bash scripts/ci-windows.sh
#
# What takes long is built once per machine and kept between runs: the
# dependencies in /var/cache/korv-windows/<target> (about 1.1 GB each) and
# the 32-bit Wine root in /var/cache/korv-wine32 (about 1.2 GB). From a fresh
# Debian 12 machine the stage took about 65 minutes on 2 busy cores; with
# those caches in place about 12.
#
# Both targets run even when the first fails; the stage fails if either did.
# A run that cannot finish in the time left (KORV_CI_DEADLINE, seconds since
# the epoch, if .ci/run sets it) builds what it can into the caches for the
# next run and says what it left out.
set -euo pipefail
cd "$(dirname "$0")/.."

failed=()
for target in x86_64 i686; do
    echo "== Windows $target"
    bash scripts/windows.sh "$target" || failed+=("$target")
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "== Windows FAILED: ${failed[*]}" >&2
    exit 1
fi
