#!/bin/bash
# bench/fuzz/run.sh SECONDS [TARGET...]
#
# Builds the libFuzzer targets of bench/fuzz with clang (build dir: $FUZZ_BUILD_DIR,
# default build-fuzz at the top of the tree), runs each for SECONDS and prints one
# table: executions, executions per second, coverage (libFuzzer's cov: edges and ft:
# features), corpus size and the outcome. Targets: fuzz_sip fuzz_sdp fuzz_rtp
# fuzz_answer fuzz_skin fuzz_xml (all when none is named).
#
# Corpora grow in $FUZZ_BUILD_DIR/corpus/TARGET and are kept between runs; they start
# from bench/fuzz/seeds/TARGET and, for the skin and the settings, from the program's
# own skin file and settings files. An input that breaks a target is written to
# $FUZZ_BUILD_DIR/findings/TARGET-crash-... and the table names it; bench/fuzz/findings
# tells what was found so far.
# FUZZ_JOBS targets run at the same time (default 1); the build uses at most 2 jobs.
set -u
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
BUILD="${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
ALL=(fuzz_sip fuzz_sdp fuzz_rtp fuzz_answer fuzz_skin fuzz_xml)

if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [TARGET...]   (targets: ${ALL[*]})" >&2
    exit 2
fi
SECONDS_EACH="$1"
shift
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=("${ALL[@]}")
for t in "${TARGETS[@]}"; do
    [[ " ${ALL[*]} " == *" $t "* ]] || { echo "unknown target: $t (targets: ${ALL[*]})" >&2; exit 2; }
done

command -v clang++ >/dev/null || { echo "clang++ not found (Debian: apt-get install clang)" >&2; exit 1; }

mkdir -p "$BUILD"
echo "== building ${TARGETS[*]} in $BUILD"
if ! CC=clang CXX=clang++ cmake -S "$HERE" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD/configure.log" 2>&1; then
    cat "$BUILD/configure.log"
    exit 1
fi
if ! cmake --build "$BUILD" -j 2 --target "${TARGETS[@]}" >"$BUILD/build.log" 2>&1; then
    grep -E 'error|Error' "$BUILD/build.log" | head -40
    echo "(libFuzzer missing? Debian: apt-get install libclang-rt-\$(clang -dumpversion | cut -d. -f1)-dev)" >&2
    exit 1
fi

# Seeds: committed ones plus the program's own files.
seed_dirs() {  # TARGET -> directories to read seeds from
    local t="$1"
    [ -d "$HERE/seeds/$t" ] && echo "$HERE/seeds/$t"
    case "$t" in
    fuzz_skin) echo "$ROOT/skin" ;;  # only *.rss files are copied, see below
    fuzz_xml) echo "$ROOT/res/install" ;;
    esac
}

run_one() {  # TARGET
    local t="$1" corpus="$BUILD/corpus/$1" log="$BUILD/logs/$1.log"
    mkdir -p "$corpus" "$BUILD/logs" "$BUILD/findings"
    for d in $(seed_dirs "$t"); do
        for f in "$d"/*; do
            [ -f "$f" ] || continue
            [ "$t" = fuzz_skin ] && [[ "$f" != *.rss ]] && continue
            cp -n "$f" "$corpus/seed-$(basename "$f")"
        done
    done
    # Inputs up to 4 KB (SIP datagrams, descriptions, lines, skin files and settings
    # files are all found well inside that); no time limit per input beyond 10 s.
    (cd "$BUILD" && "$BUILD/$t" -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$BUILD/findings/$t-" "$corpus") >"$log" 2>&1
    echo $? >"$BUILD/logs/$t.rc"
}

echo "== running each target for $SECONDS_EACH s (logs in $BUILD/logs)"
JOBS="${FUZZ_JOBS:-1}"
running=0
for t in "${TARGETS[@]}"; do
    run_one "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$JOBS" ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

status=0
printf '\n%-12s %8s %12s %10s %7s %8s %7s  %s\n' target seconds executions "exec/s" cov ft corpus outcome
for t in "${TARGETS[@]}"; do
    log="$BUILD/logs/$t.log"
    rc="$(cat "$BUILD/logs/$t.rc" 2>/dev/null || echo 1)"
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
    secs="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
    last="$(grep -E '^#[0-9]+' "$log" | grep ' cov: ' | tail -1)"
    cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")"
    ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")"
    corp="$(ls "$BUILD/corpus/$t" 2>/dev/null | wc -l)"
    crash="$(grep -o 'Test unit written to .*' "$log" | tail -1 | sed 's/Test unit written to //')"
    if [ "$rc" = 0 ] && [ -z "$crash" ]; then
        outcome=ok
    else
        outcome="FINDING ${crash:-exit $rc} (see $log)"
        status=1
    fi
    printf '%-12s %8s %12s %10s %7s %8s %7s  %s\n' "$t" "$SECONDS_EACH" "${execs:-?}" "${secs:-?}" "${cov:-?}" \
        "${ft:-?}" "$corp" "$outcome"
done
exit $status
