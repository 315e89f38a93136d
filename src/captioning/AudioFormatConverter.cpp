#include "captioning/AudioFormatConverter.h"

#include <soxr.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// One float plane per channel of the input, in the input's own rate.
using Planes = std::vector<std::vector<float>>;

float sampleAt(const AudioBuffer &in, std::uint32_t channel, std::uint32_t frame)
{
    const AudioFormat &f = in.format();
    const std::size_t plane = f.interleaved ? 0 : channel;
    const std::size_t index = f.interleaved ? std::size_t(frame) * f.channelCount + channel : frame;
    if (f.sampleType == SampleType::Float32)
        return static_cast<const float *>(in.plane(plane))[index];
    return float(static_cast<const std::int16_t *>(in.plane(plane))[index]) / 32768.0f;
}

// Reads the input as float and brings it to `channels` channels: all channels averaged into one, one
// channel copied into many, or an equal count copied through.
Planes readChannels(const AudioBuffer &in, std::uint32_t channels)
{
    const std::uint32_t inChannels = in.format().channelCount;
    const std::uint32_t frames = in.frameLength();
    Planes out(channels, std::vector<float>(frames));
    if (channels == inChannels) {
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < frames; ++i)
                out[c][i] = sampleAt(in, c, i);
    } else if (channels == 1) {
        const float scale = 1.0f / float(inChannels);
        for (std::uint32_t i = 0; i < frames; ++i) {
            float sum = 0.0f;
            for (std::uint32_t c = 0; c < inChannels; ++c)
                sum += sampleAt(in, c, i);
            out[0][i] = sum * scale;
        }
    } else { // inChannels == 1
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float s = sampleAt(in, 0, i);
            for (std::uint32_t c = 0; c < channels; ++c)
                out[c][i] = s;
        }
    }
    return out;
}

std::int16_t toInt16(float s)
{
    const float scaled = std::round(s * 32768.0f);
    if (!(scaled > -32768.0f))
        return std::numeric_limits<std::int16_t>::min();
    if (scaled > 32767.0f)
        return std::numeric_limits<std::int16_t>::max();
    return std::int16_t(scaled);
}

void writeSample(AudioBuffer &out, std::uint32_t channel, std::uint32_t frame, float s)
{
    const AudioFormat &f = out.format();
    const std::size_t plane = f.interleaved ? 0 : channel;
    const std::size_t index = f.interleaved ? std::size_t(frame) * f.channelCount + channel : frame;
    if (f.sampleType == SampleType::Float32)
        static_cast<float *>(out.mutablePlane(plane))[index] = s;
    else
        static_cast<std::int16_t *>(out.mutablePlane(plane))[index] = toInt16(s);
}

bool fail(QString *error, AudioFormatConverter::Failure *failure, AudioFormatConverter::Failure kind, QString text)
{
    if (error)
        *error = std::move(text);
    if (failure)
        *failure = kind;
    return false;
}

} // namespace

std::optional<std::uint32_t> AudioFormatConverter::outputCapacity(double inRate, double outRate, std::uint32_t frames)
{
    const double ratio = outRate / inRate;
    const double capacity = std::trunc(ratio * double(frames));
    // NaN fails both comparisons.
    if (!(capacity >= 0.0 && capacity <= double(std::numeric_limits<std::uint32_t>::max())))
        return std::nullopt;
    return std::uint32_t(capacity);
}

std::optional<AudioBuffer> AudioFormatConverter::convert(
    const AudioBuffer &input, const AudioFormat &target, QString *error, Failure *failure)
{
    const AudioFormat &from = input.format();
    const std::size_t expectedPlanes = from.interleaved ? 1 : from.channelCount;
    if (from.channelCount == 0 || target.channelCount == 0 || input.planeCount() != expectedPlanes) {
        fail(error, failure, Failure::UnsupportedFormat,
            QStringLiteral("unsupported channel layout (%1 to %2 channels)")
                .arg(from.channelCount)
                .arg(target.channelCount));
        return std::nullopt;
    }
    if (target.channelCount != from.channelCount && target.channelCount != 1 && from.channelCount != 1) {
        fail(error, failure, Failure::UnsupportedFormat,
            QStringLiteral("no channel mapping from %1 to %2 channels")
                .arg(from.channelCount)
                .arg(target.channelCount));
        return std::nullopt;
    }
    const std::optional<std::uint32_t> capacity
        = outputCapacity(from.sampleRate, target.sampleRate, input.frameLength());
    if (!capacity || !(target.sampleRate > 0.0)) {
        fail(error, failure, Failure::OutputCapacity,
            QStringLiteral("output frame count for %1 frames from %2 Hz to %3 Hz does not fit 32 bits")
                .arg(input.frameLength())
                .arg(from.sampleRate)
                .arg(target.sampleRate));
        return std::nullopt;
    }

    Planes planes = readChannels(input, target.channelCount);

    AudioBuffer out = AudioBuffer::allocate(target, *capacity);
    out.setFrameLength(*capacity);
    if (*capacity == 0 || input.frameLength() == 0)
        return out;

    if (from.sampleRate == target.sampleRate) {
        for (std::uint32_t c = 0; c < target.channelCount; ++c)
            for (std::uint32_t i = 0; i < *capacity; ++i)
                writeSample(out, c, i, planes[c][i]);
        return out;
    }

    // One-shot resampling of every channel plane at once (split layout); the filter's delay is taken out
    // by libsoxr so that the output lines up with the input.
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    std::vector<const float *> inPtrs;
    Planes resampled(target.channelCount, std::vector<float>(*capacity, 0.0f));
    std::vector<float *> outPtrs;
    for (std::uint32_t c = 0; c < target.channelCount; ++c) {
        inPtrs.push_back(planes[c].data());
        outPtrs.push_back(resampled[c].data());
    }
    std::size_t consumed = 0;
    std::size_t produced = 0;
    const soxr_error_t soxrError = soxr_oneshot(from.sampleRate, target.sampleRate, target.channelCount, inPtrs.data(),
        input.frameLength(), &consumed, outPtrs.data(), *capacity, &produced, &io, &quality, nullptr);
    if (soxrError) {
        fail(error, failure, Failure::Resampler, QString::fromUtf8(soxrError));
        return std::nullopt;
    }
    for (std::uint32_t c = 0; c < target.channelCount; ++c)
        for (std::uint32_t i = 0; i < *capacity; ++i)
            writeSample(out, c, i, resampled[c][i]);
    return out;
}
