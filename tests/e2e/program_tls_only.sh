#!/bin/bash
# tests/e2e/program_tls_only.sh BUILD_WIN: the program itself where only TLS reaches the
# call server (run by scripts/test inside tools/demo/with-udp-dropped, with
# QUILLON_DEMO_DROP_TCP=1 and baresip, SRTP only, as the answering peer): it signs in
# over HTTPS, registers, places a call that is answered, and keeps the way that worked
# in Call.xml beside what the file held.
set -u
BUILD="$1"
RESULT="${2:-}"  # a GoogleTest-style result file, for the test count
W="$(mktemp -d "${TMPDIR:-/tmp}/quillon-tls-only.XXXXXX")"
trap 'rm -rf "$W"' EXIT
cp -r "$BUILD/dist" "$W/app"
cp "$BUILD/bench/winprog/quillon_probe.exe" "$W/"
before="$(cat "$W/app/Call.xml")"
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
out="$(wine "$(winpath "$W/quillon_probe.exe")" phone "$(winpath "$W/app")" "$QUILLON_SERVER_URL" 075512345678 1 1 \
       2>&1 | tr -d '\r')"
echo "$out"
status=0
for stage in login registered call; do
    echo "$out" | grep -q "^$stage"$'\t' || { echo "FAILED: the program did not reach \"$stage\""; status=1; }
done
domain="$(awk '{print $4}' "$QUILLON_DEMO_DIR/accounts")"
grep -q "<sippath domain=\"$domain\" way=\"tls:5061\"/>" "$W/app/Call.xml" ||
    { echo "FAILED: Call.xml does not keep the way:"; cat "$W/app/Call.xml"; status=1; }
# What the file held before is still there, in its order.
python3 - "$W/app/Call.xml" "$before" <<'PY' || status=1
import sys
now = open(sys.argv[1], encoding="utf-8").read()
kept = [l for l in sys.argv[2].splitlines() if l and not l.startswith("</")]
at = 0
for line in kept:
    at = now.find(line, at)
    if at < 0:
        sys.exit("FAILED: Call.xml lost %r" % line)
PY
if [ -n "$RESULT" ]; then
    failure=""
    [ $status = 0 ] || failure='<failure message="see the test output"/>'
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<testsuites><testsuite name="ProgramTlsOnly" tests="1"><testcase name="SignsInRegistersAndCallsOverTls" status="run" result="completed">%s</testcase></testsuite></testsuites>\n' \
        "$failure" >"$RESULT"
fi
exit $status
