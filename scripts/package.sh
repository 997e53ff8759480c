#!/usr/bin/env bash
# Sets up and builds (see setup.sh), then makes the Debian package build/tarvolin_<version>_<arch>.deb,
# ready for `sudo apt install ./build/tarvolin_<version>_<arch>.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cd build
cpack -G DEB
