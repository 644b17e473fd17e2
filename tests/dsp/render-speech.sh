#!/bin/sh
# render-speech.sh OUTDIR
# Speaks the two test talkers with espeak-ng into OUTDIR/far.wav (the remote
# party, a male voice) and OUTDIR/near.wav (the local talker, a female
# voice). Without espeak-ng it says so and writes nothing, so that the tests
# reading these files fail rather than the whole build.
set -u
out=$1
mkdir -p "$out"
rm -f "$out/far.wav" "$out/near.wav"
if ! command -v espeak-ng >/dev/null 2>&1; then
    echo "render-speech: espeak-ng is not installed; the dsp tests will fail" >&2
    exit 0
fi
espeak-ng -v en-us -s 160 -w "$out/far.wav" \
    "The quick brown fox jumps over the lazy dog. Please call me back when you get \
this message, I will be at the office until six. The weather tomorrow will be cloudy \
with a chance of rain in the afternoon, so bring an umbrella if you go out." || rm -f "$out/far.wav"
espeak-ng -v en+f3 -s 150 -w "$out/near.wav" \
    "Hello, can you hear me now? I am calling about the invoice from last week. \
Seven, four, two, nine, one. Thank you very much, goodbye." || rm -f "$out/near.wav"
exit 0
