#!/usr/bin/env bash
# Vantrel's start-up against the smallest wxWidgets program built the same
# way: time from process start until the main window is mapped, and peak
# memory, the median and the least of RUNS (10) alternating runs (on a busy
# machine the medians move by a third from one run of the script to the
# next; the least times move much less). Needs an X display (run it
# under xvfb-run -a) and the benchmarks built:
#   cmake --build build-bench --target benchmarks
#   xvfb-run -a bench/startup_bench.sh build-bench
# No port is opened: without a DSUSB box Vantrel shows its port chooser, and
# is ended there.
#
# The floor: the same controls built with GTK alone (gtk_floor full) against
# a GTK window with only a status bar (gtk_floor), what the toolkit itself
# costs for Vantrel's window whatever the program around it.
set -euo pipefail
build=${1:-build-bench}
runs=${RUNS:-10}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home NO_AT_BRIDGE=1

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
least() { sort -n | head -1; }

programs=(minimal vantrel gtk_bare gtk_full)
for program in "${programs[@]}"; do : >"$home/$program"; done
for _ in $(seq "$runs"); do
    "$build/bench/startup_watch" Minimal "$build/bench/minimal_app" >>"$home/minimal"
    "$build/bench/startup_watch" Vantrel "$build/vantrel" >>"$home/vantrel"
    "$build/bench/startup_watch" Bare "$build/bench/gtk_floor" >>"$home/gtk_bare"
    "$build/bench/startup_watch" Full "$build/bench/gtk_floor" full >>"$home/gtk_full"
done
for program in "${programs[@]}"; do
    ms=$(cut -d' ' -f1 "$home/$program" | median)
    least_ms=$(cut -d' ' -f1 "$home/$program" | least)
    kb=$(cut -d' ' -f2 "$home/$program" | median)
    printf '%-8s window shown after %7.1f ms (least %5.1f), peak memory %6d kB\n' "$program" "$ms" "$least_ms" "$kb"
    eval "${program}_ms=$ms ${program}_least=$least_ms ${program}_kb=$kb"
done
awk -v a="$vantrel_ms" -v b="$minimal_ms" -v e="$vantrel_least" -v f="$minimal_least" \
    -v c="$vantrel_kb" -v d="$minimal_kb" \
    'BEGIN {printf "ratio: start-up time %.2f (least %.2f), peak memory %.2f\n", a / b, e / f, c / d}'
awk -v a="$gtk_full_ms" -v b="$gtk_bare_ms" -v e="$gtk_full_least" -v f="$gtk_bare_least" \
    'BEGIN {printf "GTK alone: the controls add %.1f ms, ratio %.2f (least: %.1f ms, %.2f)\n", a - b, a / b, e - f, e / f}'
