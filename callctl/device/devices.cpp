// Null, file and test devices, and the factory that picks a kind by name.
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

private:
    Pacer pace_;
};

class NullPlayback : public Playback {
public:
    void write(const int16_t *) override {}
    bool failed() const override { return false; }
};

class FileCapture : public Capture {
public:
    explicit FileCapture(std::vector<int16_t> s) : samples_(std::move(s)) {}
    bool read(int16_t frame[kFrame]) override {
        if (!pace_.due()) return false;
        for (size_t i = 0; i < kFrame; ++i) frame[i] = pos_ < samples_.size() ? samples_[pos_++] : 0;
        return true;
    }
    bool failed() const override { return false; }

private:
    Pacer pace_;
    std::vector<int16_t> samples_;
    size_t pos_ = 0;
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

std::unique_ptr<Capture> open_file_capture(const std::string &path) {
    FILE *f = open_file_gbk(path, "rb");
    if (!f) return nullptr;
    std::vector<uint8_t> bytes;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    size_t off = 0;
    if (bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 && std::memcmp(bytes.data() + 8, "WAVE", 4) == 0) {
        // Walk the chunks to "data".
        off = 12;
        while (off + 8 <= bytes.size()) {
            uint32_t len = bytes[off + 4] | (bytes[off + 5] << 8) | (bytes[off + 6] << 16) | (uint32_t(bytes[off + 7]) << 24);
            if (std::memcmp(bytes.data() + off, "data", 4) == 0) {
                off += 8;
                break;
            }
            off += 8 + len + (len & 1);
        }
    }
    std::vector<int16_t> s;
    for (size_t i = off; i + 1 < bytes.size(); i += 2) s.push_back(int16_t(bytes[i] | (bytes[i + 1] << 8)));
    return std::make_unique<FileCapture>(std::move(s));
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
};

}  // namespace

std::unique_ptr<Capture> null_capture() { return std::make_unique<NullCapture>(); }
std::unique_ptr<Playback> null_playback() { return std::make_unique<NullPlayback>(); }

std::shared_ptr<Factory> platform_factory() { return std::make_shared<PlatformFactory>(); }

bool is_test_device(const std::string &name) { return starts_with(name, "file:") || starts_with(name, "fail:"); }

}  // namespace callctl::device
