#include "timer.h"

#include <algorithm>
#include <atomic>

namespace callctl {

namespace {
std::atomic<uint64_t> g_seq{0};  // arming order breaks ties between equal due times
}

bool TimerHost::before(const Timer *a, const Timer *b) const {
    return a->due_ < b->due_ || (a->due_ == b->due_ && a->seq_ < b->seq_);
}

void TimerHost::place(size_t i, Timer *t) {
    heap_[i] = t;
    t->index_ = i;
}

void TimerHost::up(size_t i) {
    Timer *t = heap_[i];
    while (i > 0) {
        size_t parent = (i - 1) / 2;
        if (!before(t, heap_[parent])) break;
        place(i, heap_[parent]);
        i = parent;
    }
    place(i, t);
}

void TimerHost::down(size_t i) {
    Timer *t = heap_[i];
    size_t n = heap_.size();
    for (;;) {
        size_t c = 2 * i + 1;
        if (c >= n) break;
        if (c + 1 < n && before(heap_[c + 1], heap_[c])) ++c;
        if (!before(heap_[c], t)) break;
        place(i, heap_[c]);
        i = c;
    }
    place(i, t);
}

void TimerHost::add(Timer *t) {
    heap_.push_back(t);
    up(heap_.size() - 1);
    if (heap_.front() == t && on_earlier) on_earlier();
}

void TimerHost::update(Timer *t) {
    size_t i = t->index_;
    up(i);
    down(t->index_);
    if (heap_.front() == t && on_earlier) on_earlier();
}

void TimerHost::remove(Timer *t) {
    size_t i = t->index_;
    Timer *last = heap_.back();
    heap_.pop_back();
    if (last == t) return;
    place(i, last);
    up(i);
    down(last->index_);
}

int64_t TimerHost::next_delay(int64_t now, int64_t cap) const {
    if (heap_.empty()) return cap;
    return std::min(cap, std::max<int64_t>(0, heap_.front()->due_ - now));
}

void TimerHost::run_due(int64_t now) {
    // Bounded so a timer that re-arms itself with delay 0 cannot spin here.
    for (int guard = 0; guard < 10000 && !heap_.empty(); ++guard) {
        Timer *first = heap_.front();
        if (first->due_ > now) return;
        std::function<void()> fn;
        fn.swap(first->fn_);
        first->stop();
        fn();  // may destroy `first`
    }
}

void Timer::start(int64_t now, int64_t delay_ms, std::function<void()> fn) {
    due_ = now + (delay_ms < 0 ? 0 : delay_ms);
    seq_ = ++g_seq;
    fn_ = std::move(fn);
    if (active_) {
        host_.update(this);
    } else {
        active_ = true;
        host_.add(this);
    }
}

void Timer::stop() {
    if (!active_) return;
    active_ = false;
    fn_ = nullptr;
    host_.remove(this);
}

}  // namespace callctl
