// Timers of the library thread. A Timer belongs to the object it times and
// is cancelled when that object goes away; the host keeps the armed ones in
// a binary heap ordered by due time (ties by arming order), so arming,
// stopping and firing each cost O(log n) however many timers a flood of
// transactions leaves armed.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace callctl {

class Timer;

class TimerHost {
public:
    // Milliseconds until the next timer is due (0 if overdue), or `cap`.
    int64_t next_delay(int64_t now, int64_t cap) const;
    // Fires every timer due at `now`, earliest first. A callback may arm,
    // stop or destroy any timer, including its own.
    void run_due(int64_t now);
    size_t armed() const { return heap_.size(); }
    // Called when a newly armed timer became the earliest one (the library
    // thread may be waiting for a later one).
    std::function<void()> on_earlier;

private:
    friend class Timer;
    void add(Timer *t);
    void remove(Timer *t);
    void update(Timer *t);
    bool before(const Timer *a, const Timer *b) const;
    void up(size_t i);
    void down(size_t i);
    void place(size_t i, Timer *t);
    std::vector<Timer *> heap_;
};

class Timer {
public:
    explicit Timer(TimerHost &host) : host_(host) {}
    ~Timer() { stop(); }
    Timer(const Timer &) = delete;
    Timer &operator=(const Timer &) = delete;

    void start(int64_t now, int64_t delay_ms, std::function<void()> fn);
    void stop();
    bool active() const { return active_; }
    int64_t due() const { return due_; }

private:
    friend class TimerHost;
    TimerHost &host_;
    std::function<void()> fn_;
    int64_t due_ = 0;
    uint64_t seq_ = 0;
    size_t index_ = 0;  // place in the host's heap while active
    bool active_ = false;
};

}  // namespace callctl
