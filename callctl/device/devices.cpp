// Null, file and test devices, and the factory that picks a kind by name.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../base/base.h"
#include "device.h"

namespace callctl::device {

namespace {

// Hands out one frame per 20 ms of the monotonic clock. A backlog of more
// than a few frames (the media thread was held up) is skipped, so the
// latency stays bounded.
class Pacer {
public:
    Pacer() : start_(now_ms()) {}
    bool due() {
        int64_t owed = (now_ms() - start_) / kFrameMs + 1 - int64_t(done_);
        if (owed <= 0) return false;
        if (owed > 3) done_ += uint64_t(owed - 1);
        ++done_;
        return true;
    }
    int64_t elapsed() const { return now_ms() - start_; }
    int64_t next_at() const { return start_ + int64_t(done_) * kFrameMs; }

private:
    int64_t start_;
    uint64_t done_ = 0;
};

class NullCapture : public Capture {
public:
    bool read(int16_t frame[kFrame]) override {
        if (!pace_.due()) return false;
        std::memset(frame, 0, kFrame * sizeof(int16_t));
        return true;
    }
    bool failed() const override { return false; }
    int64_t next_frame_at() const override { return pace_.next_at(); }

private:
    Pacer pace_;
};

class NullPlayback : public Playback {
public:
    void write(const int16_t *) override {}
    bool failed() const override { return false; }
    bool discards() const override { return true; }
};

// Reads the file as it plays, half a second at a time, so a long recording costs
// little memory and few reads; after its end it gives silence.
class FileCapture : public Capture {
public:
    static constexpr size_t kChunk = 25 * kFrame;  // samples read at once

    FileCapture(FILE *f, bool ended) : f_(f), ended_(ended) {}
    ~FileCapture() override { std::fclose(f_); }
    bool read(int16_t frame[kFrame]) override {
        if (!pace_.due()) return false;
        for (size_t i = 0; i < kFrame;) {
            if (pos_ == len_ && !fill()) {
                std::memset(frame + i, 0, (kFrame - i) * sizeof(int16_t));
                break;
            }
            const size_t n = std::min(kFrame - i, len_ - pos_);
            std::memcpy(frame + i, buf_.get() + pos_, n * sizeof(int16_t));
            pos_ += n;
            i += n;
        }
        return true;
    }
    bool failed() const override { return false; }
    int64_t next_frame_at() const override { return pace_.next_at(); }

private:
    // The next chunk of whole samples (little-endian in the file); false at the end.
    bool fill() {
        if (ended_) return false;
        if (!buf_) buf_.reset(new int16_t[kChunk]);
        const size_t got = std::fread(buf_.get(), sizeof(int16_t), kChunk, f_);
        if (got < kChunk) ended_ = true;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        for (size_t i = 0; i < got; ++i) buf_[i] = int16_t(__builtin_bswap16(uint16_t(buf_[i])));
#endif
        pos_ = 0;
        len_ = got;
        return got > 0;
    }

    Pacer pace_;
    FILE *f_;
    bool ended_;
    std::unique_ptr<int16_t[]> buf_;
    size_t pos_ = 0, len_ = 0;  // the chunk's samples handed out, and held
};

class FilePlayback : public Playback {
public:
    explicit FilePlayback(FILE *f) : f_(f) {}
    ~FilePlayback() override { std::fclose(f_); }
    void write(const int16_t *frame) override {
        uint8_t b[kFrame * 2];
        for (size_t i = 0; i < kFrame; ++i) {
            b[2 * i] = uint8_t(frame[i]);
            b[2 * i + 1] = uint8_t(uint16_t(frame[i]) >> 8);
        }
        std::fwrite(b, 1, sizeof b, f_);
        std::fflush(f_);
    }
    bool failed() const override { return false; }

private:
    FILE *f_;
};

class FailingCapture : public Capture {
public:
    explicit FailingCapture(int ms) : ms_(ms) {}
    bool read(int16_t frame[kFrame]) override { return !failed() && inner_.read(frame); }
    bool failed() const override { return pace_.elapsed() >= ms_; }

private:
    int ms_;
    Pacer pace_;
    NullCapture inner_;
};

class FailingPlayback : public Playback {
public:
    explicit FailingPlayback(int ms) : ms_(ms) {}
    void write(const int16_t *) override {}
    bool failed() const override { return pace_.elapsed() >= ms_; }

private:
    int ms_;
    Pacer pace_;
};

bool starts_with(const std::string &s, const char *p) { return s.compare(0, std::strlen(p), p) == 0; }

// A RIFF/WAVE file plays from its "data" chunk to the end of the file; any other file
// plays whole as 16-bit little-endian samples.
std::unique_ptr<Capture> open_file_capture(const std::string &path) {
    FILE *f = open_file_gbk(path, "rb");
    if (!f) return nullptr;
    uint8_t head[12];
    bool ended = false;
    if (std::fread(head, 1, sizeof head, f) == sizeof head && std::memcmp(head, "RIFF", 4) == 0 &&
        std::memcmp(head + 8, "WAVE", 4) == 0) {
        // Walk the chunks to "data"; without one there is nothing to play.
        ended = true;
        uint8_t chunk[8];
        while (std::fread(chunk, 1, sizeof chunk, f) == sizeof chunk) {
            if (std::memcmp(chunk, "data", 4) == 0) {
                ended = false;
                break;
            }
            const uint32_t len = chunk[4] | (chunk[5] << 8) | (chunk[6] << 16) | (uint32_t(chunk[7]) << 24);
            // A length no file of ours reaches (and that a 32-bit seek could take
            // backwards) ends the walk.
            if (len > 0x7FFFFFF0u || std::fseek(f, long(len + (len & 1)), SEEK_CUR) != 0) break;
        }
    } else {
        std::rewind(f);
    }
    return std::make_unique<FileCapture>(f, ended);
}

class PlatformFactory : public Factory {
public:
    std::unique_ptr<Capture> open_capture(const std::string &name) override {
        if (starts_with(name, "file:")) return open_file_capture(name.substr(5));
        if (starts_with(name, "fail:")) return std::make_unique<FailingCapture>(std::atoi(name.c_str() + 5));
#ifdef _WIN32
        return winmm_capture(name);
#else
        return null_capture();
#endif
    }
    std::unique_ptr<Playback> open_playback(const std::string &name) override {
        if (starts_with(name, "file:")) {
            FILE *f = open_file_gbk(name.substr(5), "wb");
            if (!f) return nullptr;
            return std::make_unique<FilePlayback>(f);
        }
        if (starts_with(name, "fail:")) return std::make_unique<FailingPlayback>(std::atoi(name.c_str() + 5));
#ifdef _WIN32
        return winmm_playback(name);
#else
        return null_playback();
#endif
    }
#ifdef _WIN32
    bool listed(bool capture, const std::string &name) override {
        return is_test_device(name) || winmm_listed(capture, name);
    }
    bool opens(bool capture, const std::string &name) override {
        return is_test_device(name) || winmm_opens(capture, name);
    }
    std::string default_device(bool capture) override { return winmm_default_device(capture); }
#endif
};

}  // namespace

int pick_device(const std::string &name, const std::vector<DeviceName> &devices) {
    if (name.empty()) return -1;
    int found = -1;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].key != name && devices[i].gbk != name) continue;
        if (found >= 0) return -1;  // two devices answer to it: no guessing
        found = int(i);
    }
    return found;
}

std::unique_ptr<Capture> null_capture() { return std::make_unique<NullCapture>(); }
std::unique_ptr<Playback> null_playback() { return std::make_unique<NullPlayback>(); }

std::shared_ptr<Factory> platform_factory() { return std::make_shared<PlatformFactory>(); }

bool is_test_device(const std::string &name) { return starts_with(name, "file:") || starts_with(name, "fail:"); }

}  // namespace callctl::device
