// The C interface's audio operations. This build has no media path yet:
// settings are validated and stored per instance and read back; energies
// are 0 (no audio flows); tones and recordings check their call and answer
// SIPX_RESULT_NOT_IMPLEMENTED.
#include <algorithm>
#include <mutex>

#include "../ua/ua.h"
#include "registry.h"

using namespace callctl;

namespace {

using Lock = std::lock_guard<std::mutex>;

template <typename Fn>
SIPX_RESULT with_instance(SIPX_INST h, Fn fn) {
    auto inst = api::instance(h);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    return fn(*inst);
}

template <typename Fn>
SIPX_RESULT with_call(SIPX_CALL h, Fn fn) {
    auto inst = api::owner(h);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    Call *call = inst->find_call(h);
    if (!call) return SIPX_RESULT_INVALID_ARGS;
    return fn(*inst, *call);
}

}  // namespace

extern "C" {

SIPX_RESULT sipxCallStartTone(SIPX_CALL hCall, int toneId, int bLocal, int bRemote, int minDurationMs) {
    (void)bLocal;
    (void)bRemote;
    if (toneId < 0 || toneId > 11 || minDurationMs < 0) return SIPX_RESULT_INVALID_ARGS;
    return with_call(hCall, [](Instance &, Call &) { return SIPX_RESULT_NOT_IMPLEMENTED; });
}

SIPX_RESULT sipxCallStopTone(SIPX_CALL hCall) {
    return with_call(hCall, [](Instance &, Call &) { return SIPX_RESULT_NOT_IMPLEMENTED; });
}

SIPX_RESULT sipxCallAudioRecordFileStart(SIPX_CALL hCall, const char *szFile) {
    if (!szFile || !*szFile) return SIPX_RESULT_INVALID_ARGS;
    return with_call(hCall, [](Instance &, Call &) { return SIPX_RESULT_NOT_IMPLEMENTED; });
}

SIPX_RESULT sipxCallAudioRecordFileStop(SIPX_CALL hCall) {
    return with_call(hCall, [](Instance &, Call &) { return SIPX_RESULT_NOT_IMPLEMENTED; });
}

SIPX_RESULT sipxAudioSetInputDevice(SIPX_INST hInst, const char *szDevice, int flags) {
    (void)flags;
    return with_instance(hInst, [&](Instance &i) {
        i.audio.input_device = szDevice ? szDevice : "";
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioSetOutputDevice(SIPX_INST hInst, const char *szDevice, int flags) {
    (void)flags;
    return with_instance(hInst, [&](Instance &i) {
        i.audio.output_device = szDevice ? szDevice : "";
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioSetInputVolume(SIPX_INST hInst, int level) {
    return with_instance(hInst, [&](Instance &i) {
        i.audio.input_volume = std::clamp(level, 0, 100);
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioGetInputVolume(SIPX_INST hInst, int *pLevel) {
    if (!pLevel) return SIPX_RESULT_INVALID_ARGS;
    return with_instance(hInst, [&](Instance &i) {
        *pLevel = i.audio.input_volume;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioMuteInput(SIPX_INST hInst, int bMute) {
    return with_instance(hInst, [&](Instance &i) {
        i.audio.mute_input = bMute != 0;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioMuteOutput(SIPX_INST hInst, int bMute) {
    return with_instance(hInst, [&](Instance &i) {
        i.audio.mute_output = bMute != 0;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioGetInputEnergy(SIPX_INST hInst, int window, double *pEnergy) {
    if (!pEnergy || window != 1) return SIPX_RESULT_INVALID_ARGS;
    return with_instance(hInst, [&](Instance &) {
        *pEnergy = 0.0;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioGetOutputEnergy(SIPX_INST hInst, int window, double *pEnergy) {
    if (!pEnergy || window != 1) return SIPX_RESULT_INVALID_ARGS;
    return with_instance(hInst, [&](Instance &) {
        *pEnergy = 0.0;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioSetAECMode(SIPX_INST hInst, int mode) {
    if (mode < 0 || mode > 3) return SIPX_RESULT_INVALID_ARGS;
    return with_instance(hInst, [&](Instance &i) {
        i.audio.aec_mode = mode;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioGetAECMode(SIPX_INST hInst, int *pMode) {
    if (!pMode) return SIPX_RESULT_INVALID_ARGS;
    return with_instance(hInst, [&](Instance &i) {
        *pMode = i.audio.aec_mode;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioSetAGCMode(SIPX_INST hInst, int bEnable) {
    return with_instance(hInst, [&](Instance &i) {
        i.audio.agc = bEnable != 0;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioGetAGCMode(SIPX_INST hInst, int *pEnable) {
    if (!pEnable) return SIPX_RESULT_INVALID_ARGS;
    return with_instance(hInst, [&](Instance &i) {
        *pEnable = i.audio.agc;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioSetNoiseReductionMode(SIPX_INST hInst, int bEnable) {
    return with_instance(hInst, [&](Instance &i) {
        i.audio.noise_reduction = bEnable != 0;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioGetNoiseReductionMode(SIPX_INST hInst, int *pEnable) {
    if (!pEnable) return SIPX_RESULT_INVALID_ARGS;
    return with_instance(hInst, [&](Instance &i) {
        *pEnable = i.audio.noise_reduction;
        return SIPX_RESULT_SUCCESS;
    });
}

}  // extern "C"
