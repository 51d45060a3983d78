#!/usr/bin/env bash
# Builds the Debian package and checks it without installing it: its
# dependencies, its files, and that the unpacked tool runs on its own.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
deb=$("$top/scripts/package.sh" | tail -n 1)
deb="$top/$deb"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6core6 zlib1g libdeflate0; do
    grep -q "$lib" <<<"$depends" || { echo "package does not depend on $lib: $depends"; exit 1; }
done
dpkg-deb -x "$deb" "$scratch/root"
for f in usr/bin/KorvDecrypt usr/bin/korv usr/share/man/man1/korv.1 usr/include/KorvFileSystem/KFsCryptedFile.h \
         usr/include/KorvFileSystem/CFileSystem.h usr/share/man/man1/KorvDecrypt.1 \
         usr/share/bash-completion/completions/korv usr/share/zsh/vendor-completions/_korv \
         usr/share/fish/vendor_completions.d/korv.fish; do
    [ -e "$scratch/root/$f" ] || { echo "package lacks $f"; exit 1; }
done
for f in KorvFileSystemConfig.cmake KorvFileSystem.pc libKorvFileSystem.so.1; do
    [ -n "$(find "$scratch/root/usr/lib" -name "$f")" ] || { echo "package lacks $f"; exit 1; }
done
env -u LD_LIBRARY_PATH "$scratch/root/usr/bin/KorvDecrypt" "$top/samples/sample.kr" "$scratch/sample.txt" >/dev/null
head -n 1 "$scratch/sample.txt" | grep -q "KorvFileSystem sample"
env -u LD_LIBRARY_PATH "$scratch/root/usr/bin/korv" info --json "$top/samples/sample.kr" | grep -q '"crypted":true'
# The packaged completions are the ones the packaged tool writes.
for shell in bash:usr/share/bash-completion/completions/korv zsh:usr/share/zsh/vendor-completions/_korv \
             fish:usr/share/fish/vendor_completions.d/korv.fish; do
    env -u LD_LIBRARY_PATH "$scratch/root/usr/bin/korv" --completion "${shell%%:*}" | cmp - "$scratch/root/${shell#*:}"
done
echo "package check: OK ($(basename "$deb"))"
