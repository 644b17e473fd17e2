// WAVE recording: PCM 16-bit mono 8 kHz, a 44-byte header ("RIFF", "WAVE",
// a 16-byte "fmt " chunk, "data").
//
// The header's two sizes are rewritten and the file flushed every
// kHeaderEverySamples samples (one second), so a process that dies while
// recording leaves a file whose header covers all but the last second at
// most, and which plays.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace callctl::media {

class WaveWriter {
public:
    static constexpr uint32_t kHeaderEverySamples = 8000;
    static constexpr uint32_t kHeaderSize = 44;

    WaveWriter() = default;
    ~WaveWriter() { close(); }
    WaveWriter(const WaveWriter &) = delete;
    WaveWriter &operator=(const WaveWriter &) = delete;

    // Creates the file at a GBK path and writes an empty header. The file
    // must be new: a name something already has is refused and that file is
    // left as it is (an earlier recording is never truncated). False, with
    // nothing created, also when the folder does not exist or the file
    // cannot be written.
    bool open(const std::string &gbk_path);
    void write(const int16_t *pcm, size_t n);
    // Final header, close. Harmless when not open.
    void close();
    bool is_open() const { return f_ != nullptr; }
    uint32_t samples() const { return data_bytes_ / 2; }

private:
    void write_header();

    FILE *f_ = nullptr;
    uint32_t data_bytes_ = 0;
    uint32_t since_header_ = 0;
};

// The 44-byte header for a data chunk of data_bytes.
void wave_header(uint32_t data_bytes, uint8_t out[44]);

}  // namespace callctl::media
