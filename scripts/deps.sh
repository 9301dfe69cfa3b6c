#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail

# libclang-rt-dev follows the release's default clang, so the fuzzers build on any Debian release.
packages=(cmake ninja-build g++ pkg-config libgtest-dev qt6-base-dev libgl1-mesa-dev
          srecord binutils clang libclang-rt-dev "$@")

missing=()
for p in "${packages[@]}"; do
    # "hold ok installed" is installed too.
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q " ok installed$"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
