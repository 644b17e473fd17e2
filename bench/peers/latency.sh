#!/bin/bash
# The latency rows of the side-by-side table: round-trip audio latency through
# a sipp peer echoing the RTP, ours (callctl_media_latency.exe under Wine)
# and baresip's, in one Windows test-bed run with the same tones and the same
# analysis (bench/callctl-media/latency.sh; about two minutes).
#
#   bench/peers/latency.sh [BUILD]     (BUILD: $WIN_BUILD, else build-win)
#
# Prints one tab-separated row per comparison (measure, ours, baresip,
# linphonec, ratio, goal, met): baresip with its default audio driver, alsa
# (through ALSA's PulseAudio plugin), and baresip with its pulse module. The
# onsets and the round trip of every tone go to standard error.
set -u
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="${1:-${WIN_BUILD:-$ROOT/build-win}}"
OUT="$(mktemp)"
trap 'rm -f "$OUT"' EXIT
"$ROOT/bench/callctl-media/latency.sh" "$BUILD" ours baresip baresip-pulse >"$OUT"
status=$?
cat "$OUT" >&2
python3 - "$OUT" <<'PY'
import re, sys
found = {}
for line in open(sys.argv[1]):
    m = re.match(r"(\S+): round-trip latency, median of (\d+) tones: (\d+) ms", line)
    if m:
        found[m.group(1)] = (int(m.group(3)), int(m.group(2)))
ours = found.get("ours")

def row(peer, label):
    b = found.get(peer)
    tones = []
    for name, v in (("ours", ours), (peer, b)):
        if v and v[1] != 10:
            tones.append(f"{name} {v[1]} of 10 tones")
    measure = f"Round-trip latency, ms, median of 10 tones ({label}" + "".join("; " + t for t in tones) + ")"
    ratio = f"{ours[0] / b[0]:.2f}" if ours and b else "-"
    # A tone that did not come back leaves the measurement short: not met.
    met = "NO"
    if ours and b and not tones:
        met = "yes" if ours[0] <= 100 and ours[0] <= 0.5 * b[0] else "NO"
    print("\t".join([measure, str(ours[0]) if ours else "-", str(b[0]) if b else "-", "-", ratio,
                     "<= 100 ms, <= 0.5x baresip", met]))

row("baresip", "baresip: alsa, ALSA's pulse plugin")
row("baresip-pulse", "baresip: pulse module")
PY
exit $status
