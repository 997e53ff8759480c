#!/usr/bin/env bash
# Takes a picture of every window of the four programs (and of the demonstration DDE source) into
# docs/screenshots/, on a private virtual display. Needs a build (scripts/setup.sh); the folder of
# the built programs may be given as the first argument (default build/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
programs="${1:-build/bin}"
mkdir -p docs/screenshots
exec /usr/bin/python3 tests/e2e/run_e2e.py --programs "$programs" --timeout 300 \
    --script tests/e2e/take_screenshots.py "$PWD/docs/screenshots"
