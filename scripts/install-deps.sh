#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need. Quiet and quick when
# everything is already there.
set -euo pipefail

packages=(
    cmake g++ make pkg-config dpkg-dev
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-translations-l10n libgl-dev
    libtomcrypt-dev libtommath-dev zlib1g-dev
    libbenchmark-dev
    nginx-light tinyproxy openssl curl e2fsprogs util-linux
    imagemagick
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
