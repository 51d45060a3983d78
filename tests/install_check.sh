#!/usr/bin/env bash
# Installs the project into a scratch prefix, runs the installed tool without
# LD_LIBRARY_PATH, and builds and runs an outside project against the package.
set -euo pipefail
build=${1:?build directory}
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
printf 'install check\n' >"$scratch/plain.txt"
env -u LD_LIBRARY_PATH "$scratch/prefix/bin/KorvDecrypt" "$scratch/plain.txt" "$scratch/copy.txt" >/dev/null
cmp "$scratch/plain.txt" "$scratch/copy.txt"
cmake -S "$top/tests/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
"$scratch/consumer/consumer" "$scratch/plain.txt" "$scratch/crypted.kr" "$scratch/back.txt"
cmp "$scratch/plain.txt" "$scratch/back.txt"
echo "install check: OK"
