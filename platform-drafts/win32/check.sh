#!/usr/bin/env bash
# Compiles the Win32 drafts with both MinGW-w64 cross compilers, warnings as
# errors. Where the dependency cache of scripts/windows.sh has GoogleTest,
# links their tests too, and runs them under Wine for x86_64 (this machine's
# Wine has no 32-bit side).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
out=${1:-/tmp/korv-win32-drafts}
mkdir -p "$out"
sources=(widepath_win32.cpp lasterror_win32.cpp replace_win32.cpp consolecancel_win32.cpp)
flags=(-std=c++17 -O2 -Wall -Wextra -Werror)
for target in x86_64 i686; do
    triple=$target-w64-mingw32
    for s in "${sources[@]}"; do
        "$triple-g++-posix" "${flags[@]}" -c "$here/$s" -o "$out/$triple-${s%.cpp}.o"
    done
    echo "$triple: ${#sources[@]} files compile cleanly"
    cache=/var/cache/korv-windows/$target
    prefix=$cache/prefix
    [ -f "$prefix/lib/libgtest.a" ] || continue
    exe=$out/win32_drafts_test-$target.exe
    "$triple-g++-posix" "${flags[@]}" -I"$prefix/include" "$here/win32_drafts_test.cpp" \
        "$out/$triple"-*.o -L"$prefix/lib" -lgtest_main -lgtest -o "$exe"
    echo "$triple: tests link"
    if [ "$target" = x86_64 ]; then
        gcc_dir=$(dirname "$("$triple-g++-posix" -print-file-name=libstdc++-6.dll)")
        "$repo/cmake/toolchains/wine-run" "$target" "$cache/wineprefix" "$gcc_dir:/usr/$triple/lib" "$exe"
    fi
done
