#!/usr/bin/env bash
# Cross-builds Vantrel for arm64 (a Raspberry Pi 4/5 under Debian 12) on a
# Debian 12 amd64 machine: installs what it needs from Debian's packages
# (removing nothing), builds the program, the INDI driver and the tests,
# runs the engine, port, guider and INDI tests under qemu-aarch64-static,
# and builds the arm64 packages vantrel and indi-vantrel with
# dpkg-buildpackage, checked by lintian and compared with the amd64 ones.
#   packaging/cross-arm64.sh      the packages go to build-arm64/packages
set -euo pipefail
cd "$(dirname "$0")/.."
source ./setup.sh

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    as_root dpkg --add-architecture arm64
    as_root apt-get update -qq
fi
# libindi-dev and libieee1284-3-dev cannot be installed for two
# architectures at once; the build takes their headers from the amd64 ones
# (the same files) and links the arm64 runtime libraries by name.
install_missing crossbuild-essential-arm64 qemu-user-static dpkg-dev debhelper fakeroot lintian file \
    libwxgtk3.2-dev:arm64 libgtk-3-dev:arm64 libusb-1.0-0-dev:arm64 libglib2.0-dev:arm64 libx11-dev:arm64 \
    libjson-glib-dev:arm64 libcanberra-gtk3-dev:arm64 libgtest-dev:arm64 libindidriver1:arm64 libieee1284-3:arm64 \
    libraw-dev:arm64 libcfitsio-dev:arm64 libjpeg-dev:arm64 libtiff-dev:arm64 libgphoto2-dev:arm64

# Every feature of the amd64 build, or none: a missing library fails here.
build build-arm64 -DCMAKE_TOOLCHAIN_FILE=packaging/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DVANTREL_ALL_FEATURES=ON
status=0
(cd build-arm64 && ctest --output-on-failure) || status=1
# What was skipped under emulation, and why.
grep -h -A1 ': Skipped$' build-arm64/Testing/Temporary/LastTest.log | grep -vE '^(--|.*: Skipped)$' |
    sed 's/^/skipped under qemu: /' || true
[ "$status" -eq 0 ] || { echo "cross-arm64: tests failed" >&2; exit 1; }

# The packages, built as Debian builds them, from a copy of the tracked
# files: for arm64 (cross, the build dependencies checked above rather than
# by dpkg-checkbuilddeps, which would want libindi-dev:arm64), then for
# amd64 to compare.
version=$(dpkg-parsechangelog -S Version)
out=build-arm64/packages
rm -rf "$out"
mkdir -p "$out/vantrel-$version"
git ls-files -z | xargs -0 cp --parents -P -t "$out/vantrel-$version"
for arch in arm64 amd64; do
    if ! (cd "$out/vantrel-$version" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -a "$arch" -d -b -us -uc \
            >"../build-$arch.log" 2>&1); then
        tail -n 40 "$out/build-$arch.log"
        echo "cross-arm64: dpkg-buildpackage -a $arch failed" >&2
        exit 1
    fi
done
failures=0
file_list() { dpkg-deb -c "$1" | awk '{print $6}' | sort; }
# A package's dependencies by name, and each program's libraries by soname:
# the same on both architectures, or a feature is missing from one.
depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed -E 's/\(.*\)//; s/[[:space:]]//g; s/:any$//' | sort; }
needed() {
    local unpacked
    unpacked=$(mktemp -d)
    dpkg-deb -x "$1" "$unpacked"
    for binary in "$unpacked"/usr/bin/*; do
        readelf -d "$binary" | sed -n "s|.*(NEEDED).*\[\(.*\)\]|$(basename "$binary") \1|p"
    done | grep -v ' ld-linux' | sort  # the dynamic loader is named by its architecture
    rm -rf "$unpacked"
}
for package in vantrel indi-vantrel; do
    deb="$out/${package}_${version}_arm64.deb"
    [ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || { echo "FAIL: $deb is not arm64"; failures=$((failures + 1)); }
    if ! diff <(file_list "$out/${package}_${version}_amd64.deb") <(file_list "$deb"); then
        echo "FAIL: $package: arm64 and amd64 packages hold different files"
        failures=$((failures + 1))
    fi
    if ! diff <(depends "$out/${package}_${version}_amd64.deb") <(depends "$deb"); then
        echo "FAIL: $package: arm64 and amd64 packages depend on different packages"
        failures=$((failures + 1))
    fi
    if ! diff <(needed "$out/${package}_${version}_amd64.deb") <(needed "$deb"); then
        echo "FAIL: $package: arm64 and amd64 programs link different libraries"
        failures=$((failures + 1))
    fi
    for binary in $(file_list "$deb" | grep '^\./usr/bin/'); do
        dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "$binary" | file - | grep -q 'ARM aarch64' ||
            { echo "FAIL: $binary in $deb is not an arm64 program"; failures=$((failures + 1)); }
    done
    echo "$package arm64: $(dpkg-deb -f "$deb" Depends)"
done
# The headless driver as the Pi runs it: the packaged unit's command, with
# the packaged arm64 driver (under qemu) and no HOME, reached by a client
# by host and port.
unpacked=$(mktemp -d)
dpkg-deb -x "$out/indi-vantrel_${version}_arm64.deb" "$unpacked"
mkdir "$unpacked/bin"
printf '#!/bin/sh\nexec qemu-aarch64-static %s "$@"\n' "$unpacked/usr/bin/indi_vantrel_ccd" >"$unpacked/bin/indi_vantrel_ccd"
chmod +x "$unpacked/bin/indi_vantrel_ccd"
port=$((20000 + RANDOM % 10000))
# As systemd runs it: its port, no further drivers, a local socket of the
# check's own (another indiserver may run here).
command=$(sed -n 's/^ExecStart=//p' "$unpacked/lib/systemd/system/vantrel-indi@.service" |
    sed -e "s/\${INDI_PORT}/$port/" -e 's/\$INDI_DRIVERS//' -e "s/%i/cross-$port/")
env -u HOME PATH="$unpacked/bin:$PATH" $command >"$unpacked/server.log" 2>&1 &
server=$!
reached=
for _ in $(seq 60); do
    reached=$(indi_getprop -h localhost -p "$port" -t 5 "Vantrel.CONNECTION.CONNECT" 2>/dev/null) && break
    sleep 1
done
kill "$server" 2>/dev/null || true
wait "$server" 2>/dev/null || true
if [ "$reached" = "Vantrel.CONNECTION.CONNECT=Off" ]; then
    echo "the packaged unit's indiserver with the arm64 driver answered on localhost:$port"
else
    tail -n 12 "$unpacked/server.log"
    echo "FAIL: the packaged unit's command gave no driver a client could reach"
    failures=$((failures + 1))
fi
rm -rf "$unpacked"
lintian_out=$(lintian --tag-display-limit 0 "$out"/vantrel_"$version"_arm64.changes 2>&1 |
    grep -v 'running with root privileges' || true)
echo "$lintian_out"
grep -qE '^[EW]:' <<<"$lintian_out" && { echo "FAIL: lintian reports errors or warnings"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] || exit 1
echo "cross-arm64: $(ls "$out"/*_arm64.deb | xargs -n1 basename | tr '\n' ' ')in $out"
