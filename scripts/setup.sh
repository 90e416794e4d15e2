#!/bin/bash
# Installs the Debian 12 packages Korvane needs to build and test, when they
# are missing. Installing needs root; as another user a missing package is an
# error with the command that would install it.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libxml2-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang-format
    util-linux
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run as root, or: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
