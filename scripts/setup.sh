#!/usr/bin/env bash
# Installs whatever Debian packages are missing, then configures and builds everything into
# build/ (programs in build/bin/). Safe to run again: it installs and rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake
    qt6-base-dev qt6-serialport-dev libgl-dev
    xvfb xauth dbus dbus-x11 at-spi2-core python3 python3-pyatspi python3-pyvisa python3-pyvisa-py python3-serial python3-pytest python3-pytest-xdist
    socat netcat-openbsd imagemagick x11-utils
    librsvg2-bin file lintian desktop-file-utils appstream
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
