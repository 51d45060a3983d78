#!/usr/bin/env bash
# Compiles the Win32 drafts with both MinGW-w64 cross compilers, warnings as
# errors, and where the x86_64 dependency cache has GoogleTest, runs their
# tests under Wine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
out=${1:-/tmp/korv-win32-drafts}
mkdir -p "$out"
sources=(widepath_win32.cpp lasterror_win32.cpp replace_win32.cpp consolecancel_win32.cpp)
for triple in x86_64-w64-mingw32 i686-w64-mingw32; do
    for s in "${sources[@]}"; do
        "$triple-g++-posix" -std=c++17 -O2 -Wall -Wextra -Werror -c "$here/$s" -o "$out/$triple-${s%.cpp}.o"
    done
    echo "$triple: ${#sources[@]} files compile cleanly"
done
prefix=${KORV_WINDOWS_CACHE:-/var/cache/korv-windows/x86_64}/prefix
if [ -f "$prefix/lib/libgtest.a" ]; then
    x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -I"$prefix/include" \
        "$here/win32_drafts_test.cpp" "$out"/x86_64-w64-mingw32-*.o \
        -L"$prefix/lib" -lgtest_main -lgtest -o "$out/win32_drafts_test.exe"
    gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
    "$repo/cmake/toolchains/wine-run" x86_64 "$(dirname "$prefix")/wineprefix" \
        "$gcc_dir:/usr/x86_64-w64-mingw32/lib" "$out/win32_drafts_test.exe"
fi
