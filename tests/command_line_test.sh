#!/usr/bin/env bash
# vantrel --help, --version and an unknown option, without a display: each
# answers on its own and no window is opened.
#   command_line_test.sh VANTREL VERSION
set -uo pipefail
vantrel=$1
version=$2
failures=0
expect() {  # expect NAME STATUS WANTED-STATUS OUTPUT PATTERN
    if [ "$2" -ne "$3" ] || ! grep -qE "$5" <<<"$4"; then
        echo "FAIL: $1 (status $2): $4"
        failures=$((failures + 1))
    else
        echo "ok    $1"
    fi
}
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$vantrel" --help 2>/dev/null); expect "--help" $? 0 "$out" '^Usage: vantrel \[--help\] \[--version\]'
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$vantrel" -h 2>/dev/null); expect "-h" $? 0 "$out" '^Usage: vantrel'
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$vantrel" --version 2>/dev/null); expect "--version" $? 0 "$out" "^vantrel $version\$"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$vantrel" --frobnicate 2>&1 >/dev/null); expect "unknown option" $? 2 "$out" \
    "^vantrel: unknown option or argument: --frobnicate"
echo "$((4 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
