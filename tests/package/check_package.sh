#!/usr/bin/env bash
# Makes the Debian packages tarvolin and python3-kestrin-testkit from a finished build and checks
# them: lintian finds no error, no warning and no hardening tag; the menu entries and the AppStream
# file are valid; and once unpacked into a temporary folder (nothing is installed on this machine)
# every relative link of the installed documents resolves inside the packages, the unpacked
# tovrask starts the unpacked kestrin, and the installed CI examples pass, run by the unpacked test
# kit beside the unpacked kestrin.
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
programs=$(echo "$work"/tarvolin_*.deb)
kit=$(echo "$work"/python3-kestrin-testkit_*_all.deb)
ls "$programs" "$kit" > /dev/null

for package in "$programs" "$kit"; do
    echo "== lintian $(basename "$package")"
    # Hardening tags are only informational to lintian; the package is meant to have none.
    lintian --info --pedantic --fail-on error,warning "$package" | tee "$work/lintian.log"
    if grep -E 'hardening-|binary-has-unneeded-section' "$work/lintian.log"; then
        echo "$(basename "$package") is not built as Debian hardens and strips its programs" >&2
        exit 1
    fi
done

root=$work/root
dpkg-deb -x "$programs" "$root"
dpkg-deb -x "$kit" "$root"
echo "== desktop-file-validate"
desktop-file-validate "$root"/usr/share/applications/*.desktop
echo "== appstreamcli validate"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml

echo "== the installed documents' links"
"$python" "$here/check_links.py" "$root"

echo "== the unpacked tovrask starts the unpacked kestrin"
"$python" "$runner" --programs "$root/usr/bin" --timeout 120 --script "$here/tovrask_starts_kestrin.py"

echo "== the unpacked test kit"
environment=(env --unset=DISPLAY --unset=WAYLAND_DISPLAY PATH="$root/usr/bin:$PATH"
             PYTHONPATH="$root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1
             PYTEST_ADDOPTS="-p no:cacheprovider")
# pytest finds the plugin through the entry point of the package's metadata.
"${environment[@]}" "$python" -m pytest --help | grep -- --kestrin-private-display > /dev/null
status=0
"${environment[@]}" kestrin-testkit run -- sh -c 'exit 3' || status=$?
if [ "$status" -ne 3 ]; then
    echo "kestrin-testkit run -- sh -c 'exit 3' exited $status, not 3" >&2
    exit 1
fi

echo "== the installed CI examples, as getting-started.md runs them"
cp -r "$root/usr/share/doc/tarvolin/examples/ci" "$work/ci"
(cd "$work/ci" && "${environment[@]}" "$python" -m pytest test_my_client.py)
(cd "$work/ci" && "${environment[@]}" kestrin-testkit run -- ./my-client-tests)
