// A direction's device slot while devices come and go, against a device list
// the test sets (a fake factory) and a clock it moves: a table of steps, each
// a change of the list and the device the slot must use after it.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "media/device_slot.h"

using namespace callctl;

namespace {

// The system's devices: which are plugged in, which is the default.
struct World {
    std::set<std::string> present;
    std::string default_name;
};

// A device that delivers while it is plugged in and falls silent (without an
// error, as under Wine) when it is not.
class FakeCapture : public device::Capture {
public:
    FakeCapture(const World &w, std::string name) : w_(w), name(std::move(name)) {}
    bool read(int16_t *) override { return false; }
    bool failed() const override { return false; }
    int64_t late_ms() const override { return w_.present.count(name) ? 0 : 1000; }
    const World &w_;
    std::string name;
};

class FakeFactory : public device::Factory {
public:
    explicit FakeFactory(const World &w) : w_(w) {}
    std::unique_ptr<device::Capture> open_capture(const std::string &name) override {
        const std::string &n = name.empty() ? w_.default_name : name;
        if (!w_.present.count(n)) return nullptr;
        return std::make_unique<FakeCapture>(w_, n);
    }
    std::unique_ptr<device::Playback> open_playback(const std::string &) override { return nullptr; }
    bool listed(bool, const std::string &name) override {
        return name.empty() ? !w_.present.empty() : w_.present.count(name) != 0;
    }
    std::string default_device(bool) override { return w_.default_name; }
    const World &w_;
};

struct Step {
    int64_t at;          // ms
    const char *change;  // "+X" plugged in, "-X" unplugged, "=X" the default now, "" none
    const char *in_use;  // the device the slot uses after it ("null": the null device)
};

struct Scenario {
    const char *chosen;
    std::vector<Step> steps;
};

std::string in_use(const media::DeviceSlot<device::Capture> &slot) {
    auto *d = dynamic_cast<FakeCapture *>(slot.get());
    return d ? d->name : slot.get() ? "null" : "none";
}

}  // namespace

TEST(DeviceSlot, DevicesComingAndGoingDuringACall) {
    const Scenario scenarios[] = {
        // A headset unplugged: the default at once; plugged back: the headset within a look.
        {"Headset", {{0, "", "Headset"}, {100, "-Headset", "Builtin"}, {1300, "+Headset", "Headset"}}},
        // A default choice follows the default device; an unplugged default gives way to the next.
        {"", {{0, "", "Builtin"}, {600, "=USB", "USB"}, {1200, "=Builtin", "Builtin"},
              {1800, "-Builtin", "Headset"}}},
        // Everything gone: the null device, then whatever comes back first.
        {"Headset", {{0, "", "Headset"}, {100, "-Headset", "Builtin"}, {200, "-USB", "Builtin"},
                     {300, "-Builtin", "null"}, {2500, "+Builtin", "Builtin"}, {4000, "+Headset", "Headset"}}},
        // A headset plugged in for the first time during the call while it was chosen.
        {"Headset", {{0, "-Headset", "Builtin"}, {1500, "+Headset", "Headset"}}},
    };
    std::mutex mu;
    for (const Scenario &sc : scenarios) {
        World w{{"Headset", "Builtin", "USB"}, "Builtin"};
        FakeFactory f(w);
        media::DeviceSlot<device::Capture> slot(1000);
        for (size_t i = 0; i < sc.steps.size(); ++i) {
            const Step &st = sc.steps[i];
            std::string c = st.change;
            if (!c.empty() && c[0] == '+') w.present.insert(c.substr(1));
            if (!c.empty() && c[0] == '+' && w.default_name.empty()) w.default_name = c.substr(1);
            if (!c.empty() && c[0] == '-') w.present.erase(c.substr(1));
            if (!c.empty() && c[0] == '=') w.default_name = c.substr(1);
            if (!c.empty() && c[0] == '-' && w.default_name == c.substr(1))
                w.default_name = w.present.empty() ? "" : *w.present.begin();
            // The media thread's frames until the next step (the last: 3 s on).
            const int64_t end = i + 1 < sc.steps.size() ? sc.steps[i + 1].at : st.at + 3000;
            for (int64_t t = st.at; t < end; t += 20)
                if (slot.due(t)) slot.update(f, sc.chosen, t, mu);
            EXPECT_EQ(in_use(slot), st.in_use) << "chosen \"" << sc.chosen << "\", after " << c << " at " << st.at;
        }
    }
}
