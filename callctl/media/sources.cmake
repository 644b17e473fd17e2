# The media layer's sources, relative to callctl/: codec negotiation, tones, WAVE files
# and the media engine with its thread.
set(CALLCTL_MEDIA_SOURCES
    media/negotiate.cpp
    media/tone.cpp
    media/wave.cpp
    media/engine.cpp
)
