#!/usr/bin/env bash
# Vantrel's start-up against the smallest wxWidgets program built the same
# way: time from process start until the main window is mapped, and peak
# memory, median of RUNS (10) alternating runs. Needs an X display (run it
# under xvfb-run -a) and the benchmarks built:
#   cmake --build build-bench --target benchmarks
#   xvfb-run -a bench/startup_bench.sh build-bench
# No port is opened: without a DSUSB box Vantrel shows its port chooser, and
# is ended there.
set -euo pipefail
build=${1:-build-bench}
runs=${RUNS:-10}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home NO_AT_BRIDGE=1

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

: >"$home/vantrel" ; : >"$home/minimal"
for _ in $(seq "$runs"); do
    "$build/bench/startup_watch" Minimal "$build/bench/minimal_app" >>"$home/minimal"
    "$build/bench/startup_watch" Vantrel "$build/vantrel" >>"$home/vantrel"
done
for program in minimal vantrel; do
    ms=$(cut -d' ' -f1 "$home/$program" | median)
    kb=$(cut -d' ' -f2 "$home/$program" | median)
    printf '%-8s window shown after %7.1f ms, peak memory %6d kB\n' "$program" "$ms" "$kb"
    eval "${program}_ms=$ms ${program}_kb=$kb"
done
awk -v a="$vantrel_ms" -v b="$minimal_ms" -v c="$vantrel_kb" -v d="$minimal_kb" \
    'BEGIN {printf "ratio: start-up time %.2f, peak memory %.2f\n", a / b, c / d}'
