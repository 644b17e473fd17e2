#include "signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

extern "C" {
#include <speex/speex_resampler.h>
}

namespace dsptest {

namespace {

constexpr size_t kFrame = 160;
constexpr double kPi = 3.14159265358979323846;

int16_t clamp16(double v) {
    return static_cast<int16_t>(std::lrint(std::max(-32768.0, std::min(32767.0, v))));
}

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Reads a 16-bit mono PCM WAVE file; empty on any error (message in *why).
Signal read_wav(const std::string &path, uint32_t *rate, std::string *why) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *why = "cannot open " + path;
        return {};
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) || std::memcmp(bytes.data() + 8, "WAVE", 4)) {
        *why = path + " is not a WAVE file";
        return {};
    }
    bool fmt_ok = false;
    for (size_t pos = 12; pos + 8 <= bytes.size();) {
        uint32_t size = le32(&bytes[pos + 4]);
        const uint8_t *body = &bytes[pos + 8];
        // espeak-ng streams its output and leaves the data size at 0x7ffff000.
        size_t avail = std::min<size_t>(size, bytes.size() - pos - 8);
        if (!std::memcmp(&bytes[pos], "fmt ", 4) && avail >= 16) {
            fmt_ok = le16(body) == 1 && le16(body + 2) == 1 && le16(body + 14) == 16;
            *rate = le32(body + 4);
        } else if (!std::memcmp(&bytes[pos], "data", 4)) {
            if (!fmt_ok) {
                *why = path + " is not 16-bit mono PCM";
                return {};
            }
            Signal s(avail / 2);
            for (size_t i = 0; i < s.size(); i++)
                s[i] = static_cast<int16_t>(le16(body + 2 * i));
            return s;
        }
        pos += 8 + size + (size & 1);
    }
    *why = path + " has no data chunk";
    return {};
}

Signal resample_to_8k(const Signal &in, uint32_t rate) {
    if (rate == 8000)
        return in;
    int err = 0;
    SpeexResamplerState *rs = speex_resampler_init(1, rate, 8000, 8, &err);
    size_t lead = static_cast<size_t>(speex_resampler_get_output_latency(rs));
    Signal padded = in;
    padded.resize(in.size() + rate / 10, 0);  // flush the filter
    Signal out(padded.size() * 8000 / rate + 16);
    spx_uint32_t in_len = static_cast<spx_uint32_t>(padded.size());
    spx_uint32_t out_len = static_cast<spx_uint32_t>(out.size());
    speex_resampler_process_int(rs, 0, padded.data(), &in_len, out.data(), &out_len);
    speex_resampler_destroy(rs);
    out.resize(out_len);
    size_t want = in.size() * 8000 / rate;
    if (out.size() > lead)
        out.erase(out.begin(), out.begin() + static_cast<long>(lead));
    out.resize(want, 0);
    return out;
}

Signal scaled(const Signal &x, double gain) {
    Signal y(x.size());
    for (size_t i = 0; i < x.size(); i++)
        y[i] = clamp16(x[i] * gain);
    return y;
}

}  // namespace

Signal speech(const std::string &name, double dbfs) {
    std::string path = std::string(DSP_SPEECH_DIR) + "/" + name + ".wav";
    uint32_t rate = 0;
    std::string why;
    Signal raw = read_wav(path, &rate, &why);
    if (raw.empty()) {
        ADD_FAILURE() << why << " (rendered at build time by tests/dsp/render-speech.sh; "
                      << "is espeak-ng installed?)";
        return {};
    }
    Signal s = resample_to_8k(raw, rate);
    return scaled(s, std::pow(10.0, (dbfs - active_level_dbfs(s)) / 20.0));
}

Signal white_noise(size_t samples, double dbfs, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 32768.0 * std::pow(10.0, dbfs / 20.0));
    Signal s(samples);
    for (auto &v : s)
        v = clamp16(g(rng));
    return s;
}

Signal hum_noise(size_t samples, double dbfs, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> y(samples);
    double state = 0, power = 0;
    for (size_t i = 0; i < samples; i++) {
        state = 0.9 * state + g(rng);
        y[i] = state;
        power += state * state;
    }
    double gain = 32768.0 * std::pow(10.0, dbfs / 20.0) / std::sqrt(power / std::max<size_t>(samples, 1));
    Signal s(samples);
    for (size_t i = 0; i < samples; i++)
        s[i] = clamp16(y[i] * gain);
    return s;
}

Signal sine(size_t samples, double hz, double dbfs) {
    double amp = 32768.0 * std::pow(10.0, dbfs / 20.0) * std::sqrt(2.0);
    Signal s(samples);
    for (size_t i = 0; i < samples; i++)
        s[i] = clamp16(amp * std::sin(2 * kPi * hz * static_cast<double>(i) / 8000.0));
    return s;
}

std::vector<float> room_response(size_t delay, double rt60_ms, double gain_db, uint32_t seed) {
    // 60 dB of decay over rt60: amplitude e^(-t/tau), tau = rt60 / ln(1000).
    double tau = rt60_ms * 8.0 / std::log(1000.0);
    size_t tail = static_cast<size_t>(rt60_ms * 8.0);
    std::vector<float> h(delay + tail, 0.f);
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    h[delay] = 1.f;
    for (size_t i = 1; i < tail; i++)
        h[delay + i] = static_cast<float>(0.5 * g(rng) * std::exp(-static_cast<double>(i) / tau));
    double energy = 0;
    for (float v : h)
        energy += double(v) * v;
    double norm = std::pow(10.0, gain_db / 20.0) / std::sqrt(energy);
    for (float &v : h)
        v = static_cast<float>(v * norm);
    return h;
}

Signal convolve(const Signal &x, const std::vector<float> &h) {
    Signal y(x.size());
    std::vector<size_t> taps;
    for (size_t k = 0; k < h.size(); k++)
        if (h[k] != 0.f)
            taps.push_back(k);
    for (size_t n = 0; n < x.size(); n++) {
        double acc = 0;
        for (size_t k : taps) {
            if (k > n)
                break;
            acc += double(h[k]) * x[n - k];
        }
        y[n] = clamp16(acc);
    }
    return y;
}

Signal mix(const Signal &a, const Signal &b) {
    Signal y(std::max(a.size(), b.size()));
    for (size_t i = 0; i < y.size(); i++)
        y[i] = clamp16((i < a.size() ? a[i] : 0) + (i < b.size() ? b[i] : 0));
    return y;
}

Signal delayed(const Signal &x, size_t lag) {
    Signal y(x.size(), 0);
    for (size_t i = lag; i < x.size(); i++)
        y[i] = x[i - lag];
    return y;
}

Signal slice(const Signal &x, size_t from, size_t to) {
    to = std::min(to, x.size());
    from = std::min(from, to);
    return Signal(x.begin() + static_cast<long>(from), x.begin() + static_cast<long>(to));
}

double level_dbfs(const Signal &x, size_t from, size_t to) {
    to = std::min(to, x.size());
    double e = 0;
    for (size_t i = from; i < to; i++)
        e += double(x[i]) * x[i];
    size_t n = to > from ? to - from : 1;
    return 10 * std::log10(e / double(n) / (32768.0 * 32768.0) + 1e-20);
}

double active_level_dbfs(const Signal &x) {
    std::vector<double> frames;
    for (size_t i = 0; i + kFrame <= x.size(); i += kFrame)
        frames.push_back(level_dbfs(x, i, i + kFrame));
    if (frames.empty())
        return -200;
    double top = *std::max_element(frames.begin(), frames.end());
    double e = 0;
    size_t n = 0;
    for (double f : frames)
        if (f > top - 30) {
            e += std::pow(10.0, f / 10.0);
            n++;
        }
    return 10 * std::log10(e / double(n));
}

double ratio_db(const Signal &a, const Signal &b, size_t from, size_t to) {
    return level_dbfs(a, from, to) - level_dbfs(b, from, to);
}

double snr_db(const Signal &ref, const Signal &out, size_t from, size_t to) {
    to = std::min({to, ref.size(), out.size()});
    double s = 0, e = 0;
    for (size_t i = from; i < to; i++) {
        double d = double(ref[i]) - out[i];
        s += double(ref[i]) * ref[i];
        e += d * d;
    }
    return 10 * std::log10((s + 1e-9) / (e + 1e-9));
}

double correlation(const Signal &ref, const Signal &out, size_t from, size_t to) {
    to = std::min({to, ref.size(), out.size()});
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = from; i < to; i++) {
        ab += double(ref[i]) * out[i];
        aa += double(ref[i]) * ref[i];
        bb += double(out[i]) * out[i];
    }
    return ab / std::sqrt(aa * bb + 1e-9);
}

size_t best_lag(const Signal &ref, const Signal &out, size_t max_lag) {
    size_t best = 0;
    double best_c = -2;
    for (size_t lag = 0; lag <= max_lag; lag++) {
        double c = correlation(delayed(ref, lag), out, lag, out.size());
        if (c > best_c) {
            best_c = c;
            best = lag;
        }
    }
    return best;
}

int max_step(const Signal &x, size_t from, size_t to) {
    to = std::min(to, x.size());
    int m = 0;
    for (size_t i = std::max<size_t>(from, 1); i < to; i++)
        m = std::max(m, std::abs(int(x[i]) - int(x[i - 1])));
    return m;
}

}  // namespace dsptest
