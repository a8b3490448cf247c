#!/usr/bin/env bash
# Validates what Vantrel ships: the desktop entry, the AppStream metadata, the
# udev rule, and the Debian package built from a copy of the source tree the
# way Debian builds it (dpkg-buildpackage), checked by lintian.
#   packaging_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build_dir=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

desktop-file-validate "$source_dir/packaging/vantrel.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$build_dir/org.tessmar.Vantrel.metainfo.xml" || fail "metainfo"

rule="$source_dir/packaging/60-vantrel.rules"
for product in 9021 9026; do
    grep -E '^[^#]*ATTR\{idVendor\}=="134a".*ATTR\{idProduct\}=="'$product'".*GROUP="plugdev", MODE="0660".*TAG\+="uaccess"' "$rule" >/dev/null ||
        fail "udev rule does not give product $product to the seat's user and to plugdev"
done
[[ "$(basename "$rule")" < "73-seat-late.rules" ]] || fail "udev rule sorts after the seat rules"

# The version is written once, in debian/changelog; everything shows it.
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
grep -q "<release version=\"$version\"" "$build_dir/org.tessmar.Vantrel.metainfo.xml" || fail "metainfo version"
head -1 "$build_dir/vantrel.1" | grep -qF "\"Vantrel $version\"" || fail "manual page version"
grep -qF "#define VANTREL_VERSION \"$version\"" "$build_dir/generated/app/version.h" || fail "About box version"

# A copy of the tracked files, built as Debian builds it.
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
mkdir "$out/vantrel-$version"
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$source_dir" ls-files -z | (cd "$source_dir" && xargs -0 cp --parents -P -t "$out/vantrel-$version")
else
    (cd "$source_dir" && tar --exclude='./build*' --exclude=./.git -cf - .) | tar -xf - -C "$out/vantrel-$version"
fi
if ! (cd "$out/vantrel-$version" && dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1); then
    tail -n 40 "$out/build.log"
    fail "dpkg-buildpackage"
fi
deb=$(ls "$out"/vantrel_"$version"_*.deb 2>/dev/null) || { echo "packaging: no package built"; exit 1; }
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/bin/vantrel ./usr/share/applications/vantrel.desktop \
            ./usr/share/icons/hicolor/48x48/apps/vantrel.png ./usr/share/icons/hicolor/scalable/apps/vantrel.svg \
            ./usr/share/metainfo/org.tessmar.Vantrel.metainfo.xml ./usr/share/man/man1/vantrel.1.gz \
            ./usr/share/doc/vantrel/copyright ./usr/share/doc/vantrel/changelog.gz ./usr/share/vantrel/docs/user-guide.md; do
    grep -qxF "$file" <<<"$contents" || fail "package lacks $file"
done
grep -qE '/udev/rules\.d/60-vantrel\.rules$' <<<"$contents" || fail "package lacks the udev rule"
dpkg-deb -f "$deb" Depends | grep -q libwxgtk3.2 || fail "package dependencies were not found by shlibdeps"
dpkg-deb -f "$deb" Depends | grep -q libindi && fail "the window's package pulls in libindi"
# The INDI driver, in a package of its own.
indi_deb=$(ls "$out"/indi-vantrel_"$version"_*.deb 2>/dev/null) || fail "no indi-vantrel package"
if [ -n "$indi_deb" ]; then
    indi_contents=$(dpkg-deb -c "$indi_deb" | awk '{print $6}')
    for file in ./usr/bin/indi_vantrel_ccd ./usr/share/indi/indi_vantrel.xml ./usr/share/man/man1/indi_vantrel_ccd.1.gz; do
        grep -qxF "$file" <<<"$indi_contents" || fail "indi-vantrel lacks $file"
    done
    dpkg-deb -f "$indi_deb" Depends | grep -q libindidriver || fail "indi-vantrel does not depend on libindidriver"
    dpkg-deb -f "$indi_deb" Depends | grep -qw indi-bin || fail "indi-vantrel does not depend on indi-bin (indiserver)"
    grep -qE '/udev/rules\.d/60-indi-vantrel\.rules$' <<<"$indi_contents" || fail "indi-vantrel lacks the udev rule"
    # The headless driver: a unit for a user, off until enabled, that runs
    # indiserver with the driver as that user, with the devices' groups.
    unit=./lib/systemd/system/vantrel-indi@.service
    grep -qxF "$unit" <<<"$indi_contents" || fail "indi-vantrel lacks $unit"
    unit_text=$(dpkg-deb --fsys-tarfile "$indi_deb" | tar -xOf - "$unit")
    for line in 'User=%i' 'SupplementaryGroups=dialout lp plugdev' 'Restart=on-failure' \
                'ExecStart=/usr/bin/indiserver -p ${INDI_PORT} -u /tmp/vantrel-indi-%i indi_vantrel_ccd $INDI_DRIVERS' \
                'Environment=INDI_PORT=7624' 'EnvironmentFile=-/etc/default/vantrel-indi'; do
        grep -qxF "$line" <<<"$unit_text" || fail "the unit lacks $line"
    done
    dpkg-deb -e "$indi_deb" "$out/indi-control"
    grep -qs 'enable' "$out/indi-control/postinst" && grep -q 'vantrel-indi' "$out/indi-control/postinst" &&
        fail "indi-vantrel enables its unit on install"
    if command -v systemd-analyze >/dev/null; then
        mkdir -p "$out/units"
        sed "s|/usr/bin/indiserver|$(command -v indiserver || echo /bin/true)|" <<<"$unit_text" >"$out/units/vantrel-indi@.service"
        SYSTEMD_UNIT_PATH="$out/units:" systemd-analyze verify --man=no "$out/units/vantrel-indi@$(id -un).service" ||
            fail "systemd-analyze verify of the unit"
        # Hardened: systemd's own rating of what the service may do, below 5.
        exposure=$(systemd-analyze security --offline=true --threshold=49 "$out/units/vantrel-indi@.service" 2>&1 |
            sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
        [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e < 5) }' ||
            fail "the unit's exposure level is ${exposure:-unknown}, not below 5"
    fi
    dpkg-deb --fsys-tarfile "$indi_deb" | tar -xOf - ./usr/share/indi/indi_vantrel.xml |
        grep -q '<devGroup group="CCDs">' || fail "the INDI driver list does not put Vantrel under the CCDs"
fi
lintian_out=$(lintian --tag-display-limit 0 "$out"/vantrel_"$version"_*.changes 2>&1 |
    grep -v 'running with root privileges' || true)
echo "$lintian_out"
grep -qE '^[EW]:' <<<"$lintian_out" && fail "lintian reports errors or warnings"

echo "packaging: $failures failed"
[ "$failures" -eq 0 ]
