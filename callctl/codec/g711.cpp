// G.711 companding, written from the segment tables of ITU-T G.711.
//
// µ-law: the magnitude of the 14-bit sample plus the bias 33 falls into one
// of eight segments (exponents); the code is sign, exponent and the four bits
// after the leading one, all inverted. A-law: the 13-bit magnitude; segment
// 0 is linear, segments 1-7 keep four bits after the leading one; even bits
// are inverted (XOR 0x55).
//
// A code depends only on the bits the law keeps (the 14 or 13 most
// significant), so the frame coders look every sample up in tables of all
// those inputs, made at compile time from the sample coders' formulas: 16 KB
// for µ-law and 8 KB for A-law, plus 256 samples per law for decoding.
#include "codec.h"

namespace callctl::codec {

namespace {

constexpr uint8_t ulaw_code(int16_t pcm) {
    // Negative samples use the one's complement, so -1 codes like 0.
    int v = pcm < 0 ? (~pcm) >> 2 : pcm >> 2;  // 14-bit magnitude
    v += 33;
    if (v > 0x1FFF) v = 0x1FFF;
    // The segment is where the leading one stands: bit 5 (exponent 0) to bit 12 (7).
    const int exp = (31 - __builtin_clz(unsigned(v))) - 5;
    int mant = (v >> (exp + 1)) & 0x0F;
    return uint8_t((~((exp << 4) | mant) & 0x7F) | (pcm >= 0 ? 0x80 : 0));
}

constexpr int16_t ulaw_code_to_linear(uint8_t code) {
    code = uint8_t(~code);
    int exp = (code >> 4) & 7;
    int mant = code & 0x0F;
    int mag = (((mant << 1) | 0x21) << exp) - 33;  // middle of the interval, 14-bit
    mag <<= 2;
    return int16_t((code & 0x80) ? -mag : mag);
}

constexpr uint8_t alaw_code(int16_t pcm) {
    // bit 7 set for positive values; negative ones use the one's complement
    uint8_t sign = pcm >= 0 ? 0x80 : 0;
    int v = pcm < 0 ? (~pcm) >> 3 : pcm >> 3;  // 13-bit magnitude
    if (v > 4095) v = 4095;
    uint8_t code = 0;
    if (v < 32) {
        code = uint8_t(v >> 1);
    } else {
        int exp = 1;
        for (int x = v >> 5; x > 1; x >>= 1) ++exp;
        code = uint8_t((exp << 4) | ((v >> exp) & 0x0F));
    }
    return uint8_t((sign | code) ^ 0x55);
}

constexpr int16_t alaw_code_to_linear(uint8_t code) {
    code ^= 0x55;
    int exp = (code >> 4) & 7;
    int mant = code & 0x0F;
    int mag = exp == 0 ? (mant << 1) | 1 : ((mant << 1) | 0x21) << (exp - 1);
    mag <<= 3;
    return int16_t((code & 0x80) ? mag : -mag);
}

// Codes by the kept bits of the sample (sample >> 2 or >> 3, from the most
// negative up), and samples by code.
struct Tables {
    static constexpr int kUlawZero = 1 << 13, kAlawZero = 1 << 12;  // where sample 0 is
    uint8_t ulaw[1 << 14] = {};
    uint8_t alaw[1 << 13] = {};
    int16_t ulaw_pcm[256] = {};
    int16_t alaw_pcm[256] = {};
    constexpr Tables() {
        for (int i = 0; i < (1 << 14); ++i) ulaw[i] = ulaw_code(int16_t((i - kUlawZero) * 4));
        for (int i = 0; i < (1 << 13); ++i) alaw[i] = alaw_code(int16_t((i - kAlawZero) * 8));
        for (int c = 0; c < 256; ++c) {
            ulaw_pcm[c] = ulaw_code_to_linear(uint8_t(c));
            alaw_pcm[c] = alaw_code_to_linear(uint8_t(c));
        }
    }
};
constexpr Tables kTables;

}  // namespace

uint8_t linear_to_ulaw(int16_t pcm) { return ulaw_code(pcm); }
int16_t ulaw_to_linear(uint8_t code) { return kTables.ulaw_pcm[code]; }
uint8_t linear_to_alaw(int16_t pcm) { return alaw_code(pcm); }
int16_t alaw_to_linear(uint8_t code) { return kTables.alaw_pcm[code]; }

// Unrolled: a sample is a load, a shift, a look-up and a store, so the loop's own
// count and branch would cost as much again.
void ulaw_encode(const int16_t *pcm, uint8_t *out, size_t n) {
    const uint8_t *code = kTables.ulaw + Tables::kUlawZero;
#pragma GCC unroll 8
    for (size_t i = 0; i < n; ++i) out[i] = code[pcm[i] >> 2];
}

void ulaw_decode(const uint8_t *code, int16_t *out, size_t n) {
#pragma GCC unroll 8
    for (size_t i = 0; i < n; ++i) out[i] = kTables.ulaw_pcm[code[i]];
}

void alaw_encode(const int16_t *pcm, uint8_t *out, size_t n) {
    const uint8_t *code = kTables.alaw + Tables::kAlawZero;
#pragma GCC unroll 8
    for (size_t i = 0; i < n; ++i) out[i] = code[pcm[i] >> 3];
}

void alaw_decode(const uint8_t *code, int16_t *out, size_t n) {
#pragma GCC unroll 8
    for (size_t i = 0; i < n; ++i) out[i] = kTables.alaw_pcm[code[i]];
}

}  // namespace callctl::codec
