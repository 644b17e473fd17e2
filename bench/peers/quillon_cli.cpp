// A small command-line phone over callctl.h for the side-by-side benchmarks
// (bench/peers/run): it does what the peers are made to do there, with the
// library's file devices, so all three run the same work.
//
//   quillon_cli [options]
//     --mic FILE        microphone: a WAVE (or raw) file (file device)
//     --speaker FILE    speaker: a file; without it the null device
//     --register URI    register a line sip:user@host:port and wait for it
//     --call URI        place calls to URI (repeatable with --calls)
//     --calls N         how many calls to place at once (1)
//     --conference      join the calls into one conference instead
//     --codec NAME      codec put first in offers (PCMU, PCMA, G729)
//     --aec MODE        echo canceller mode 0..3 (0)
//     --ns, --agc       noise reduction, gain control on
//     --rtp-port P      first media port (40000)
//     --hold S          end after S seconds connected (0: at end of input)
//     --levels          read both level meters every 50 ms while connected, as the
//                       phone window's level bars do
//
// It prints "registered" once registered and "connected N" once all N calls
// are up, then keeps them until its input ends (or --hold runs out), hangs
// up and exits. The caller reads the process's figures from outside
// (/proc, callgrind_control), so the program measures nothing itself.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "callctl.h"

namespace {

struct Events {
    std::mutex m;
    std::condition_variable cv;
    std::set<SIPX_CALL> connected, ended;
    bool registered = false, register_failed = false;

    static int listener(int category, void *info, void *user) {
        auto *self = static_cast<Events *>(user);
        auto *e = static_cast<SIPX_EVENT_INFO *>(info);
        std::lock_guard<std::mutex> l(self->m);
        if (category == SIPX_EVENT_CATEGORY_CALLSTATE) {
            if (e->event == SIPX_CALLSTATE_CONNECTED) self->connected.insert(e->hCall);
            if (e->event == SIPX_CALLSTATE_DISCONNECTED) self->ended.insert(e->hCall);
        } else if (category == SIPX_EVENT_CATEGORY_LINESTATE) {
            if (e->event == SIPX_LINESTATE_REGISTERED) self->registered = true;
            if (e->event == SIPX_LINESTATE_REGISTER_FAILED) self->register_failed = true;
        }
        self->cv.notify_all();
        return 1;
    }
    template <class Pred> bool wait(int timeout_ms, Pred pred) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return pred(*this); });
    }
};

int usage(const char *argv0) {
    std::fprintf(stderr, "usage: %s [--mic F] [--speaker F] [--register URI] [--call URI] [--calls N] [--conference]\n"
                         "          [--codec NAME] [--aec M] [--ns] [--agc] [--rtp-port P] [--hold S] [--levels]\n",
                 argv0);
    return 64;
}

}  // namespace

int main(int argc, char **argv) {
    std::string mic, speaker, registrar, target, codec;
    int calls = 1, aec = 0, rtp_port = 40000;
    bool ns = false, agc = false, conference = false, levels = false;
    double hold_s = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        if (a == "--ns") ns = true;
        else if (a == "--levels") levels = true;
        else if (a == "--agc") agc = true;
        else if (a == "--conference") conference = true;
        else if (!(v = value())) return usage(argv[0]);
        else if (a == "--mic") mic = v;
        else if (a == "--speaker") speaker = v;
        else if (a == "--register") registrar = v;
        else if (a == "--call") target = v;
        else if (a == "--calls") calls = std::atoi(v);
        else if (a == "--codec") codec = v;
        else if (a == "--aec") aec = std::atoi(v);
        else if (a == "--rtp-port") rtp_port = std::atoi(v);
        else if (a == "--hold") hold_s = std::atof(v);
        else return usage(argv[0]);
    }
    if (calls < 1 || calls > 500) return usage(argv[0]);

    SIPX_INST inst = 0;
    if (sipxInitialize(&inst, 0, -1, -1, rtp_port, calls + 4, "bench", "127.0.0.1", 0) != SIPX_RESULT_SUCCESS) {
        std::fprintf(stderr, "sipxInitialize failed\n");
        return 70;
    }
    Events ev;
    sipxEventListenerAdd(inst, &Events::listener, &ev);
    sipxConfigEnableTestDevices(inst, 1);
    if (!mic.empty() && sipxAudioSetInputDevice(inst, ("file:" + mic).c_str(), 0) != SIPX_RESULT_SUCCESS) return 70;
    if (!speaker.empty() && sipxAudioSetOutputDevice(inst, ("file:" + speaker).c_str(), 0) != SIPX_RESULT_SUCCESS)
        return 70;
    if (!codec.empty() && sipxConfigSelectAudioCodecByName(inst, codec.c_str()) != SIPX_RESULT_SUCCESS) {
        std::fprintf(stderr, "codec %s not in this build\n", codec.c_str());
        return 70;
    }
    sipxAudioSetAECMode(inst, aec);
    sipxAudioSetNoiseReductionMode(inst, ns ? 1 : 0);
    sipxAudioSetAGCMode(inst, agc ? 1 : 0);

    int rc = 0;
    SIPX_LINE line = 0;
    if (!registrar.empty()) {
        if (sipxLineAdd(inst, registrar.c_str(), &line, 0) != SIPX_RESULT_SUCCESS ||
            sipxLineRegister(line, 1) != SIPX_RESULT_SUCCESS ||
            !ev.wait(10000, [](Events &e) { return e.registered || e.register_failed; }) || !ev.registered) {
            std::fprintf(stderr, "registration failed\n");
            rc = 3;
        } else {
            std::printf("registered\n");
            std::fflush(stdout);
        }
    } else if (!target.empty()) {
        // A line that is not registered: the calls go straight to the target.
        std::string host = target.substr(target.find('@') + 1);
        sipxLineAdd(inst, ("sip:bench@" + host).c_str(), &line, 0);
    }

    std::vector<SIPX_CALL> handles;
    SIPX_CONF conf = 0;
    if (rc == 0 && !target.empty()) {
        if (conference) sipxConferenceCreate(inst, &conf);
        for (int i = 0; i < calls; ++i) {
            SIPX_CALL call = 0;
            SIPX_RESULT r;
            if (conference) {
                r = sipxConferenceAdd(conf, line, target.c_str(), &call, 0, nullptr, nullptr, 1, nullptr);
            } else {
                r = sipxCallCreate(inst, line, &call);
                if (r == SIPX_RESULT_SUCCESS) r = sipxCallConnect(call, target.c_str(), 0, nullptr, 1, nullptr, nullptr);
            }
            if (r != SIPX_RESULT_SUCCESS) {
                std::fprintf(stderr, "call %d could not be placed (%d)\n", i + 1, int(r));
                rc = 4;
                break;
            }
            handles.push_back(call);
        }
        size_t want = handles.size();
        if (rc == 0 && ev.wait(20000, [want](Events &e) { return e.connected.size() >= want; })) {
            std::printf("connected %zu\n", want);
            std::fflush(stdout);
        } else if (rc == 0) {
            std::fprintf(stderr, "only %zu of %zu calls connected\n", ev.connected.size(), want);
            rc = 5;
        }
    }

    std::atomic<bool> done{false};
    std::thread meters;
    if (rc == 0 && levels)
        meters = std::thread([&] {
            double e = 0;
            while (!done) {
                sipxAudioGetInputEnergy(inst, 1, &e);
                sipxAudioGetOutputEnergy(inst, 1, &e);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    if (rc == 0) {
        if (hold_s > 0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(hold_s));
        } else {
            char buf[256];
            while (read(0, buf, sizeof buf) > 0) {
            }
        }
        std::lock_guard<std::mutex> l(ev.m);
        if (!ev.ended.empty()) {
            std::fprintf(stderr, "%zu calls ended early\n", ev.ended.size());
            rc = 6;
        }
    }
    done = true;
    if (meters.joinable()) meters.join();
    if (conf) sipxConferenceDestroy(conf);
    else
        for (SIPX_CALL &c : handles) sipxCallDestroy(&c);
    sipxUnInitialize(inst, 1);
    return rc;
}
