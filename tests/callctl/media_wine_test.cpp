// The media path on WinMM devices, in the Windows test bed: PulseAudio null
// sinks "microphone" (whose monitor is the default recording source) and
// "speakers". A tone written into the microphone sink travels to a sipp
// callee that echoes RTP, comes back and plays on the speaker sink, where
// parec records it; the levels follow it, mute silences it, and the call's
// recording holds it.
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

// Tone (1 kHz, amplitude 10000) for `on` seconds, then silence for `off`,
// as raw 8 kHz mono s16le.
void write_pattern(const std::string &path, const std::vector<std::pair<double, double>> &parts) {
    std::ofstream f(path, std::ios::binary);
    size_t i = 0;
    for (const auto &p : parts) {
        size_t on = size_t(p.first * 8000), off = size_t(p.second * 8000);
        for (size_t k = 0; k < on + off; ++k, ++i) {
            int16_t v = k < on ? int16_t(10000 * std::sin(2 * 3.141592653589793 * 1000 * double(i) / 8000)) : 0;
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
