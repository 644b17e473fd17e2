#!/bin/bash
# The Windows program measured from outside under Wine, as a subscriber runs it (the
# stripped binaries of the release package) against the demo service:
#   - memory: the Linux process's anonymous resident memory (RssAnon) at the login
#     window, registered and idle, and in an answered call, against an empty dialog
#     program that starts OLE, the common controls and the WinMM device lists;
#   - CPU: user + system time of the process over CPU_S seconds registered and idle,
#     in a G.711 call, and in a G.729 call with echo cancellation, noise reduction and
#     gain on.
# For reading the memory rows it also prints the registered and in-call figures above the
# same empty program after it opened and closed a wave-in device once (no goal).
# Prints one tab-separated row per measure (measure, ours, peer, ratio, goal, met); the
# probe's raw lines go to standard error.
#
#   bench/winprog/run.sh [build-win]        (starts the Windows test bed itself)
#   CPU_S=60 SETTLE_S=5 by default.
set -eu
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build-win}" && pwd)"
if [ -z "${QUILLON_TESTBED:-}" ]; then
    cmake --build "$BUILD" --target Quillon SkinFeature callctl quillon_probe quillon_baseline -j2 >/dev/null
    exec "$ROOT/scripts/testbed" "$0" "$BUILD"
fi
CPU_S="${CPU_S:-60}"
SETTLE_S="${SETTLE_S:-5}"
W="$(mktemp -d "${TMPDIR:-/tmp}/quillon-winprog.XXXXXX")"
trap 'rm -rf "$W"' EXIT
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

# Two copies of the distribution folder, stripped as the package ships them; the second
# has the three processing switches on.
for run in g711 g729; do
    cp -r "$BUILD/dist" "$W/$run"
    for f in Quillon.exe callctl.dll SkinFeature.dll; do i686-w64-mingw32-strip --strip-debug "$W/$run/$f"; done
done
printf '<CallInfo>\r\n<audio a11="1" a22="1" a33="1"/>\r\n</CallInfo>\r\n' >"$W/g729/Call.xml"
cp "$BUILD/bench/winprog/quillon_probe.exe" "$BUILD/bench/winprog/quillon_baseline.exe" "$W/"

probe() { wine "$(winpath "$W/quillon_probe.exe")" "$@" 2>/dev/null | tr -d '\r'; }
NUMBER=075512345678
probe baseline "$(winpath "$W/quillon_baseline.exe")" "$SETTLE_S" "$CPU_S" | sed 's/^/baseline:/' | tee "$W/raw" >&2
QUILLON_BASELINE_WAVEIN=1 probe baseline "$(winpath "$W/quillon_baseline.exe")" "$SETTLE_S" 1 | sed 's/^/wavein:/' \
    | tee -a "$W/raw" >&2
"$ROOT/tools/demo/with-service" bash -c "$(declare -f probe winpath); W='$W'; probe phone \"\$(winpath '$W/g711')\" \"\$QUILLON_SERVER_URL\" $NUMBER $SETTLE_S $CPU_S" \
    | sed 's/^/g711:/' | tee -a "$W/raw" >&2
QUILLON_DEMO_PEER_SCENARIO="$ROOT/bench/winprog/answer-echo-g729.xml" \
"$ROOT/tools/demo/with-service" bash -c "$(declare -f probe winpath); W='$W'; probe phone \"\$(winpath '$W/g729')\" \"\$QUILLON_SERVER_URL\" $NUMBER $SETTLE_S $CPU_S" \
    | sed 's/^/g729:/' | tee -a "$W/raw" >&2

python3 - "$W/raw" <<'PY'
import sys
rows = {}
for line in open(sys.argv[1]):
    run, rest = line.rstrip("\n").split(":", 1)
    f = rest.split("\t")
    if len(f) == 6:
        rows[(run, f[0])] = dict(private=int(f[1]), ws=int(f[2]), anon=int(f[3]), cpu=int(f[4]), over=int(f[5]))
def get(run, stage):
    r = rows.get((run, stage))
    if r is None:
        print(f"winprog: no {run} {stage} measurement", file=sys.stderr)
    return r
base = get("baseline", "baseline")
out = []
def mem(label, run, stage, goal):
    r = get(run, stage)
    if r and base:
        above = (r["anon"] - base["anon"]) / 1024
        out.append((label, f"{above:.1f} MB", f"{base['anon']/1024:.1f} MB", "-", f"<= {goal} MB", "yes" if above <= goal else "no"))
def cpu(label, run, stage, goal):
    r = get(run, stage)
    if r:
        share = r["cpu"] / r["over"] * 100
        g = f"<= {goal} %" if goal is not None else "-"
        met = ("yes" if share <= goal else "no") if goal is not None else "-"
        out.append((label, f"{share:.2f} %", f"{base['cpu']/base['over']*100:.2f} %" if base else "-", "-", g, met))
# For reading the rows above: the same empty program that also opened and closed a
# wave-in device once (WinMM's device thread and the PulseAudio session stay).
wavein = get("wavein", "baseline")
def mem_info(label, run, stage):
    r = get(run, stage)
    if r and wavein:
        out.append((label, f"{(r['anon'] - wavein['anon']) / 1024:.1f} MB", f"{wavein['anon']/1024:.1f} MB", "-", "-", "-"))
mem("Quillon.exe memory at login, above baseline (RssAnon)", "g711", "login", 5)
mem("Quillon.exe memory registered idle, above baseline", "g711", "registered", 5)
mem("Quillon.exe memory in a G.711 call, above baseline", "g711", "call", 6)
mem("Quillon.exe memory in a G.729 call with processing, above baseline", "g729", "call", 6)
mem_info("(info) registered idle, above the baseline that also opened a wave-in device", "g711", "registered")
mem_info("(info) in a G.711 call, above the baseline that also opened a wave-in device", "g711", "call")
cpu("Quillon.exe CPU registered idle (baseline idle as peer)", "g711", "registered", 0.3)
cpu("Quillon.exe CPU in a G.711 call", "g711", "call", None)
cpu("Quillon.exe CPU in a G.729 call with AEC, NS, AGC", "g729", "call", 3)
for row in out:
    print("\t".join(row))
PY
