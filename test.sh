#!/usr/bin/env bash
# Installs what is missing, builds Vantrel and its tests and runs them.
# --sanitize builds and runs them under AddressSanitizer and
# UndefinedBehaviorSanitizer instead.
set -euo pipefail
cd "$(dirname "$0")"
source ./setup.sh
install_missing
if [ "${1:-}" = "--sanitize" ]; then
    dir=build-sanitize
    build "$dir" -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON
    export ASAN_OPTIONS=detect_leaks=0
    export UBSAN_OPTIONS=print_stacktrace=1
else
    dir=build-test
    build "$dir" -DCMAKE_BUILD_TYPE=Debug
fi
cd "$dir"
ctest --output-on-failure --timeout 600
