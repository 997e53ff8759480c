#!/usr/bin/env bash
# Takes the README's picture of the instrument's main window as it looks after start-up,
# on a virtual display: docs/kestrin-main.png. Needs a build (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] || [ "${1:-}" != "--on-display" ]; then
    exec xvfb-run -a -s "-screen 0 800x600x24" "$0" --on-display
fi

build/bin/kestrin &
program=$!
trap 'kill $program 2>/dev/null || true' EXIT

window=""
for _ in $(seq 100); do
    window=$(xwininfo -root -tree 2>/dev/null | awk '/"Tarvolin"/ {print $1; exit}')
    [ -n "$window" ] && xwininfo -id "$window" | grep -q 'IsViewable' && break
    sleep 0.1
done
[ -n "$window" ] || { echo "the main window did not appear" >&2; exit 1; }
# Let the window finish its first paint before it is captured.
sleep 0.5
mkdir -p docs
import -window "$window" docs/kestrin-main.png
echo "docs/kestrin-main.png"
