#include "timer.h"

#include <algorithm>
#include <atomic>

namespace callctl {

namespace {
std::atomic<uint64_t> g_seq{0};  // arming order breaks ties between equal due times
}

void TimerHost::add(Timer *t) { armed_.push_back(t); }

void TimerHost::remove(Timer *t) {
    auto it = std::find(armed_.begin(), armed_.end(), t);
    if (it != armed_.end()) {
        *it = armed_.back();
        armed_.pop_back();
    }
}

int64_t TimerHost::next_delay(int64_t now, int64_t cap) const {
    int64_t best = cap;
    for (const Timer *t : armed_) best = std::min(best, std::max<int64_t>(0, t->due_ - now));
    return best;
}

void TimerHost::run_due(int64_t now) {
    // Bounded so a timer that re-arms itself with delay 0 cannot spin here.
    for (int guard = 0; guard < 10000; ++guard) {
        Timer *first = nullptr;
        for (Timer *t : armed_) {
            if (t->due_ > now) continue;
            if (!first || t->due_ < first->due_ || (t->due_ == first->due_ && t->seq_ < first->seq_))
                first = t;
        }
        if (!first) return;
        std::function<void()> fn;
        fn.swap(first->fn_);
        first->stop();
        fn();  // may destroy `first`
    }
}

void Timer::start(int64_t now, int64_t delay_ms, std::function<void()> fn) {
    if (!active_) host_.add(this);
    active_ = true;
    due_ = now + (delay_ms < 0 ? 0 : delay_ms);
    seq_ = ++g_seq;
    fn_ = std::move(fn);
}

void Timer::stop() {
    if (!active_) return;
    active_ = false;
    fn_ = nullptr;
    host_.remove(this);
}

}  // namespace callctl
