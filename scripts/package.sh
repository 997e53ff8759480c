#!/usr/bin/env bash
# Sets up and builds (see setup.sh; optimised builds carry Debian's hardening flags, see
# cmake/Hardening.cmake), then makes the two Debian packages from that one build:
#     build/tarvolin_<version>_<arch>.deb                  the programs
#     build/python3-kestrin-testkit_<version>_all.deb      the test kit
# ready for `sudo apt install ./build/tarvolin_<version>_*.deb ./build/python3-kestrin-testkit_<version>_all.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cd build
cpack -G DEB
