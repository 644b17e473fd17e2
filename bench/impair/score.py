#!/usr/bin/python3
"""What the listener heard, against what was said (bench/impair).

  score.py REF REC [--ref-channel N] [--rec-channel N]

REF is what went into the phone's microphone, REC what its speaker played,
on one time line (both files start together: a phone's file devices, or two
channels of one recording). Both 8 kHz; WAVE or raw s16le (raw: mono unless
a channel is named, then stereo).

1. Alignment: the cross-correlation of the whole files (by FFT) gives the
   lag of REC behind REF, searched from 0 to 2 s. Then each 1 s segment of
   REF is matched again within +-250 ms of that lag, so a jitter buffer that
   grows or shrinks during the call is followed; a segment whose best
   normalised correlation is under 0.5 (silence, or too damaged) takes its
   nearest matched neighbour's lag. Each 20 ms frame then takes its
   segment's lag or a neighbouring segment's, whichever fits it best (where
   the playout delay changed inside a segment). The delay reported is the
   median of the matched segments' lags (the mouth-to-ear round trip), with
   the smallest and largest. Where fewer than half the segments with speech
   matched, the recording hardly resembles the speech and that delay says
   little.
2. Level: one gain for the whole of REC, the median over active frames of
   the level difference, so a program that plays quieter or louder is not
   counted as distortion.
3. Active frames: REF's level at most 30 dB under its loudest frame (and
   above -55 dBFS).
4. Log-spectral distance: 20 ms frames (Hann, FFT 256), bins from 100 to
   3700 Hz, per frame the RMS over bins of the difference of 10 log10(power
   + floor), the floor 50 dB under REF's mean power per bin over its active
   frames; the mean over active frames, in dB.
5. Gaps: 10 ms frames where REF is active and REC is 20 dB or more under it;
   runs of at least four such frames (40 ms) are gaps: their count and total
   length.
"""
import argparse
import json
import sys
import wave

import numpy as np

FS = 8000


def load(path, channel=None):
    """Samples as float (full scale 1.0) of one channel of a WAVE or raw file."""
    with open(path, "rb") as f:
        head = f.read(12)
    if head[:4] == b"RIFF" and head[8:12] == b"WAVE":
        with wave.open(path) as w:
            if w.getsampwidth() != 2:
                raise ValueError(f"{path}: not 16-bit")
            if w.getframerate() != FS:
                raise ValueError(f"{path}: {w.getframerate()} Hz, not {FS}")
            ch = w.getnchannels()
            x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
    else:
        ch = 1 if channel is None else 2
        x = np.fromfile(path, dtype="<i2")
    x = x[: len(x) - len(x) % ch].reshape(-1, ch)
    return x[:, channel or 0].astype(np.float64) / 32768.0


def xcorr(a, b):
    """c[k] = sum a[n] b[n + k] for k >= 0 (b lags a by k)."""
    n = 1 << int(np.ceil(np.log2(len(a) + len(b))))
    return np.fft.irfft(np.conj(np.fft.rfft(a, n)) * np.fft.rfft(b, n), n)


def frames(x, size):
    n = len(x) // size
    return x[: n * size].reshape(n, size)


def level_db(fr):
    return 10 * np.log10(np.mean(fr * fr, axis=1) + 1e-12)


def score(ref, rec, max_lag_s=2.0, seg_s=1.0, search_s=0.250):
    """Figures of REC against REF (dict)."""
    max_lag, seg, search = int(max_lag_s * FS), int(seg_s * FS), int(search_s * FS)
    if len(rec) < len(ref) + max_lag + search:
        rec = np.concatenate([rec, np.zeros(len(ref) + max_lag + search - len(rec))])
    c = xcorr(ref, rec)[: max_lag + 1]
    lag0 = int(np.argmax(c))

    # Per segment, around lag0.
    lags, voiced = [], 0
    for start in range(0, len(ref), seg):
        r = ref[start:start + seg]
        if len(r) < seg // 2 or np.sqrt(np.mean(r * r)) < 10 ** (-50 / 20):
            lags.append(None)
            continue
        voiced += 1
        lo = max(0, start + lag0 - search)
        w = rec[lo:start + len(r) + lag0 + search]
        cc = xcorr(r, w)[: len(w) - len(r) + 1]
        k = int(np.argmax(cc))
        e = np.sqrt(np.sum(r * r) * np.sum(w[k:k + len(r)] ** 2)) + 1e-12
        lags.append(max(0, lo + k - start) if cc[k] / e >= 0.5 else None)
    found = [g for g in lags if g is not None]
    # A segment without a match of its own takes its nearest neighbour's lag.
    seg_lags = []
    for i, g in enumerate(lags):
        if g is None:
            near = [(abs(j - i), lags[j]) for j in range(len(lags)) if lags[j] is not None]
            g = min(near)[1] if near else lag0
        seg_lags.append(g)

    # REC moved onto REF's time line frame by frame (20 ms): each frame takes
    # the lag of its segment or of a neighbouring one, whichever matches it
    # best, so a playout delay that changes inside a segment is followed from
    # the frame where it changed. In a segment whose neighbours found the same
    # lag there is nothing to choose.
    F20 = 160
    aligned = np.zeros(len(ref))
    for a in range(0, len(ref) - F20 + 1, F20):
        i = a // seg
        cands = {seg_lags[j] for j in (i - 1, i, i + 1) if 0 <= j < len(seg_lags)}
        r = ref[a:a + F20]
        best = min(cands, key=lambda g: (np.sum((rec[a + g:a + g + F20] - r) ** 2), g != seg_lags[i]))
        aligned[a:a + F20] = rec[a + best:a + best + F20]

    # Activity and level on 20 ms frames.
    fr, fa = frames(ref, F20), frames(aligned, F20)
    lr, la = level_db(fr), level_db(fa)
    active = (lr >= lr.max() - 30) & (lr > -55)
    diff = lr[active] - la[active]
    gain_db = float(np.median(np.clip(diff, -40, 40)))
    aligned *= 10 ** (gain_db / 20)
    fa = frames(aligned, F20)

    # Log-spectral distance.
    win = np.hanning(F20)
    pr = np.abs(np.fft.rfft(fr * win, 256)) ** 2
    pa = np.abs(np.fft.rfft(fa * win, 256)) ** 2
    freqs = np.fft.rfftfreq(256, 1 / FS)
    band = (freqs >= 100) & (freqs <= 3700)
    pr, pa = pr[:, band], pa[:, band]
    floor = 1e-5 * np.mean(pr[active])
    d = 10 * np.log10(pr + floor) - 10 * np.log10(pa + floor)
    lsd_frames = np.sqrt(np.mean(d * d, axis=1))
    lsd = float(np.mean(lsd_frames[active]))

    # Gaps on 10 ms frames.
    F10 = 80
    lr10, la10 = level_db(frames(ref, F10)), level_db(frames(aligned, F10))
    act10 = (lr10 >= lr.max() - 30) & (lr10 > -55)
    hole = act10 & (la10 <= lr10 - 20)
    runs, n = [], 0
    for h in np.append(hole, False):
        if h:
            n += 1
        else:
            if n >= 4:
                runs.append(n * 10)
            n = 0

    ms = lambda g: 1000.0 * g / FS
    return {
        "lag_ms": ms(lag0),
        "delay_ms": ms(float(np.median(found))) if found else ms(lag0),
        "delay_min_ms": ms(min(found)) if found else ms(lag0),
        "delay_max_ms": ms(max(found)) if found else ms(lag0),
        "segments": len(lags),
        "segments_voiced": voiced,
        "segments_matched": len(found),
        "gain_db": gain_db,
        "lsd_db": lsd,
        "active_s": float(np.sum(active)) * F20 / FS,
        "gaps": len(runs),
        "gap_ms": int(sum(runs)),
        "longest_gap_ms": int(max(runs)) if runs else 0,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("ref")
    ap.add_argument("rec")
    ap.add_argument("--ref-channel", type=int)
    ap.add_argument("--rec-channel", type=int)
    args = ap.parse_args()
    r = score(load(args.ref, args.ref_channel), load(args.rec, args.rec_channel))
    json.dump(r, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main()
