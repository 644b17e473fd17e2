// The C interface's audio operations: tones, recordings, devices, volume,
// mutes, levels and the capture-processing modes. Settings are stored per
// instance (the getters read them back) and handed to its media engine.
#include <algorithm>
#include <mutex>

#include "../base/boundary.h"
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

void apply_processing(Instance &i) {
    i.media->set_processing(i.audio.aec_mode, i.audio.noise_reduction != 0, i.audio.agc != 0);
}

}  // namespace

extern "C" {

SIPX_RESULT sipxCallStartTone(SIPX_CALL hCall, int toneId, int bLocal, int bRemote, int minDurationMs) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (toneId < 0 || toneId > 11 || minDurationMs < 0) return SIPX_RESULT_INVALID_ARGS;
        return with_call(hCall, [&](Instance &i, Call &c) {
            return i.media->start_tone(c.handle, toneId, bLocal != 0, bRemote != 0, minDurationMs, i.config.dtmf_mode);
        });
    });
}

SIPX_RESULT sipxCallStopTone(SIPX_CALL hCall) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        return with_call(hCall, [](Instance &i, Call &c) { return i.media->stop_tone(c.handle); });
    });
}

SIPX_RESULT sipxCallAudioRecordFileStart(SIPX_CALL hCall, const char *szFile) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (!szFile || !*szFile) return SIPX_RESULT_INVALID_ARGS;
        return with_call(hCall, [&](Instance &i, Call &c) { return i.media->record_start(c.handle, szFile); });
    });
}

SIPX_RESULT sipxCallAudioRecordFileStop(SIPX_CALL hCall) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        return with_call(hCall, [](Instance &i, Call &c) { return i.media->record_stop(c.handle); });
    });
}

SIPX_RESULT sipxCallGetAudioQuality(SIPX_CALL hCall, SIPX_AUDIO_QUALITY *pQuality) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (!pQuality || pQuality->cbSize < sizeof(SIPX_AUDIO_QUALITY)) return SIPX_RESULT_INVALID_ARGS;
        return with_call(hCall, [&](Instance &i, Call &c) {
            media::Engine::CallQuality q;
            if (!i.media->call_quality(c.handle, &q)) return SIPX_RESULT_FAILURE;
            pQuality->bars = q.bars;
            pQuality->mosTimes10 = int(q.mos * 10 + 0.5);
            pQuality->lostPerMille = int(q.lost_percent * 10 + 0.5);
            pQuality->jitterMs = q.jitter_ms;
            pQuality->roundTripMs = q.round_trip_ms;
            pQuality->bufferMs = q.buffer_ms;
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioSetInputDevice(SIPX_INST hInst, const char *szDevice, int flags) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        (void)flags;
        return with_instance(hInst, [&](Instance &i) {
            i.audio.input_device = szDevice ? szDevice : "";
            i.media->set_input_device(i.audio.input_device);
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioSetOutputDevice(SIPX_INST hInst, const char *szDevice, int flags) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        (void)flags;
        return with_instance(hInst, [&](Instance &i) {
            i.audio.output_device = szDevice ? szDevice : "";
            i.media->set_output_device(i.audio.output_device);
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioSetInputVolume(SIPX_INST hInst, int level) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        return with_instance(hInst, [&](Instance &i) {
            i.audio.input_volume = std::clamp(level, 0, 100);
            i.media->set_input_volume(i.audio.input_volume);
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioGetInputVolume(SIPX_INST hInst, int *pLevel) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (!pLevel) return SIPX_RESULT_INVALID_ARGS;
        return with_instance(hInst, [&](Instance &i) {
            *pLevel = i.audio.input_volume;
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioMuteInput(SIPX_INST hInst, int bMute) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        return with_instance(hInst, [&](Instance &i) {
            i.audio.mute_input = bMute != 0;
            i.media->mute_input(i.audio.mute_input);
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioMuteOutput(SIPX_INST hInst, int bMute) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        return with_instance(hInst, [&](Instance &i) {
            i.audio.mute_output = bMute != 0;
            i.media->mute_output(i.audio.mute_output);
            return SIPX_RESULT_SUCCESS;
        });
    });
}

// The levels are atomics of the engine: no instance lock, so a window
// polling every 50 ms never waits behind signalling work.
SIPX_RESULT sipxAudioGetInputEnergy(SIPX_INST hInst, int window, double *pEnergy) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (!pEnergy || window != 1) return SIPX_RESULT_INVALID_ARGS;
        auto inst = api::instance(hInst);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        *pEnergy = inst->media->input_energy();
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioGetOutputEnergy(SIPX_INST hInst, int window, double *pEnergy) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (!pEnergy || window != 1) return SIPX_RESULT_INVALID_ARGS;
        auto inst = api::instance(hInst);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        *pEnergy = inst->media->output_energy();
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxAudioSetAECMode(SIPX_INST hInst, int mode) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (mode < 0 || mode > 3) return SIPX_RESULT_INVALID_ARGS;
        return with_instance(hInst, [&](Instance &i) {
            i.audio.aec_mode = mode;
            apply_processing(i);
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioGetAECMode(SIPX_INST hInst, int *pMode) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (!pMode) return SIPX_RESULT_INVALID_ARGS;
        return with_instance(hInst, [&](Instance &i) {
            *pMode = i.audio.aec_mode;
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioSetAGCMode(SIPX_INST hInst, int bEnable) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        return with_instance(hInst, [&](Instance &i) {
            i.audio.agc = bEnable != 0;
            apply_processing(i);
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioGetAGCMode(SIPX_INST hInst, int *pEnable) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (!pEnable) return SIPX_RESULT_INVALID_ARGS;
        return with_instance(hInst, [&](Instance &i) {
            *pEnable = i.audio.agc;
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioSetNoiseReductionMode(SIPX_INST hInst, int bEnable) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        return with_instance(hInst, [&](Instance &i) {
            i.audio.noise_reduction = bEnable != 0;
            apply_processing(i);
            return SIPX_RESULT_SUCCESS;
        });
    });
}

SIPX_RESULT sipxAudioGetNoiseReductionMode(SIPX_INST hInst, int *pEnable) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (!pEnable) return SIPX_RESULT_INVALID_ARGS;
        return with_instance(hInst, [&](Instance &i) {
            *pEnable = i.audio.noise_reduction;
            return SIPX_RESULT_SUCCESS;
        });
    });
}

}  // extern "C"
