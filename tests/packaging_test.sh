#!/usr/bin/env bash
# Validates what Vantrel ships: the desktop entry, the AppStream metadata, the
# udev rule, and a Debian package built from this build folder.
#   packaging_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build_dir=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

desktop-file-validate "$source_dir/packaging/vantrel.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$source_dir/packaging/org.tessmar.Vantrel.metainfo.xml" || fail "metainfo"

rule="$source_dir/packaging/60-vantrel.rules"
for product in 9021 9026; do
    grep -E '^[^#]*ATTR\{idVendor\}=="134a".*ATTR\{idProduct\}=="'$product'".*TAG\+="uaccess"' "$rule" >/dev/null ||
        fail "udev rule does not give product $product to the seat's user"
done
grep -iE '^[^#]*MODE=' "$rule" && fail "udev rule sets a MODE"
[[ "$(basename "$rule")" < "73-seat-late.rules" ]] || fail "udev rule sorts after the seat rules"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build_dir" && cpack -G DEB -B "$out" >/dev/null) || fail "package build"
deb=$(ls "$out"/vantrel_*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/bin/vantrel ./usr/share/applications/vantrel.desktop \
            ./usr/share/icons/hicolor/48x48/apps/vantrel.png ./usr/share/icons/hicolor/scalable/apps/vantrel.svg \
            ./usr/share/metainfo/org.tessmar.Vantrel.metainfo.xml ./usr/lib/udev/rules.d/60-vantrel.rules \
            ./usr/share/man/man1/vantrel.1.gz ./usr/share/doc/vantrel/copyright; do
    grep -qxF "$file" <<<"$contents" || fail "package lacks $file"
done
dpkg-deb -f "$deb" Depends | grep -q libwxgtk3.2 || fail "package dependencies were not found by shlibdeps"
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
echo "$lintian_out"
grep -q '^E:' <<<"$lintian_out" && fail "lintian reports errors"

echo "packaging: $failures failed"
[ "$failures" -eq 0 ]
