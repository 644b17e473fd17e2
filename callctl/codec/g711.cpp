// G.711 companding, written from the segment tables of ITU-T G.711.
//
// µ-law: the magnitude of the 14-bit sample plus the bias 33 falls into one
// of eight segments (exponents); the code is sign, exponent and the four bits
// after the leading one, all inverted. A-law: the 13-bit magnitude; segment
// 0 is linear, segments 1-7 keep four bits after the leading one; even bits
// are inverted (XOR 0x55).
#include "codec.h"

namespace callctl::codec {

uint8_t linear_to_ulaw(int16_t pcm) {
    // Negative samples use the one's complement, so -1 codes like 0.
    int v = pcm < 0 ? (~pcm) >> 2 : pcm >> 2;  // 14-bit magnitude
    v += 33;
    if (v > 0x1FFF) v = 0x1FFF;
    // The segment is where the leading one stands: bit 5 (exponent 0) to bit 12 (7).
    const int exp = (31 - __builtin_clz(unsigned(v))) - 5;
    int mant = (v >> (exp + 1)) & 0x0F;
    return uint8_t((~((exp << 4) | mant) & 0x7F) | (pcm >= 0 ? 0x80 : 0));
}

namespace {

constexpr int16_t ulaw_code_to_linear(uint8_t code) {
    code = uint8_t(~code);
    int exp = (code >> 4) & 7;
    int mant = code & 0x0F;
    int mag = (((mant << 1) | 0x21) << exp) - 33;  // middle of the interval, 14-bit
    mag <<= 2;
    return int16_t((code & 0x80) ? -mag : mag);
}

// All 256 codes decoded at compile time.
struct UlawTable {
    int16_t pcm[256] = {};
    constexpr UlawTable() {
        for (int c = 0; c < 256; ++c) pcm[c] = ulaw_code_to_linear(uint8_t(c));
    }
};
constexpr UlawTable kUlaw;

}  // namespace

int16_t ulaw_to_linear(uint8_t code) { return kUlaw.pcm[code]; }

uint8_t linear_to_alaw(int16_t pcm) {
    // bit 7 set for positive values; negative ones use the one's complement
    uint8_t sign = pcm >= 0 ? 0x80 : 0;
    int v = pcm < 0 ? (~pcm) >> 3 : pcm >> 3;  // 13-bit magnitude
    if (v > 4095) v = 4095;
    uint8_t code;
    if (v < 32) {
        code = uint8_t(v >> 1);
    } else {
        int exp = 1;
        for (int x = v >> 5; x > 1; x >>= 1) ++exp;
        code = uint8_t((exp << 4) | ((v >> exp) & 0x0F));
    }
    return uint8_t((sign | code) ^ 0x55);
}

int16_t alaw_to_linear(uint8_t code) {
    code ^= 0x55;
    int exp = (code >> 4) & 7;
    int mant = code & 0x0F;
    int mag = exp == 0 ? (mant << 1) | 1 : ((mant << 1) | 0x21) << (exp - 1);
    mag <<= 3;
    return int16_t((code & 0x80) ? mag : -mag);
}

void ulaw_encode(const int16_t *pcm, uint8_t *out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = linear_to_ulaw(pcm[i]);
}

void ulaw_decode(const uint8_t *code, int16_t *out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = kUlaw.pcm[code[i]];
}

void alaw_encode(const int16_t *pcm, uint8_t *out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = linear_to_alaw(pcm[i]);
}

void alaw_decode(const uint8_t *code, int16_t *out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = alaw_to_linear(code[i]);
}

}  // namespace callctl::codec
