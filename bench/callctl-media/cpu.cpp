// One call's media path, driven frame by frame on a virtual clock: engine
// A (measured) talks to engine B over loopback, both ways, PCMU (or the
// codec named). Per 20 ms frame A encodes and sends its microphone,
// receives and decodes B's packet into the jitter buffer, plays out a
// frame, mixes the speaker, takes both levels and sends RTCP when due;
// with "srtp" every RTP and RTCP packet is protected and checked
// (AES_CM_128_HMAC_SHA1_80, fixed keys).
//
//   callctl_media_cpu [seconds] [PCMU|G729] [srtp]
// Under `valgrind --tool=callgrind --collect-atstart=no` only engine A's
// work is counted (CALLGRIND_TOGGLE_COLLECT around it); see cpu.sh and
// srtp.sh.
#include <valgrind/callgrind.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/codec.h"
#include "media/media.h"

using namespace callctl;

int main(int argc, char **argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    std::string codec = argc > 2 ? argv[2] : "PCMU";
    bool srtp = argc > 3 && std::strcmp(argv[3], "srtp") == 0;
    const codec::CodecInfo *info = codec::find(codec);
    if (!info) {
        std::fprintf(stderr, "codec %s is not in this build\n", codec.c_str());
        return 1;
    }
    net_startup();
    auto null_devices = device::platform_factory();
    media::Engine a(null_devices), b(null_devices);
    uint16_t pa = a.open_stream(1, 0x7f000001, 42000, 50);
    uint16_t pb = b.open_stream(1, 0x7f000001, 42100, 50);
    if (!pa || !pb) {
        std::fprintf(stderr, "cannot bind RTP ports\n");
        return 1;
    }
    // Two keys, one per direction (A sends with the first).
    sdp::SrtpKey k[2];
    for (int i = 0; i < 2; ++i) {
        k[i].suite = sdp::SrtpSuite::AesCm128HmacSha1_80;
        for (size_t j = 0; j < sdp::kMasterLength; ++j) k[i].master[j] = uint8_t(17 * j + 101 * i + 3);
    }
    auto params = [&](uint16_t port, int sends) {
        media::StreamParams p;
        p.rtp = {0x7f000001, port};
        p.rtcp = {0x7f000001, uint16_t(port + 1)};
        p.audio = {{info->static_pt, info->name}};
        p.te_pt = 101;
        p.send = p.recv = true;
        if (srtp) p.srtp = {k[sends], k[1 - sends]};
        return p;
    };
    a.configure(1, params(pb, 0));
    b.configure(1, params(pa, 1));
    int16_t mic_a[160], mic_b[160];
    int frames = seconds * 50;
    double phase_a = 0, phase_b = 0;
    int64_t t = 1000000;
    for (int i = 0; i < frames; ++i, t += 20) {
        for (int k = 0; k < 160; ++k) {
            mic_a[k] = int16_t(9000 * std::sin(phase_a));
            mic_b[k] = int16_t(7000 * std::sin(phase_b));
            phase_a += 2 * 3.141592653589793 * 440 / 8000;
            phase_b += 2 * 3.141592653589793 * 620 / 8000;
        }
        CALLGRIND_TOGGLE_COLLECT;
        a.tick(mic_a, t);
        CALLGRIND_TOGGLE_COLLECT;
        b.receive(5, t + 3);
        b.tick(mic_b, t + 10);
        CALLGRIND_TOGGLE_COLLECT;
        a.receive(5, t + 13);
        CALLGRIND_TOGGLE_COLLECT;
    }
    media::Engine::StreamInfo ia, ib;
    a.stream_info(1, &ia);
    b.stream_info(1, &ib);
    std::printf("%s%s: frames %d  A sent %llu received %llu played %llu concealed %llu  B received %llu played %llu"
                "  SRTP dropped %llu\n",
                info->name, srtp ? " with SRTP" : "", frames, (unsigned long long)ia.sent_packets,
                (unsigned long long)ia.received_packets, (unsigned long long)ia.played,
                (unsigned long long)ia.concealed, (unsigned long long)ib.received_packets,
                (unsigned long long)ib.played,
                (unsigned long long)(ia.srtp_auth_failed + ia.srtp_replayed + ib.srtp_auth_failed + ib.srtp_replayed));
    a.stop();
    b.stop();
    net_cleanup();
    // Every frame must have gone through: otherwise the count is not of a call.
    bool through = ia.played + 5 >= uint64_t(frames) && ib.played + 5 >= uint64_t(frames);
    return through && ia.srtp == srtp && ia.srtp_auth_failed == 0 && ib.srtp_auth_failed == 0 ? 0 : 2;
}
