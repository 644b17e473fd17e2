#include "wave.h"

#include <cstring>

#include "../base/base.h"

namespace callctl::media {

namespace {
void put32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
}  // namespace

void wave_header(uint32_t data_bytes, uint8_t h[44]) {
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 36 + data_bytes);
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    put32(h + 16, 16);
    put16(h + 20, 1);      // PCM
    put16(h + 22, 1);      // mono
    put32(h + 24, 8000);   // samples per second
    put32(h + 28, 16000);  // bytes per second
    put16(h + 32, 2);      // block align
    put16(h + 34, 16);     // bits per sample
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, data_bytes);
}

bool WaveWriter::open(const std::string &gbk_path) {
    close();
    f_ = create_file_gbk(gbk_path);
    if (!f_) return false;
    data_bytes_ = 0;
    since_header_ = 0;
    write_header();
    return true;
}

void WaveWriter::write_header() {
    uint8_t h[44];
    wave_header(data_bytes_, h);
    std::fseek(f_, 0, SEEK_SET);
    std::fwrite(h, 1, sizeof h, f_);
    std::fseek(f_, 0, SEEK_END);
    std::fflush(f_);
}

void WaveWriter::write(const int16_t *pcm, size_t n) {
    if (!f_ || n == 0) return;
    if (data_bytes_ + n * 2 > 0x7FFFFF00u) return;  // 4 GiB header limit: stop growing
    uint8_t b[2 * 480];
    while (n) {
        size_t k = n < 480 ? n : 480;
        for (size_t i = 0; i < k; ++i) {
            b[2 * i] = uint8_t(pcm[i]);
            b[2 * i + 1] = uint8_t(uint16_t(pcm[i]) >> 8);
        }
        std::fwrite(b, 1, 2 * k, f_);
        data_bytes_ += uint32_t(2 * k);
        since_header_ += uint32_t(k);
        pcm += k;
        n -= k;
    }
    if (since_header_ >= kHeaderEverySamples) {
        since_header_ = 0;
        write_header();
    }
}

void WaveWriter::close() {
    if (!f_) return;
    write_header();
    std::fclose(f_);
    f_ = nullptr;
}

}  // namespace callctl::media
