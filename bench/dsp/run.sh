#!/bin/sh
# bench/dsp/run.sh [SECONDS]
#
# Builds the release tree build-bench (no sanitizers) and counts, with
# callgrind, the instructions the audio components spend per second of
# audio (8 kHz, 20 ms frames): G.729 encode+decode, and echo cancellation +
# noise suppression + gain. Prints them with their share of one core,
#     share = instructions per second / clock in Hz,
# i.e. assuming one instruction per clock cycle. The clock is CLOCK_HZ when
# set, otherwise this machine's from /proc/cpuinfo, otherwise 2 GHz; the
# share at 1 GHz (an old office PC) is printed too.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$ROOT/build-bench}
SECONDS_OF_AUDIO=${1:-10}

command -v valgrind >/dev/null || { echo "run.sh: valgrind is not installed" >&2; exit 1; }

mkdir -p "$BUILD"
cmake -S "$ROOT" -B "$BUILD" -DQUILLON_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release >"$BUILD/bench-configure.log" 2>&1 ||
    { cat "$BUILD/bench-configure.log" >&2; exit 1; }
cmake --build "$BUILD" -j2 --target bench_dsp >"$BUILD/bench-build.log" 2>&1 ||
    { tail -n 30 "$BUILD/bench-build.log" >&2; exit 1; }
BIN=$BUILD/bench/dsp/bench_dsp

if [ -n "${CLOCK_HZ:-}" ]; then
    CLOCK=$CLOCK_HZ; CLOCK_FROM="CLOCK_HZ"
else
    MHZ=$(sed -n 's/^cpu MHz[[:space:]]*:[[:space:]]*\([0-9.]*\).*/\1/p' /proc/cpuinfo 2>/dev/null | head -n1)
    if [ -n "$MHZ" ]; then
        CLOCK=$(awk -v m="$MHZ" 'BEGIN { printf "%.0f", m * 1e6 }'); CLOCK_FROM="/proc/cpuinfo"
    else
        CLOCK=2000000000; CLOCK_FROM="default"
    fi
fi

OUT=$(mktemp -d "${TMPDIR:-/tmp}/bench-dsp.XXXXXX")
trap 'rm -rf "$OUT"' EXIT

count() {  # count NAME FUNCTION: instructions inside FUNCTION
    valgrind --tool=callgrind --collect-atstart=no --toggle-collect="$2" \
        --callgrind-out-file="$OUT/$1.out" "$BIN" "$1" "$SECONDS_OF_AUDIO" >"$OUT/$1.txt" 2>"$OUT/$1.log" ||
        { cat "$OUT/$1.log" >&2; exit 1; }
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$OUT/$1.log" | tail -n1
}

G729=$(count g729 bench_run_g729)
PROC=$(count process bench_run_process)
[ -n "$G729" ] && [ -n "$PROC" ] || { echo "run.sh: no instruction count from callgrind" >&2; exit 1; }

awk -v g="$G729" -v p="$PROC" -v s="$SECONDS_OF_AUDIO" -v hz="$CLOCK" -v from="$CLOCK_FROM" 'BEGIN {
    printf "audio components, %s s of 8 kHz audio in 20 ms frames (callgrind, release build)\n", s
    printf "assumed clock: %.3f GHz (%s); share = instructions/s / clock Hz\n", hz / 1e9, from
    printf "%-34s %14s %10s %10s\n", "", "instr/s", "share", "at 1 GHz"
    row("G.729 encode + decode", g / s)
    row("AEC + NS + AGC", p / s)
    row("both", (g + p) / s)
}
function row(name, ips) { printf "%-34s %14.0f %9.3f%% %9.3f%%\n", name, ips, 100 * ips / hz, 100 * ips / 1e9 }'
