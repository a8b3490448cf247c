#!/usr/bin/env bash
# Installs what is missing, builds Vantrel and its tests and runs them.
# --sanitize builds and runs them under AddressSanitizer and
# UndefinedBehaviorSanitizer instead; --fuzz runs the script language's fuzz
# target (clang's libFuzzer) for FUZZ_SECONDS (60) on its corpus.
set -euo pipefail
cd "$(dirname "$0")"
source ./setup.sh
if [ "${1:-}" = "--fuzz" ]; then
    install_missing clang libclang-rt-14-dev
    CXX=clang++ build build-fuzz -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF -DVANTREL_FUZZ=ON \
        --target script_line_fuzz
    mkdir -p build-fuzz/corpus
    cp tests/fuzz/corpus/* build-fuzz/corpus/
    if ! ./build-fuzz/script_line_fuzz -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
            build-fuzz/corpus > build-fuzz/fuzz.log 2>&1; then
        tail -n 60 build-fuzz/fuzz.log
        echo "fuzz: FAILED" >&2
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' build-fuzz/fuzz.log || true
    echo "fuzz: no crash and no sanitizer report in ${FUZZ_SECONDS:-60} s"
    exit 0
fi
install_missing desktop-file-utils appstream lintian dpkg-dev debhelper fakeroot file python3-dbusmock dbus-daemon procps \
    xdotool clang-format at-spi2-core gir1.2-atspi-2.0 python3-gi weston fitsverify
# Warnings fail the build here (not in run.sh: a newer compiler's new warning
# must not keep a user from running Vantrel).
# The Debian package is built and checked once, in the plain run: the
# sanitizers have nothing to find in it.
skip=()
if [ "${1:-}" = "--sanitize" ]; then
    dir=build-sanitize
    build "$dir" -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    export ASAN_OPTIONS=detect_leaks=0
    export UBSAN_OPTIONS=print_stacktrace=1
    skip=(-E '^packaging$')
else
    dir=build-test
    build "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
fi
cd "$dir"
ctest -j2 --output-on-failure --timeout 600 "${skip[@]}"
