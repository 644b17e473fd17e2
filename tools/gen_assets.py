#!/usr/bin/env python3
"""Generates the program's binary resources: the WAVE sounds, the busy pictures and the icon.

Usage: gen_assets.py OUTDIR

Everything is computed (no input files), so the resources are reproducible from the repository.
Sounds are 16-bit mono PCM at 8000 Hz. The digit sounds are the real DTMF tone pairs.
"""
import math
import os
import struct
import zlib
import sys
import wave

RATE = 8000


def tone(freqs, ms, level=0.35, fade_ms=8):
    n = int(RATE * ms / 1000)
    fade = int(RATE * fade_ms / 1000)
    out = []
    for i in range(n):
        v = sum(math.sin(2 * math.pi * f * i / RATE) for f in freqs) / max(1, len(freqs))
        g = 1.0
        if i < fade:
            g = i / fade
        elif i >= n - fade:
            g = (n - 1 - i) / fade
        out.append(v * g * level)
    return out


def silence(ms):
    return [0.0] * int(RATE * ms / 1000)


def click():
    n = int(RATE * 0.035)
    return [math.sin(2 * math.pi * 1800 * i / RATE) * math.exp(-i / 40.0) * 0.5 for i in range(n)]


def buzz(ms):
    # a low, rough tone: fundamental plus odd harmonics
    n = int(RATE * ms / 1000)
    out = []
    for i in range(n):
        t = i / RATE
        v = sum(math.sin(2 * math.pi * 180 * k * t) / k for k in (1, 3, 5, 7))
        g = min(1.0, i / 40, (n - 1 - i) / 40)
        out.append(v * g * 0.3)
    return out


def write_wave(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", int(max(-1, min(1, s)) * 32767)) for s in samples))


DTMF = {
    "1": (697, 1209), "2": (697, 1336), "3": (697, 1477),
    "4": (770, 1209), "5": (770, 1336), "6": (770, 1477),
    "7": (852, 1209), "8": (852, 1336), "9": (852, 1477),
    "*": (941, 1209), "0": (941, 1336), "#": (941, 1477),
}


def sounds():
    s = {}
    for d in "123456789":
        s[133 + int(d)] = tone(DTMF[d], 120)          # 134..142: digits 1..9
    s[143] = tone(DTMF["0"], 120)                     # digit 0
    s[144] = tone(DTMF["*"], 120)                     # keys * and #
    s[145] = tone((620,), 140) + silence(60) + tone((480,), 220)                      # hang up
    s[148] = click()                                                                   # button click
    s[149] = tone((660,), 90) + silence(40) + tone((880,), 120)                       # multi-party call placed
    s[151] = buzz(320)                                                                 # refusal or failure
    s[152] = tone((523,), 110) + tone((659,), 110) + tone((784,), 200)                # line registered
    s[153] = tone((784,), 120) + tone((659,), 120) + tone((523,), 240)                # call ended by the network
    s[164] = tone((440, 480), 420)                                                    # call request sent
    return s


def write_bmp24(path, width, height, pixel):
    """pixel(x, y) -> (r, g, b); rows are stored bottom-up, padded to 4 bytes."""
    row = (width * 3 + 3) & ~3
    data = bytearray()
    for y in range(height - 1, -1, -1):
        line = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            line += bytes((b, g, r))
        line += b"\0" * (row - len(line))
        data += line
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


def busy_picture(step):
    """144 x 14: a track of twelve blocks with a bright group of three that moves on each step."""
    def px(x, y):
        bg = (236, 240, 246)
        if y == 0 or y == 13 or x == 0 or x == 143:
            return (150, 165, 190)
        block, inner = divmod(x - 2, 12)
        if block < 0 or block > 11 or inner >= 10 or y < 3 or y > 10:
            return bg
        lit = (block - step * 4) % 12 < 4
        shade = 1.0 - (y - 3) * 0.06
        if lit:
            return (int(40 * shade), int(120 * shade), int(215 * shade))
        return (int(190 * shade), int(205 * shade), int(225 * shade))
    return px


def icon_pixels(size):
    """A blue disc with a white telephone handset, anti-aliased by 4 x 4 supersampling. RGBA."""
    def inside_handset(u, v):
        # u, v in [-1, 1]; handset: a thick arc with a cup at each end
        r = math.hypot(u, v - 0.55)
        ang = math.atan2(v - 0.55, u)
        on_arc = 0.55 < r < 0.88 and ang < -0.5 and ang > -2.64
        cup1 = math.hypot((u + 0.64) / 0.3, (v - 0.08) / 0.24) < 1
        cup2 = math.hypot((u - 0.64) / 0.3, (v - 0.08) / 0.24) < 1
        return on_arc or cup1 or cup2

    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            cover = white = 0
            for sy in range(4):
                for sx in range(4):
                    u = ((x + (sx + 0.5) / 4) / size) * 2 - 1
                    v = ((y + (sy + 0.5) / 4) / size) * 2 - 1
                    if u * u + v * v <= 0.94:
                        cover += 1
                        if inside_handset(u * 1.1, v * 1.1 - 0.12):
                            white += 1
            a = cover / 16
            w = white / max(1, cover)
            t = y / size
            base = (int(30 + 40 * t), int(110 + 40 * (1 - t)), int(225 - 30 * t))
            rgb = tuple(int(b * (1 - w) + 255 * w) for b in base)
            row.append(rgb + (int(255 * a),))
        pixels.append(row)
    return pixels


def png_bytes(px):
    """An RGBA picture as a PNG file (how icons of 256 pixels are stored)."""
    size = len(px)
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in px)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_ico(path, sizes):
    images = []
    for size in sizes:
        px = icon_pixels(size)
        if size >= 256:
            images.append((size, png_bytes(px)))
            continue
        xor = bytearray()
        for y in range(size - 1, -1, -1):
            for r, g, b, a in px[y]:
                xor += bytes((b, g, r, a))
        mask_row = ((size + 31) // 32) * 4
        mask = bytearray()
        for y in range(size - 1, -1, -1):
            bits = bytearray(mask_row)
            for x in range(size):
                if px[y][x][3] < 128:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append((size, info + xor + mask))
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    dirs = b""
    for size, blob in images:
        dirs += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(head + dirs + b"".join(blob for _, blob in images))


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for rid, samples in sounds().items():
        write_wave(os.path.join(out, "sound%d.wav" % rid), samples)
    for rid, step in ((157, 0), (155, 1), (158, 2)):
        write_bmp24(os.path.join(out, "busy%d.bmp" % rid), 144, 14, busy_picture(step))
    # The sizes Windows asks for, from the small title-bar icon to the large tiles.
    write_ico(os.path.join(out, "quillon.ico"), (256, 64, 48, 40, 32, 24, 20, 16))


if __name__ == "__main__":
    main()
