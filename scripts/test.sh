#!/usr/bin/env bash
# Sets up and builds (see setup.sh), then runs every test suite, end-to-end suites included.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
