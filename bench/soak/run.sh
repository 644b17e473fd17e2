#!/bin/bash
# Soak of the call-control library: CALLS calls in a row from one instance to
# an echoing sipp callee on loopback, each held HOLD_MS with audio both ways;
# prints heap, descriptors, threads and resident size after the first and the
# last call. Exits nonzero when a call failed or heap, descriptors or threads
# grew (the tolerances are printed with the table).
#
#   bench/soak/run.sh [CALLS] [HOLD_MS] [build-dir]
#
# SOAK_WRAP runs the program under another one, for looking into a growth;
# under memcheck the program asks for a leak check after the first call and
# for the blocks added since then after the last one:
#   SOAK_WRAP="valgrind --leak-check=full --show-leak-kinds=all" bench/soak/run.sh 50
set -u
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
CALLS="${1:-1000}"
HOLD_MS="${2:-400}"
BUILD="${3:-$ROOT/build-soak}"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUILLON_SANITIZE=OFF >/dev/null || exit 2
cmake --build "$BUILD" --target callctl_soak -j2 >/dev/null || exit 2

DIR="$(mktemp -d "${TMPDIR:-/tmp}/callctl-soak.XXXXXX")"
SIPP_PID=""
cleanup() {
    [ -n "$SIPP_PID" ] && kill "$SIPP_PID" 2>/dev/null
    rm -rf "$DIR"
}
trap cleanup EXIT

# A free UDP port on loopback; with "even", an even one whose next port is free too.
free_port() {
    python3 - "$@" <<'PY'
import socket, sys
even = len(sys.argv) > 1
while True:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    if not even:
        break
    if p % 2 == 0 and p < 65530:
        try:
            t = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            t.bind(("127.0.0.1", p + 1))
            t.close()
            break
        except OSError:
            pass
    s.close()
print(p)
PY
}

# The callee; a port taken between choosing and binding it means another try.
for attempt in 1 2 3 4 5; do
    SIP_PORT="$(free_port)"
    MEDIA_PORT="$(free_port even)"
    rm -f "$DIR/peer.log"
    : >"$DIR/peer.log"
    sipp -sf "$HERE/echo_uas.xml" -i 127.0.0.1 -p "$SIP_PORT" -mp "$MEDIA_PORT" -rtp_echo \
        -m "$CALLS" -nostdin -default_behaviors none -trace_err -error_file "$DIR/peer.err" \
        -trace_logs -log_file "$DIR/peer.log" \
        >"$DIR/sipp.out" 2>&1 </dev/null &
    SIPP_PID=$!
    # Ready once its SIP port is taken.
    for i in $(seq 100); do
        python3 -c "import socket,sys; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).bind(('127.0.0.1', $SIP_PORT))" \
            2>/dev/null || break
        kill -0 "$SIPP_PID" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$SIPP_PID" 2>/dev/null && break
    wait "$SIPP_PID"
    SIPP_PID=""
    grep -q "Unable to bind" "$DIR/sipp.out" || { cat "$DIR/sipp.out"; exit 2; }
done
[ -n "$SIPP_PID" ] || { echo "sipp could not bind a port" >&2; exit 2; }

RTP_PORT="$(free_port even)"
# Without per-thread caches the heap's in-use figure counts only live blocks.
export GLIBC_TUNABLES="${GLIBC_TUNABLES:+$GLIBC_TUNABLES:}glibc.malloc.tcache_count=0"
${SOAK_WRAP:-} "$BUILD/bench/soak/callctl_soak" "$SIP_PORT" "$DIR/peer.log" "$CALLS" "$HOLD_MS" "$RTP_PORT"
RC=$?

# sipp ends by itself after CALLS calls; its verdict on them.
for i in $(seq 100); do kill -0 "$SIPP_PID" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$SIPP_PID" 2>/dev/null; then
    kill "$SIPP_PID"
    wait "$SIPP_PID" 2>/dev/null
    echo "  callee: still running after our last call (killed)"
    RC=1
else
    wait "$SIPP_PID"
    SIPP_RC=$?
    echo "  callee: sipp exit status $SIPP_RC, $(grep -c '^end ' "$DIR/peer.log") calls finished"
    [ "$SIPP_RC" = 0 ] || { RC=1; head -c 2000 "$DIR/peer.err" 2>/dev/null; }
fi
SIPP_PID=""
exit "$RC"
