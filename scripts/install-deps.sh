#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and benchmark the project,
# and any further packages named on the command line (bench/run.sh adds its tools).
set -euo pipefail
packages=(cmake g++ make pkg-config qt6-base-dev zlib1g-dev libdeflate-dev libacl1-dev libattr1-dev libisal-dev
          libgtest-dev googletest libbenchmark-dev parallel strace "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
