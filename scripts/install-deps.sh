#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and run Vorn Server (idempotent).
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build pkg-config
    clang libclang-rt-14-dev clang-format clang-tidy
    libbotan-2-dev libre2-dev libxerces-c-dev libcrypt-dev zlib1g-dev libbz2-dev passwd
    libgtest-dev libgmock-dev libbenchmark-dev libfuse3-dev fuse3
    python3-cryptography gpg gpg-agent rnp sq
    openjdk-17-jdk-headless
    libcpp-httplib-dev libssl-dev
    python3 python3-selenium chromium chromium-driver
    time
    sks stunnel4 dirmngr
    help2man lintian logrotate systemd
)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
