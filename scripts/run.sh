#!/usr/bin/env bash
# Sets up and builds (see setup.sh), then starts the instrument.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/bin/kestrin
