#!/bin/bash
# Round-trip audio latency of a call through an echoing peer, on the Windows
# test bed: from a tone's onset in the microphone sink to its onset in the
# speaker sink, median over ten tones. Goal: <= 100 ms.
#
#   bench/callctl-media/latency.sh [BUILD] [PHONE...]
#
# PHONE is `ours` (callctl_media_latency.exe from BUILD, default build-win,
# under Wine; the default), `baresip` or `baresip-pulse` (Debian's baresip
# on the same sinks); each gets the same tones, the same echoing peer and
# the same analysis, one after the other in one test bed. Run outside the
# bed, the script builds our program and starts the bed itself; inside it
# (scripts/testbed bench/callctl-media/latency.sh ...) it builds there,
# unless LATENCY_NO_BUILD=1 says to take BUILD's program as it is.
#
# Each 20 ms tone burst is played into a combined sink that feeds both the
# microphone sink (which the phone records) and the speaker sink directly,
# so one recording of the speaker sink holds the burst at its onset and
# again when it has been through the phone, the RTP echo and back.
#
# Standard output: one line per phone,
#   PHONE: round-trip latency, median of N tones: M ms (goal <= 100 ms: met)
# Standard error: the onsets found and the round trip of every tone.
#
# baresip runs with its own temporary home and configuration: its default
# `alsa` driver, with ALSA devices of the PulseAudio plugin (an .asoundrc in
# that home) on the bed's `microphone.monitor` source and `speakers` sink,
# PCMU only, its default jitter buffer and audio buffer (BARESIP_JITTER=A-B
# frames and BARESIP_AUDIO_BUFFER=A-B ms set them instead), dialling with
# `-e "/dial URI"`. `baresip-pulse` is the same with baresip's `pulse`
# module on the same source and sink instead of `alsa`.
#
# LATENCY_KEEP=PREFIX keeps each phone's recording as PREFIX-PHONE.raw
# (8 kHz, s16le, mono), its output as PREFIX-PHONE.log and the peer's as
# PREFIX-sipp-PHONE.log; LATENCY_TRACE=FILE takes our phone's stderr.
set -eu
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="${1:-$ROOT/build-win}"
[ $# -gt 0 ] && shift
PHONES="${*:-ours}"
for phone in $PHONES; do
    case "$phone" in
        ours)
            if [ "${LATENCY_NO_BUILD:-0}" != 1 ]; then
                cmake --build "$BUILD" --target callctl_media_latency -j2 >/dev/null
            fi
            [ -f "$BUILD/bench/callctl-media/callctl_media_latency.exe" ] \
                || { echo "no callctl_media_latency.exe in $BUILD" >&2; exit 2; } ;;
        baresip|baresip-pulse)
            # Debian's baresip-core has no pulse module: baresip-x11 holds it
            # (/usr/lib/baresip/modules/pulse.so).
            pkgs="baresip-core"
            [ "$phone" = baresip-pulse ] && pkgs="$pkgs baresip-x11"
            for p in $pkgs; do
                dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
                [ -n "${QUILLON_TESTBED:-}" ] && { echo "$p is not installed" >&2; exit 2; }
                SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
                $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p" >/dev/null
            done
            command -v baresip >/dev/null || { echo "baresip is not installed" >&2; exit 2; } ;;
        *) echo "unknown phone: $phone (ours, baresip, baresip-pulse)" >&2; exit 2 ;;
    esac
done
if [ -z "${QUILLON_TESTBED:-}" ]; then
    LATENCY_NO_BUILD=1 exec "$ROOT/scripts/testbed" "$0" "$BUILD" $PHONES
fi
W="$(mktemp -d)"
PIDS=""
# Ends what was started, last first: the phone hangs up while its peer can
# still answer the BYE.
stop_all() {
    local p rev=""
    for p in $PIDS; do rev="$p $rev"; done
    for p in $rev; do
        kill "$p" 2>/dev/null || continue
        for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    PIDS=""
}
cleanup() {
    stop_all
    [ -n "${MOD:-}" ] && pactl unload-module "$MOD" 2>/dev/null || true
    rm -rf "$W"
}
trap cleanup EXIT

MOD="$(pactl load-module module-combine-sink sink_name=both slaves=microphone,speakers)"
python3 - "$W/tones.raw" <<'PY'
import math, struct, sys
rate, out = 8000, []
out += [0] * int(0.5 * rate)
for k in range(10):
    out += [int(12000 * math.sin(2 * math.pi * 1000 * i / rate)) for i in range(int(0.02 * rate))]
    out += [0] * int(0.98 * rate)
open(sys.argv[1], "wb").write(struct.pack("<%dh" % len(out), *out))
PY

free_udp_port() {
    python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# The echoing callee: answers with PCMU and sends every RTP packet back.
start_echo_peer() {
    SIP_PORT=$(free_udp_port)
    MEDIA_PORT=$(( (SIP_PORT + 2000) % 30000 + 20000 ))
    MEDIA_PORT=$(( MEDIA_PORT & ~1 ))
    sipp -sf "$ROOT/tests/callctl/scenarios/echo_callee.xml" -i 127.0.0.1 -p "$SIP_PORT" -mp "$MEDIA_PORT" \
         -rtp_echo -m 1 -nostdin -timeout 60 >"$W/sipp-$1.log" 2>&1 &
    PIDS="$PIDS $!"
    sleep 0.5
}

start_ours() {
    CALLCTL_MEDIA_TRACE="${CALLCTL_MEDIA_TRACE:-0}" wine "$BUILD/bench/callctl-media/callctl_media_latency.exe" \
        "$SIP_PORT" 16 >"$PHONE_LOG" 2>"${LATENCY_TRACE:-/dev/null}" &
    PHONE_PID=$!
    PIDS="$PIDS $PHONE_PID"
    CONNECTED=connected
}

start_baresip() {
    local home="$W/home-$PHONE" driver="${1:-alsa}" src play
    mkdir -p "$home/.baresip"
    # ALSA devices on the bed's PulseAudio (libasound2-plugins' pulse plugin).
    cat >"$home/.asoundrc" <<'ASOUND'
pcm.bed_microphone {
    type pulse
    device "microphone.monitor"
}
pcm.bed_speakers {
    type pulse
    device "speakers"
}
ASOUND
    if [ "$driver" = pulse ]; then
        src="pulse,microphone.monitor"; play="pulse,speakers"
    else
        src="alsa,bed_microphone"; play="alsa,bed_speakers"
    fi
    local rtp
    rtp=$(( ($(free_udp_port) % 20000 + 30000) & ~1 ))
    {
        printf 'poll_method\t\tepoll\n'
        printf 'sip_listen\t\t127.0.0.1:%s\n' "$(free_udp_port)"
        printf 'audio_player\t\t%s\n' "$play"
        printf 'audio_source\t\t%s\n' "$src"
        printf 'audio_alert\t\talsa,null\n'
        printf 'rtp_ports\t\t%s-%s\n' "$rtp" "$((rtp + 9))"
        [ -n "${BARESIP_JITTER:-}" ] && printf 'jitter_buffer_delay\t%s\n' "$BARESIP_JITTER"
        [ -n "${BARESIP_AUDIO_BUFFER:-}" ] && printf 'audio_buffer\t\t%s\n' "$BARESIP_AUDIO_BUFFER"
        printf 'module_path\t\t/usr/lib/baresip/modules\n'
        printf 'module\t\t\tg711.so\n'
        printf 'module\t\t\t%s.so\n' "$driver"
        printf 'module_app\t\taccount.so\n'
        printf 'module_app\t\tmenu.so\n'
    } >"$home/.baresip/config"
    printf '<sip:latency@127.0.0.1>;regint=0;audio_codecs=PCMU\n' >"$home/.baresip/accounts"
    HOME="$home" baresip -f "$home/.baresip" -e "/dial sip:80000@127.0.0.1:$SIP_PORT" \
        </dev/null >"$PHONE_LOG" 2>&1 &
    PIDS="$PIDS $!"
    CONNECTED="Call established"
}

start_baresip-pulse() {
    start_baresip pulse
}

# Plays the tones with the phone in a call and writes the speaker sink's
# recording to $W/heard-PHONE.raw.
measure() {
    local phone="$1"
    PHONE="$phone" PHONE_LOG="$W/$phone.log"
    start_echo_peer "$phone"
    "start_$phone"
    for _ in $(seq 100); do grep -q "$CONNECTED" "$PHONE_LOG" && break; sleep 0.1; done
    if ! grep -q "$CONNECTED" "$PHONE_LOG"; then
        cat "$PHONE_LOG" "$W/sipp-$phone.log" >&2
        echo "$phone: call did not connect" >&2
        return 1
    fi
    sleep 1.5   # let the devices open and the jitter buffer settle
    parec --device=speakers.monitor --format=s16le --rate=8000 --channels=1 --raw --latency-msec=10 \
        "$W/heard-$phone.raw" &
    local rec=$!
    PIDS="$PIDS $rec"
    sleep 0.3
    pacat --device=both --format=s16le --rate=8000 --channels=1 --raw --latency-msec=10 "$W/tones.raw"
    sleep 1
    kill "$rec" 2>/dev/null || true
    wait "$rec" 2>/dev/null || true
    # Ours hangs up by itself when its time is up; baresip hangs up on SIGTERM.
    [ "$phone" = ours ] && for _ in $(seq 60); do kill -0 "$PHONE_PID" 2>/dev/null || break; sleep 0.1; done
    stop_all
    if [ -n "${LATENCY_KEEP:-}" ]; then
        cp "$W/heard-$phone.raw" "$LATENCY_KEEP-$phone.raw"
        cp "$PHONE_LOG" "$LATENCY_KEEP-$phone.log"
        cp "$W/sipp-$phone.log" "$LATENCY_KEEP-sipp-$phone.log"
    fi
}

analyse() {
    python3 - "$W/heard-$1.raw" "$1" <<'PY'
import struct, sys, statistics
data = open(sys.argv[1], "rb").read()
phone = sys.argv[2]
x = struct.unpack("<%dh" % (len(data) // 2), data[: len(data) // 2 * 2])
# Envelope over 2 ms blocks. After at least 10 ms below a tenth of the
# burst level (so an echo 30 ms or more after its burst's onset is told
# apart from it), a burst's onset is the first block at or above a tenth
# of that level, counted once a block of the same rise passes a third of it.
blk = 16
env = [max(abs(v) for v in x[i:i + blk]) for i in range(0, len(x) - blk, blk)]
peak = max(env) if env else 0
onsets, quiet, armed, rise = [], 0, False, None
for i, e in enumerate(env):
    if e < peak / 10:
        quiet += 1
        rise = None
        armed = armed or quiet >= 5
        continue
    quiet = 0
    if armed:
        rise = i if rise is None else rise
        if e > peak / 3:
            onsets.append(rise * blk / 8.0)
            armed, rise = False, None
# Bursts are a second apart, or later when the bed stalls under load (the
# player never runs ahead). The first onset is the first burst's; each next
# burst's is the first onset 970 ms or more after the last; a tone's echo is
# the first onset from 30 ms after its burst's onset to the next burst's
# (at most 900 ms), so a burst that a dropout splits in two counts once,
# and a lost echo is lost.
lat, k, d = [], 0, (onsets[0] if onsets else None)
while d is not None and k < 10:
    nxt = next((o for o in onsets if o >= d + 970), None)
    e = [o for o in onsets if d + 30 <= o < min(d + 900, nxt if nxt is not None else d + 900)]
    if e:
        lat.append(e[0] - d)
    d, k = nxt, k + 1
err = sys.stderr
print(f"{phone}: onsets (ms):", " ".join("%.0f" % o for o in onsets), file=err)
if len(lat) < 10:
    print(f"{phone}: only {len(lat)} of 10 tones came back", file=err)
if not lat:
    sys.exit(1)
print(f"{phone}: round trip per tone (ms):", " ".join("%.0f" % l for l in lat), file=err)
m = statistics.median(lat)
print("%s: round-trip latency, median of %d tones: %.0f ms (goal <= 100 ms: %s)"
      % (phone, len(lat), m, "met" if m <= 100 else "NOT met"))
PY
}

status=0
for phone in $PHONES; do
    if measure "$phone"; then
        analyse "$phone" || { echo "$phone: no echoed tone found" >&2; status=1; }
    else
        stop_all
        status=1
    fi
done
exit $status
