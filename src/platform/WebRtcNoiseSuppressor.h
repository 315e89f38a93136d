#pragma once

#include "captioning/NoiseSuppressor.h"

// The noise suppressor of WebRTC's audio processing module (the one PulseAudio and PipeWire use for echo
// cancelling), with its high-pass filter. `level` is 0 (low) to 3 (very high).
NoiseSuppressorFactory makeWebRtcNoiseSuppressorFactory(int level = 2);
