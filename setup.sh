# Shared by run.sh and test.sh: installs what Vantrel needs from Debian's
# packages (only what is missing) and builds it into the folder given.
set -euo pipefail

PACKAGES=(cmake g++ make pkg-config libwxgtk3.2-dev libieee1284-3-dev libusb-1.0-0-dev libglib2.0-dev
          libx11-dev libgtk-3-dev libjson-glib-dev libcanberra-gtk3-dev libgtest-dev xvfb xauth fonts-dejavu-core libindi-dev indi-bin libgphoto2-dev
          libraw-dev libcfitsio-dev libjpeg-dev libtiff-dev)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
    local missing=()
    for package in "${PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -qq
        # A library installed for two architectures must be of one version:
        # an installed one older than the other architecture's is upgraded.
        # Said before it is done.
        local upgrades
        upgrades=$(apt-get -s install --no-install-recommends --no-remove "${missing[@]}" 2>/dev/null |
            awk '/^Inst [^ ]+ \[/ { print $2 }' | tr '\n' ' ')
        [ -z "$upgrades" ] || echo "Upgrading installed packages to match: $upgrades"
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}"
    fi
}

# build DIR [cmake options...] [--target NAME]
build() {
    local dir=$1
    shift
    local options=() target=()
    while [ $# -gt 0 ]; do
        if [ "$1" = "--target" ]; then target=(--target "$2"); shift 2; else options+=("$1"); shift; fi
    done
    cmake -S "$(dirname "${BASH_SOURCE[0]}")" -B "$dir" "${options[@]}" >/dev/null
    cmake --build "$dir" -j"$(nproc)" "${target[@]}"
}
