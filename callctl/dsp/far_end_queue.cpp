#include "dsp/far_end_queue.h"

#include <algorithm>
#include <cstring>

namespace callctl::dsp {

void FarEndQueue::drop_oldest(size_t n) {
    n = std::min(n, count_);
    head_ = (head_ + n) % kCapacity;
    count_ -= n;
}

void FarEndQueue::push(const int16_t frame[kFrameSamples]) {
    std::lock_guard<std::mutex> lock(mu_);
    if (count_ == kCapacity) {
        drop_oldest(1);
        c_.overflows++;
    }
    std::memcpy(ring_[(head_ + count_) % kCapacity], frame, sizeof ring_[0]);
    count_++;
    c_.pushed++;
}

bool FarEndQueue::pop(int16_t frame[kFrameSamples]) {
    std::lock_guard<std::mutex> lock(mu_);
    bool got = count_ > 0;
    if (got) {
        std::memcpy(frame, ring_[head_], sizeof ring_[0]);
        drop_oldest(1);
        c_.popped++;
    } else {
        std::memset(frame, 0, sizeof ring_[0]);
        c_.underruns++;
    }
    window_min_ = std::min(window_min_, count_);
    if (++window_pops_ == kTrimWindow) {
        if (window_min_ > kStandingFrames) {
            size_t excess = window_min_ - kStandingFrames;
            drop_oldest(excess);
            c_.trimmed += excess;
        }
        window_pops_ = 0;
        window_min_ = kCapacity;
    }
    return got;
}

void FarEndQueue::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    head_ = 0;
    count_ = 0;
    window_pops_ = 0;
    window_min_ = kCapacity;
}

FarEndQueue::Counters FarEndQueue::counters() const {
    std::lock_guard<std::mutex> lock(mu_);
    Counters c = c_;
    c.depth = count_;
    return c;
}

}  // namespace callctl::dsp
