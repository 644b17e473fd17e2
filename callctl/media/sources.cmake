# The media layer's sources, relative to callctl/: codec negotiation, tones, WAVE files,
# the per-call stream, the mix, the capture path and levels, the device of each direction,
# and the engine with its thread.
set(CALLCTL_MEDIA_SOURCES
    media/negotiate.cpp
    media/tone.cpp
    media/wave.cpp
    media/stream.cpp
    media/stream_send.cpp
    media/mix.cpp
    media/capture.cpp
    media/device_slot.cpp
    media/engine.cpp
    media/quality.cpp
)
