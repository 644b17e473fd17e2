// SRTP against another implementation: Debian's baresip (its srtp module,
// keys in a=crypto, mediaenc=srtp-mand) as the callee, with its own
// temporary configuration on loopback. It answers by itself, plays a
// 1 kHz tone from a WAVE file and dumps what it decodes (sndfile module);
// we play 600 Hz. Each side must hear the other's tone through SRTP.
// Native tree (our SRTP offers are an internal switch).
#include <gtest/gtest.h>

#ifndef _WIN32

#include <chrono>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "api/registry.h"
#include "engine/instance.h"
#include "harness.h"

using namespace testing_callctl;
using namespace std::chrono;

namespace {

template <typename Cond>
bool wait_for(Cond cond, int ms) {
    auto end = steady_clock::now() + milliseconds(ms);
    while (!cond() && steady_clock::now() < end) std::this_thread::sleep_for(milliseconds(20));
    return cond();
}

void put16(std::ofstream &f, uint32_t v) { f.put(char(v & 0xFF)), f.put(char((v >> 8) & 0xFF)); }
void put32(std::ofstream &f, uint32_t v) { put16(f, v & 0xFFFF), put16(f, v >> 16); }

// A tone at 8 kHz, 16-bit mono: as WAVE (with header) or raw.
void write_tone(const std::string &path, double freq, double seconds, bool wave) {
    std::ofstream f(path, std::ios::binary);
    uint32_t n = uint32_t(seconds * 8000);
    if (wave) {
        f << "RIFF";
        put32(f, 36 + 2 * n);
        f << "WAVEfmt ";
        put32(f, 16), put16(f, 1), put16(f, 1), put32(f, 8000), put32(f, 16000), put16(f, 2), put16(f, 16);
        f << "data";
        put32(f, 2 * n);
    }
    for (uint32_t i = 0; i < n; ++i) put16(f, uint16_t(int16_t(8000 * std::sin(2 * 3.141592653589793 * freq * i / 8000))));
}

// The decoded audio baresip dumped (its "-dec.wav" file), empty before it has.
std::vector<int16_t> dumped(const std::string &dir) {
    std::vector<int16_t> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 8 && n.compare(n.size() - 8, 8, "-dec.wav") == 0) out = samples_of(slurp(dir + "/" + n), 44);
        }
        closedir(d);
    }
    return out;
}

}  // namespace

TEST(SrtpInterop, BaresipHearsUsAndWeHearIt) {
    if (run_sh("command -v baresip >/dev/null && test -f /usr/lib/baresip/modules/srtp.so", 5000) != 0)
        FAIL() << "baresip with its srtp module is missing (scripts/setup installs baresip-core)";
    const std::string home = unix_cwd() + "/srtp-baresip-" + std::to_string(getpid());
    ASSERT_EQ(run_sh("rm -rf '" + home + "' && mkdir -p '" + home + "/conf'", 5000), 0);
    write_tone(home + "/tone.wav", 1000, 20, true);
    write_tone(home + "/ours.raw", 600, 20, false);
    const int sip = free_udp_port(), rtp = (free_udp_port() % 20000 + 30000) & ~1;
    {
        std::ofstream c(home + "/conf/config");
        c << "poll_method epoll\nsip_listen 127.0.0.1:" << sip << "\naudio_player alsa,null\n"
          << "audio_source aufile," << home << "/tone.wav\naudio_alert alsa,null\nrtp_ports " << rtp << "-" << rtp + 9
          << "\nsnd_path " << home << "\nmodule_path /usr/lib/baresip/modules\nmodule g711.so\nmodule alsa.so\n"
          << "module aufile.so\nmodule sndfile.so\nmodule srtp.so\nmodule_app account.so\n";
        std::ofstream a(home + "/conf/accounts");
        a << "<sip:bob@127.0.0.1>;regint=0;answermode=auto;mediaenc=srtp-mand;audio_codecs=PCMU\n";
    }
    start_sh("cd '" + home + "' && HOME='" + home + "' baresip -f '" + home + "/conf' -t 60 </dev/null >'" + home +
             "/log' 2>&1 & echo $! >'" + home + "/pid'");
    ASSERT_TRUE(wait_for([&] { return slurp(home + "/log").find("baresip is ready") != std::string::npos; }, 10000))
        << slurp(home + "/log");

    Phone ph;
    callctl::api::instance(ph.inst)->set_srtp_mode(callctl::SrtpMode::Offer);
    const std::string out = home + "/heard.raw";
    ASSERT_EQ(sipxAudioSetInputDevice(ph.inst, ("file:" + home + "/ours.raw").c_str(), 0), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxAudioSetOutputDevice(ph.inst, ("file:" + out).c_str(), 0), SIPX_RESULT_SUCCESS);
    SIPX_CALL call = 0;
    const SIPX_CALL_OPTIONS options = {20, 1, 1, 1, 0};
    SIPX_LINE line = 0;  // not registered: baresip takes calls from anyone
    ASSERT_EQ(sipxLineAdd(ph.inst, ("sip:alice@127.0.0.1:" + std::to_string(sip)).c_str(), &line, 0),
              SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxCallCreate(ph.inst, line, &call), SIPX_RESULT_SUCCESS);
    std::string to = "sip:bob@127.0.0.1:" + std::to_string(sip);
    ASSERT_EQ(sipxCallConnect(call, to.c_str(), 0, nullptr, 1, &options, nullptr), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, 10000, call).category,
              SIPX_EVENT_CATEGORY_CALLSTATE)
        << ph.rec.dump() << slurp(home + "/log");
    EXPECT_TRUE(wait_for([&] {
        return windows_with(samples_of(slurp(out)), 1000, 0.8) >= 20 && windows_with(dumped(home), 600, 0.8) >= 20;
    }, 15000));
    EXPECT_GE(windows_with(samples_of(slurp(out)), 1000, 0.8), 20) << "baresip's tone, decrypted by us";
    EXPECT_GE(windows_with(dumped(home), 600, 0.8), 20) << "our tone, decrypted by baresip";
    callctl::media::Engine::StreamInfo i;
    ASSERT_TRUE(callctl::api::instance(ph.inst)->media->stream_info(call, &i));
    EXPECT_TRUE(i.srtp);
    EXPECT_EQ(i.srtp_auth_failed + i.srtp_replayed, 0u);
    ASSERT_EQ(sipxCallDestroy(&call), SIPX_RESULT_SUCCESS);
    std::string log = slurp(home + "/log");
    EXPECT_NE(log.find("SRTP is Enabled (cryptosuite=AES_CM_128_HMAC_SHA1_80)"), std::string::npos) << log;
    EXPECT_EQ(log.find("failed to decrypt"), std::string::npos) << log;
    run_sh("kill $(cat '" + home + "/pid') 2>/dev/null; rm -rf '" + home + "'", 5000);
}

#endif  // _WIN32
