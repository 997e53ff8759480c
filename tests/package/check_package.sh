#!/usr/bin/env bash
# Makes the Debian package from a finished build and checks it: lintian finds no error, the menu
# entries and the AppStream file are valid, and once unpacked into a temporary folder (nothing is
# installed on this machine) its tovrask starts its kestrin, and its test kit brings up its kestrin
# and passes a command's exit status on.
#
# Usage: check_package.sh BUILD_DIR PYTHON E2E_RUNNER
set -euo pipefail
build=$1 python=$2 runner=$3
here=$(dirname "$(realpath "$0")")
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvolin-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== cpack"
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" > "$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    exit 1
fi
package=$(echo "$work"/*.deb)

echo "== lintian $(basename "$package")"
lintian --fail-on error "$package"

dpkg-deb -x "$package" "$work/root"
echo "== desktop-file-validate"
desktop-file-validate "$work"/root/usr/share/applications/*.desktop
echo "== appstreamcli validate"
appstreamcli validate --no-net "$work"/root/usr/share/metainfo/*.metainfo.xml

echo "== the unpacked tovrask starts the unpacked kestrin"
"$python" "$runner" --programs "$work/root/usr/bin" --timeout 120 --script "$here/tovrask_starts_kestrin.py"

echo "== the unpacked test kit"
kit=(env --unset=DISPLAY --unset=WAYLAND_DISPLAY PATH="$work/root/usr/bin:$PATH"
     PYTHONPATH="$work/root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 PYTEST_ADDOPTS="-p no:cacheprovider")
# pytest finds the plugin through the entry point of the package's metadata.
"${kit[@]}" "$python" -m pytest --help | grep -- --kestrin-private-display > /dev/null
status=0
"${kit[@]}" kestrin-testkit run -- sh -c 'exit 3' || status=$?
if [ "$status" -ne 3 ]; then
    echo "kestrin-testkit run -- sh -c 'exit 3' exited $status, not 3" >&2
    exit 1
fi
