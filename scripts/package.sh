#!/usr/bin/env bash
# Builds the Debian package build-deb/korvfilesystem_<version>_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
if ! command -v dpkg-shlibdeps >/dev/null || ! command -v file >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq dpkg-dev file >/dev/null
fi
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKORV_BUILD_TESTS=OFF >/dev/null
cmake --build build-deb -j"$(nproc)" >/dev/null
(cd build-deb && cpack -G DEB >/dev/null)
ls build-deb/*.deb
