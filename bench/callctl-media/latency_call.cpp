// Holds one call with the default sound devices for a while: the far end
// of the latency benchmark (latency.sh) is a sipp callee echoing RTP.
//
//   callctl_media_latency SIP-PORT SECONDS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "callctl.h"

namespace {
volatile LONG g_state = 0;
int on_event(int category, void *info, void *) {
    auto *e = static_cast<SIPX_EVENT_INFO *>(info);
    if (category == SIPX_EVENT_CATEGORY_CALLSTATE) InterlockedExchange(&g_state, LONG(e->event));
    return 0;
}
}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: callctl_media_latency SIP-PORT SECONDS\n");
        return 2;
    }
    int port = std::atoi(argv[1]), seconds = std::atoi(argv[2]);
    SIPX_INST inst = 0;
    if (sipxInitialize(&inst, 0, -1, -1, 30000, 10, "sipx", "127.0.0.1", 0) != SIPX_RESULT_SUCCESS) return 1;
    sipxEventListenerAdd(inst, on_event, nullptr);
    sipxAudioSetInputDevice(inst, "", 0);
    sipxAudioSetOutputDevice(inst, "", 0);
    sipxAudioSetInputVolume(inst, 100);
    std::string id = "sip:8001@127.0.0.1:" + std::to_string(port);
    std::string to = "sip:80000@127.0.0.1:" + std::to_string(port);
    SIPX_LINE line = 0;
    SIPX_CALL call = 0;
    SIPX_CALL_OPTIONS opt = {20, 1, 1, 1, 0};
    sipxLineAdd(inst, id.c_str(), &line, 0);
    sipxCallCreate(inst, line, &call);
    sipxCallConnect(call, to.c_str(), 0, nullptr, 1, &opt, nullptr);
    for (int i = 0; i < 250 && g_state != SIPX_CALLSTATE_CONNECTED; ++i) Sleep(20);
    if (g_state != SIPX_CALLSTATE_CONNECTED) {
        std::fprintf(stderr, "call not connected (state %ld)\n", long(g_state));
        sipxUnInitialize(inst, 1);
        return 1;
    }
    std::printf("connected\n");
    std::fflush(stdout);
    Sleep(DWORD(seconds) * 1000);
    sipxCallDestroy(&call);
    sipxUnInitialize(inst, 1);
    return 0;
}
