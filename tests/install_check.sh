#!/usr/bin/env bash
# Installs the project into a scratch prefix, runs the installed tool without
# LD_LIBRARY_PATH, and builds and runs outside projects against the package:
# the contract check in tests/consumer and both examples.
set -euo pipefail
build=${1:?build directory}
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
printf 'install check\n' >"$scratch/plain.txt"
env -u LD_LIBRARY_PATH "$scratch/prefix/bin/KorvDecrypt" "$scratch/plain.txt" "$scratch/copy.txt" >/dev/null
cmp "$scratch/plain.txt" "$scratch/copy.txt"
# korv finds the library by itself as well.
env -u LD_LIBRARY_PATH "$scratch/prefix/bin/korv" crypt -q -o "$scratch/korv.kr" "$scratch/plain.txt"
env -u LD_LIBRARY_PATH "$scratch/prefix/bin/korv" decrypt -q -o "$scratch/korv.txt" "$scratch/korv.kr"
cmp "$scratch/plain.txt" "$scratch/korv.txt"
[ -f "$scratch/prefix/share/man/man1/korv.1" ]
cmake -S "$top/tests/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
"$scratch/consumer/consumer" "$scratch/plain.txt" "$scratch/crypted.kr" "$scratch/back.txt"
cmp "$scratch/plain.txt" "$scratch/back.txt"

# The CMake example: add a note twice, read both back.
cmake -S "$top/examples/cmake" -B "$scratch/notes" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/notes" >/dev/null
"$scratch/notes/korv-notes" "$scratch/notes.kr" "first" >/dev/null
[ "$("$scratch/notes/korv-notes" "$scratch/notes.kr" "second")" = $'first\nsecond' ]
[ "$(head -c 2 "$scratch/notes.kr")" = "kr" ]

# The pkg-config example, built with make in a copy of its folder.
pcdir=$(dirname "$(find "$scratch/prefix" -name KorvFileSystem.pc)")
cp -r "$top/examples/pkgconfig" "$scratch/cat"
PKG_CONFIG_PATH="$pcdir" make -s -C "$scratch/cat" >/dev/null
"$scratch/cat/korv-cat" "$top/samples/sample.kr" "$scratch/numbered.kr" >"$scratch/numbered.txt"
[ "$(head -n 1 "$scratch/numbered.txt")" = "1: KorvFileSystem sample" ]
"$scratch/prefix/bin/KorvDecrypt" "$scratch/numbered.kr" >/dev/null
cmp "$scratch/numbered.kr" "$scratch/numbered.txt"
echo "install check: OK"
