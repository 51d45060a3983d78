#!/usr/bin/env bash
# Builds the project and decrypts the sample shipped in samples/ with KorvDecrypt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
mkdir -p build/demo
build/tools/KorvDecrypt/KorvDecrypt samples/sample.kr build/demo/sample.txt
echo "--- build/demo/sample.txt ---"
cat build/demo/sample.txt
