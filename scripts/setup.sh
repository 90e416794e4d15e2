#!/bin/bash
# Installs the Debian 12 packages Korvane needs to build and test, when they
# are missing. Installing needs root; as another user a missing package is an
# error with the command that would install it.
#
#     scripts/setup.sh          the native build (sim, asan, tsan presets)
#     scripts/setup.sh armhf    also the 32-bit ARM cross build and qemu-user
#                               to run its tests (armhf preset)
#     scripts/setup.sh memcheck also valgrind (scripts/memcheck.sh)
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libxml2-dev
    python3 xkb-data x11proto-dev
    libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
    clang-format
    clang libclang-rt-14-dev
    man-db groff-base
    util-linux
    # The keyboard tests read layouts with libxkbcommon, dead keys through
    # the Compose table of libx11-data.
    libxkbcommon-dev libx11-data
)

foreign_architectures=()
for target in "$@"; do
    case "$target" in
    armhf)
        # The cross compiler brings its own C library; libxml2, GoogleTest and
        # libxkbcommon come as armhf multiarch packages beside the native ones.
        foreign_architectures+=(armhf)
        packages+=(
            crossbuild-essential-armhf libc6-dev-armhf-cross
            libxml2-dev:armhf
            libgtest-dev:armhf
            libxkbcommon-dev:armhf
            qemu-user
        )
        ;;
    memcheck)
        packages+=(valgrind)
        ;;
    *)
        echo "usage: $0 [armhf] [memcheck]" >&2
        exit 2
        ;;
    esac
done

missing_architectures=()
for architecture in "${foreign_architectures[@]}"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
        missing_architectures+=("$architecture")
    fi
done

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_architectures[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    for architecture in "${missing_architectures[@]}"; do
        echo "Missing dpkg architecture: $architecture" >&2
        echo "Run as root, or: sudo dpkg --add-architecture $architecture" >&2
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Run as root, or: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    fi
    exit 1
fi

for architecture in "${missing_architectures[@]}"; do
    echo "Adding dpkg architecture: $architecture"
    dpkg --add-architecture "$architecture"
done

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# --no-remove: a foreign-architecture package must never be installed by
# taking a native one away; apt stops instead.
apt-get install -y -q --no-install-recommends --no-remove "${missing[@]}"
