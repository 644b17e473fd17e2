// The media path on WinMM devices, in the Windows test bed: PulseAudio null
// sinks "microphone" (whose monitor is the default recording source) and
// "speakers". A tone written into the microphone sink travels to a sipp
// callee that echoes RTP, comes back and plays on the speaker sink, where
// parec records it; the levels follow it, mute silences it, and the call's
// recording holds it. A third null sink, "headset", is loaded before the
// first WinMM call of the process (Wine 8 lists the devices it found then,
// for the life of the process) and stands for a USB headset that is
// unplugged and plugged back during calls.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "device/device.h"
#include "harness.h"

using namespace testing_callctl;
using namespace std::chrono;

namespace {

const SIPX_CALL_OPTIONS kOptions = {20, 1, 1, 1, 0};

void sleep_ms(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// Tone (1 kHz, amplitude 10000 unless said) for `on` seconds, then silence for
// `off`, as raw 8 kHz mono s16le.
void write_pattern(const std::string &path, const std::vector<std::pair<double, double>> &parts,
                   double amplitude = 10000) {
    std::ofstream f(path, std::ios::binary);
    size_t i = 0;
    for (const auto &p : parts) {
        size_t on = size_t(p.first * 8000), off = size_t(p.second * 8000);
        for (size_t k = 0; k < on + off; ++k, ++i) {
            int16_t v = k < on ? int16_t(amplitude * std::sin(2 * 3.141592653589793 * 1000 * double(i) / 8000)) : 0;
            f.put(char(v & 0xFF));
            f.put(char((v >> 8) & 0xFF));
        }
    }
}

double level(Phone &ph, bool input) {
    double e = -1;
    if (input) sipxAudioGetInputEnergy(ph.inst, 1, &e);
    else sipxAudioGetOutputEnergy(ph.inst, 1, &e);
    return e;
}

// Polls cond every 20 ms for up to ms; its last answer.
template <typename Cond>
bool wait_for(Cond cond, int ms) {
    auto end = steady_clock::now() + milliseconds(ms);
    while (!cond() && steady_clock::now() < end) sleep_ms(20);
    return cond();
}

// Polls a level until it passes the bound; returns whether it did in time.
bool wait_level(Phone &ph, bool input, bool above, double bound, int ms) {
    return wait_for([&] {
        double e = level(ph, input);
        return above ? e > bound : e < bound;
    }, ms);
}

// 100 ms windows of a recording with an RMS under 100.
int quiet_windows(const std::vector<int16_t> &r) {
    int quiet = 0;
    for (size_t at = 0; at + 800 <= r.size(); at += 800) {
        double e = 0;
        for (size_t k = 0; k < 800; ++k) e += double(r[at + k]) * r[at + k];
        if (e / 800 < 100.0 * 100.0) ++quiet;
    }
    return quiet;
}

std::string product_name_of_output(const char *part) {
    UINT n = waveOutGetNumDevs();
    for (UINT i = 0; i < n; ++i) {
        WAVEOUTCAPSA caps{};
        if (waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && std::strstr(caps.szPname, part))
            return caps.szPname;
    }
    return {};
}

const char *const kHeadsetSink =
    "pactl load-module module-null-sink sink_name=headset sink_properties=device.description=Headset >/dev/null";
const char *const kUnloadHeadset = "pactl unload-module $(pactl list short modules | grep 'sink_name=headset' | cut -f1)";

// The headset is there from the start, so WinMM lists it.
class HeadsetSink : public testing::Environment {
public:
    void SetUp() override {
        if (std::getenv("QUILLON_TESTBED")) run_sh(kHeadsetSink, 5000);
    }
    void TearDown() override {
        if (std::getenv("QUILLON_TESTBED")) run_sh(kUnloadHeadset, 5000);
    }
};
testing::Environment *const headset_env = testing::AddGlobalTestEnvironment(new HeadsetSink);

// Milliseconds from start until the log held each of two lines (to 20 ms); -1
// for one it did not hold within ms.
std::pair<long, long> log_after(const LogCapture &log, const std::string &a, const std::string &b,
                                steady_clock::time_point start, int ms) {
    std::pair<long, long> at{-1, -1};
    wait_for([&] {
        std::string text = log.text();
        long now = long(duration_cast<milliseconds>(steady_clock::now() - start).count());
        if (at.first < 0 && text.find(a) != std::string::npos) at.first = now;
        if (at.second < 0 && text.find(b) != std::string::npos) at.second = now;
        return at.first >= 0 && at.second >= 0;
    }, ms);
    return at;
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// A call to an echoing sipp peer; the tone is written into the microphone sink
// (the default recording device) all through it, and a quiet one (level about
// 27 against 78) into the headset.
struct EchoCall {
    Sipp echo;
    Phone ph;
    SIPX_CALL call = 0;
    bool start(const std::string &mic, const std::string &speaker) {
        write_pattern("wine-dev-tone.raw", {{30.0, 0.0}});
        write_pattern("wine-dev-quiet.raw", {{30.0, 0.0}}, 300);
        headset_tone();
        int media_port = free_udp_port() & ~1;
        if (!echo.start("echo_callee.xml", {"-rtp_echo", "-mp", std::to_string(media_port)})) return false;
        sipxAudioSetInputDevice(ph.inst, mic.c_str(), 0);
        sipxAudioSetOutputDevice(ph.inst, speaker.c_str(), 0);
        SIPX_LINE line = ph.add_line("8001", echo.port());
        std::string to = "sip:80000@127.0.0.1:" + std::to_string(echo.port());
        if (sipxCallCreate(ph.inst, line, &call) != SIPX_RESULT_SUCCESS ||
            sipxCallConnect(call, to.c_str(), 0, nullptr, 1, &kOptions, nullptr) != SIPX_RESULT_SUCCESS)
            return false;
        if (ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, 5000, call).category != 0)
            return false;
        start_sh("pacat --device=microphone --format=s16le --rate=8000 --channels=1 --raw '" + unix_cwd() +
                 "/wine-dev-tone.raw' & echo $! >wine-dev-pacat.pid\n");
        return true;
    }
    // The headset's tone, again after it was plugged back.
    void headset_tone() {
        start_sh("pacat --device=headset --format=s16le --rate=8000 --channels=1 --raw '" + unix_cwd() +
                 "/wine-dev-quiet.raw' & echo $! >wine-dev-quiet.pid\n");
    }
    bool up() const { return ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, call) == 0; }
    ~EchoCall() {
        run_sh("kill $(cat wine-dev-pacat.pid) $(cat wine-dev-quiet.pid) 2>/dev/null; true", 3000);
        SIPX_CALL h = call;
        if (h) sipxCallDestroy(&h);
        echo.wait(5000);
        std::remove("wine-dev-tone.raw");
        std::remove("wine-dev-pacat.pid");
        std::remove("wine-dev-quiet.raw");
        std::remove("wine-dev-quiet.pid");
    }
};

}  // namespace

// The test bed's recording device takes about two seconds to hand over its first
// buffer (as some headsets do): opened by its name, as the settings give it, it is
// kept and delivers, rather than being given up for the default device.
TEST(WinMM, ARecordingDeviceSlowToStartIsKept) {
    WAVEINCAPSA caps{};
    ASSERT_EQ(waveInGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
    auto mic = callctl::device::platform_factory()->open_capture(caps.szPname);
    ASSERT_TRUE(mic);
    int frames = 0;
    int16_t frame[callctl::device::kFrame];
    wait_for([&] {
        while (mic->read(frame)) ++frames;
        return frames >= 50 || mic->failed();
    }, 10000);
    EXPECT_FALSE(mic->failed()) << caps.szPname;
    EXPECT_GE(frames, 50) << caps.szPname;
}

TEST(WinMM, ToneThroughAnEchoingPeerComesBackOutOfTheSpeaker) {
    ASSERT_NE(std::getenv("QUILLON_TESTBED"), nullptr) << "run inside scripts/testbed";
    std::string dir = unix_cwd();
    std::string tone = dir + "/wine-tone.raw", heard = dir + "/wine-speaker.raw", rec = "wine-call.wav";
    // 2.5 s tone, 2 s silence, 2.5 s tone, 1 s silence.
    write_pattern("wine-tone.raw", {{2.5, 2.0}, {2.5, 1.0}});
    std::remove("wine-speaker.raw");
    std::remove(rec.c_str());  // recordings are created only at a free name
    Sipp echo;
    int media_port = free_udp_port() & ~1;
    ASSERT_TRUE(echo.start("echo_callee.xml", {"-rtp_echo", "-mp", std::to_string(media_port)}));
    Phone ph;
    // The speaker by its product name; an unknown microphone name means the
    // default recording device.
    std::string speakers = product_name_of_output("Speakers");
    EXPECT_FALSE(speakers.empty()) << "no WinMM output device named Speakers";
    ASSERT_EQ(sipxAudioSetOutputDevice(ph.inst, speakers.c_str(), 0), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxAudioSetInputDevice(ph.inst, "No such microphone", 0), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxAudioSetInputVolume(ph.inst, 98), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(run_sh("parec --device=speakers.monitor --format=s16le --rate=8000 --channels=1 --raw '" + heard +
                         "' & echo $! >'" + dir + "/wine-parec.pid'",
                     5000),
              0);
    SIPX_LINE line = ph.add_line("8001", echo.port());
    SIPX_CALL call = 0;
    ASSERT_EQ(sipxCallCreate(ph.inst, line, &call), SIPX_RESULT_SUCCESS);
    std::string to = "sip:80000@127.0.0.1:" + std::to_string(echo.port());
    ASSERT_EQ(sipxCallConnect(call, to.c_str(), 0, nullptr, 1, &kOptions, nullptr), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, 5000, call).category, 0)
        << ph.rec.dump() << echo.log();
    ASSERT_EQ(sipxCallAudioRecordFileStart(call, rec.c_str()), SIPX_RESULT_SUCCESS);
    // Time, not a condition: a stretch of the devices' silence before the tone.
    sleep_ms(300);
    // Silence before the tone: low levels.
    EXPECT_LT(level(ph, true), 20);
    EXPECT_LT(level(ph, false), 20);
    start_sh("pacat --device=microphone --format=s16le --rate=8000 --channels=1 --raw '" + tone + "'\n");
    // The tone reaches our microphone, then comes back to our speaker.
    EXPECT_TRUE(wait_level(ph, true, true, 60, 3000)) << "input " << level(ph, true);
    EXPECT_TRUE(wait_level(ph, false, true, 60, 1000)) << "output " << level(ph, false);
    // The silence after it.
    EXPECT_TRUE(wait_level(ph, true, false, 20, 3000)) << "input " << level(ph, true);
    EXPECT_TRUE(wait_level(ph, false, false, 20, 1000)) << "output " << level(ph, false);
    // The second tone, muted: nothing goes out, nothing comes back.
    EXPECT_TRUE(wait_level(ph, true, true, 60, 3000)) << "input " << level(ph, true);
    ASSERT_EQ(sipxAudioMuteInput(ph.inst, 1), SIPX_RESULT_SUCCESS);
    wait_for([&] { return level(ph, true) == 0.0 && level(ph, false) < 10; }, 3000);
    EXPECT_EQ(level(ph, true), 0.0);
    EXPECT_LT(level(ph, false), 10);
    ASSERT_EQ(sipxAudioMuteInput(ph.inst, 0), SIPX_RESULT_SUCCESS);
    EXPECT_TRUE(wait_level(ph, false, true, 60, 3000)) << "unmuted: the tone is back: " << level(ph, false);
    // The call goes on until the recording and the speaker's capture hold
    // the tone and the recording the silence between (both are written as
    // they go; the capture is read again once parec has ended).
    wait_for([&] {
        std::vector<int16_t> r = samples_of(slurp(rec), 44);
        return windows_with(r, 1000, 0.8) >= 20 && quiet_windows(r) >= 8 &&
               windows_with(samples_of(slurp("wine-speaker.raw")), 1000, 0.8) >= 20;
    }, 5000);
    SIPX_CALL h = call;
    ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(echo.wait(5000), 0) << echo.log();
    // parec ended (its file complete) before the file is read.
    run_sh("p=$(cat '" + dir + "/wine-parec.pid'); kill $p; while kill -0 $p 2>/dev/null; do sleep 0.05; done", 3000);

    std::vector<int16_t> spk = samples_of(slurp("wine-speaker.raw"));
    EXPECT_GE(windows_with(spk, 1000, 0.8), 20) << spk.size() << " samples recorded from the speaker";
    std::string w = slurp(rec);
    ASSERT_GT(w.size(), 44u);
    std::vector<int16_t> r = samples_of(w, 44);
    EXPECT_GE(windows_with(r, 1000, 0.8), 20) << "the recording holds the tone";
    EXPECT_GE(quiet_windows(r), 8) << "and the silence between";
    std::remove("wine-tone.raw");
    std::remove("wine-speaker.raw");
    std::remove(rec.c_str());
}

// The microphone disappears during a call (its PulseAudio sink is unloaded)
// and comes back: the call stays up, the library keeps answering at once,
// and the call ends normally.
TEST(WinMM, MicrophoneVanishingMidCallLeavesTheCallUp) {
    ASSERT_NE(std::getenv("QUILLON_TESTBED"), nullptr) << "run inside scripts/testbed";
    std::string dir = unix_cwd();
    write_pattern("wine-long-tone.raw", {{6.0, 0.5}});
    Sipp echo;
    int media_port = free_udp_port() & ~1;
    ASSERT_TRUE(echo.start("echo_callee.xml", {"-rtp_echo", "-mp", std::to_string(media_port)}));
    Phone ph;
    ASSERT_EQ(sipxAudioSetInputDevice(ph.inst, "", 0), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxAudioSetOutputDevice(ph.inst, "", 0), SIPX_RESULT_SUCCESS);
    SIPX_LINE line = ph.add_line("8001", echo.port());
    SIPX_CALL call = 0;
    ASSERT_EQ(sipxCallCreate(ph.inst, line, &call), SIPX_RESULT_SUCCESS);
    std::string to = "sip:80000@127.0.0.1:" + std::to_string(echo.port());
    ASSERT_EQ(sipxCallConnect(call, to.c_str(), 0, nullptr, 1, &kOptions, nullptr), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, 5000, call).category, 0)
        << ph.rec.dump() << echo.log();
    start_sh("pacat --device=microphone --format=s16le --rate=8000 --channels=1 --raw '" + dir + "/wine-long-tone.raw'\n");
    EXPECT_TRUE(wait_level(ph, true, true, 60, 3000)) << "input " << level(ph, true);
    ASSERT_EQ(run_sh("pactl unload-module $(pactl list short modules | grep 'sink_name=microphone' | cut -f1)", 5000), 0);
    // For three seconds without the device: every level query answers at
    // once and the call stays connected.
    long slowest = 0;
    for (int i = 0; i < 60; ++i) {
        auto t0 = steady_clock::now();
        level(ph, true);
        level(ph, false);
        slowest = std::max(slowest, long(duration_cast<milliseconds>(steady_clock::now() - t0).count()));
        sleep_ms(50);  // time, not a condition: three seconds of queries without the device
    }
    EXPECT_LT(slowest, 100);
    int restored = run_sh("pactl load-module module-null-sink sink_name=microphone "
                          "sink_properties=device.description=Microphone >/dev/null && "
                          "pactl set-default-source microphone.monitor",
                          5000);
    EXPECT_EQ(restored, 0);
    // Time, not a condition: the call stays up for a second with the device back.
    sleep_ms(1000);
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, call), 0) << ph.rec.dump();
    SIPX_CALL h = call;
    ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(echo.wait(5000), 0) << echo.log();
    std::remove("wine-long-tone.raw");
}

// The headset in use for both directions is unplugged during a call: within a
// second both directions are on the default devices, and the default
// microphone's tone is heard; plugged back, the headset takes over again,
// once. The output is muted: the headset's microphone is its speaker's
// monitor here, and would hear the echo of the call.
TEST(WinMM, HeadsetUnpluggedAndPluggedBackDuringACall) {
    ASSERT_NE(std::getenv("QUILLON_TESTBED"), nullptr) << "run inside scripts/testbed";
    ASSERT_FALSE(product_name_of_output("Headset").empty()) << "no WinMM output device named Headset";
    LogCapture log(SIPX_LOG_INFO);
    EchoCall c;
    ASSERT_EQ(sipxAudioMuteOutput(c.ph.inst, 1), SIPX_RESULT_SUCCESS);
    ASSERT_TRUE(c.start("Monitor of Headset", "Headset")) << c.ph.rec.dump() << c.echo.log();
    auto headset = [&] { return level(c.ph, true) > 15 && level(c.ph, true) < 45; };
    EXPECT_TRUE(wait_for(headset, 5000)) << "the headset's tone: " << level(c.ph, true) << "\n" << log.text();
    ASSERT_EQ(run_sh(kUnloadHeadset, 5000), 0);
    auto gone = steady_clock::now();
    auto [mic, spk] = log_after(log, "2 microphone \"Monitor of Headset\" gone; the default device in use\n",
                                "2 speaker \"Headset\" gone; the default device in use\n", gone, 3000);
    EXPECT_TRUE(wait_level(c.ph, true, true, 60, 5000)) << "the default microphone's tone: " << level(c.ph, true);
    long heard = long(duration_cast<milliseconds>(steady_clock::now() - gone).count());
    std::printf("unplugged: microphone switched after %ld ms, speaker %ld ms, the tone heard after %ld ms\n", mic,
                spk, heard);
    EXPECT_TRUE(mic >= 0 && mic <= 1000) << mic << "\n" << log.text();
    EXPECT_TRUE(spk >= 0 && spk <= 1000) << spk << "\n" << log.text();

    ASSERT_EQ(run_sh(kHeadsetSink, 5000), 0);
    auto back = steady_clock::now();
    c.headset_tone();
    auto [mic_back, spk_back] = log_after(log, "3 microphone \"Monitor of Headset\" is back\n",
                                         "3 speaker \"Headset\" is back\n", back, 8000);
    EXPECT_TRUE(wait_for(headset, 3000)) << "the headset's tone again: " << level(c.ph, true);
    std::printf("plugged back: microphone after %ld ms, speaker %ld ms\n", mic_back, spk_back);
    EXPECT_TRUE(mic_back >= 0 && mic_back <= 4000) << mic_back << "\n" << log.text();
    EXPECT_TRUE(spk_back >= 0 && spk_back <= 2000) << spk_back << "\n" << log.text();
    // One switch each way, no more, and the call stayed up.
    sleep_ms(1500);  // time, not a condition: a stretch in which nothing more may switch
    std::string text = log.text();
    EXPECT_EQ(count_of(text, " gone"), 2u) << text;
    EXPECT_EQ(count_of(text, " is back"), 2u) << text;
    EXPECT_TRUE(c.up()) << c.ph.rec.dump();
}

// Every device goes during a call: the call carries on in silence, every call
// into the library returns at once, and the devices are used again when they
// come back.
TEST(WinMM, AllDevicesGoneAndBackDuringACall) {
    ASSERT_NE(std::getenv("QUILLON_TESTBED"), nullptr) << "run inside scripts/testbed";
    LogCapture log(SIPX_LOG_INFO);
    EchoCall c;
    ASSERT_TRUE(c.start("", "")) << c.ph.rec.dump() << c.echo.log();
    EXPECT_TRUE(wait_level(c.ph, true, true, 60, 5000)) << "input " << level(c.ph, true);
    ASSERT_EQ(run_sh("for m in $(pactl list short modules | grep module-null-sink | cut -f1); do "
                     "pactl unload-module $m; done",
                     5000),
              0);
    auto gone = steady_clock::now();
    auto [mic, spk] = log_after(log, "2 no microphone can be opened: silence",
                                "2 no speaker can be opened: nothing is heard", gone, 5000);
    long slowest = 0;
    for (int i = 0; i < 20; ++i) {
        auto t0 = steady_clock::now();
        level(c.ph, true);
        SIPX_AUDIO_QUALITY q{};
        sipxCallGetAudioQuality(c.call, &q);  // through the engine's lock
        slowest = std::max(slowest, long(duration_cast<milliseconds>(steady_clock::now() - t0).count()));
        sleep_ms(50);  // time, not a condition: a second of calls without devices
    }
    std::printf("all gone: microphone on silence after %ld ms, speaker %ld ms; slowest call %ld ms\n", mic, spk,
                slowest);
    EXPECT_GE(mic, 0) << log.text();
    EXPECT_GE(spk, 0) << log.text();
    EXPECT_LT(slowest, 100);
    ASSERT_EQ(run_sh(std::string(kHeadsetSink) + " && "
                     "pactl load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers >/dev/null && "
                     "pactl load-module module-null-sink sink_name=microphone sink_properties=device.description=Microphone >/dev/null && "
                     "pactl set-default-sink speakers && pactl set-default-source microphone.monitor",
                     5000),
              0);
    start_sh("pacat --device=microphone --format=s16le --rate=8000 --channels=1 --raw '" + unix_cwd() +
             "/wine-dev-tone.raw'\n");
    auto back = steady_clock::now();
    auto [mic_back, spk_back] = log_after(log, "3 microphone the default device is back\n",
                                         "3 speaker the default device is back\n", back, 5000);
    EXPECT_TRUE(wait_level(c.ph, true, true, 60, 6000)) << "the tone again: " << level(c.ph, true);
    std::printf("back: microphone after %ld ms, speaker %ld ms\n", mic_back, spk_back);
    EXPECT_GE(mic_back, 0) << log.text();
    EXPECT_GE(spk_back, 0) << log.text();
    EXPECT_TRUE(c.up()) << c.ph.rec.dump();
}
