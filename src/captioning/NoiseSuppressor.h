#pragma once

#include <cstddef>
#include <functional>
#include <memory>

// Removes steady background sound (hiss, hum, a music bed) from speech. A library does the work; this is
// the seam between the sound front end and it. Frames are 10 ms of 16000 Hz mono audio, floats in [-1, 1],
// processed in place, one after another on one thread.
class NoiseSuppressor
{
public:
    static constexpr std::size_t frameSamples = 160;

    virtual ~NoiseSuppressor() = default;
    virtual void process(float *frame) = 0;
};

using NoiseSuppressorFactory = std::function<std::unique_ptr<NoiseSuppressor>()>;
