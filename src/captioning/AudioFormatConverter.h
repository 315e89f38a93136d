#pragma once

#include "captioning/AudioBuffer.h"

#include <QString>

#include <cstdint>
#include <optional>

// Converts one PCM buffer into another format: sample type, interleaving and channel count by hand
// (a mono target takes the average of all channels), the sample rate with libsoxr. Every call is a
// complete conversion of its own; no state is carried from one buffer to the next.
class AudioFormatConverter final
{
public:
    enum class Failure {
        UnsupportedFormat, // no way from the input layout to the target layout (e.g. zero channels)
        OutputCapacity, // the output frame count does not fit an unsigned 32-bit count
        Resampler, // libsoxr refused or failed
    };

    AudioFormatConverter() = delete;

    // Output frames for `frames` input frames: outRate / inRate × frames, truncated toward zero.
    // Nothing when the result is not a finite count that fits 32 bits (rate zero, negative or NaN).
    static std::optional<std::uint32_t> outputCapacity(double inRate, double outRate, std::uint32_t frames);

    // An owning buffer in `target` whose frame length is its full capacity (zero-filled where the
    // resampler wrote fewer frames). Reads `input` only during the call. On failure nothing is returned
    // and `error` (and `failure`) tell why.
    static std::optional<AudioBuffer> convert(
        const AudioBuffer &input, const AudioFormat &target, QString *error = nullptr, Failure *failure = nullptr);
};
