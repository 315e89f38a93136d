#pragma once

#include <cstdint>
#include <memory>
#include <vector>

enum class SampleType { Float32, Int16 };

// How PCM samples are laid out in memory.
struct AudioFormat {
    SampleType sampleType = SampleType::Float32;
    double sampleRate = 16000.0;
    std::uint32_t channelCount = 1;
    bool interleaved = false;

    // 32-bit float, non-interleaved: the layout capture delivers and recognition consumes.
    static AudioFormat standard(double sampleRate, std::uint32_t channels)
    {
        return { SampleType::Float32, sampleRate, channels, false };
    }
    // What the recognizer is fed: 32-bit float, 16000 Hz, one channel, non-interleaved.
    static AudioFormat recognizerTarget() { return standard(16000.0, 1); }

    std::uint32_t bytesPerSample() const { return sampleType == SampleType::Float32 ? 4 : 2; }
    friend bool operator==(const AudioFormat &, const AudioFormat &) = default;
};

// A PCM buffer: a format, a frame length (valid frames) and a frame capacity. Either a non-owning view
// over memory that someone else lends for the duration of a call (captured audio), or an owning buffer.
// Non-interleaved data has one plane per channel; interleaved data has one plane.
class AudioBuffer final
{
public:
    // A view over `planes` (channelCount planes, or one plane when interleaved). Nothing is copied; the
    // memory must outlive the view.
    static AudioBuffer view(const AudioFormat &format, std::vector<const void *> planes, std::uint32_t frameLength)
    {
        AudioBuffer b;
        b.m_format = format;
        b.m_planes = std::move(planes);
        b.m_frameLength = frameLength;
        b.m_frameCapacity = frameLength;
        return b;
    }

    // A zero-filled owning buffer with room for `frameCapacity` frames and a frame length of zero.
    static AudioBuffer allocate(const AudioFormat &format, std::uint32_t frameCapacity)
    {
        AudioBuffer b;
        b.m_format = format;
        b.m_frameCapacity = frameCapacity;
        const std::size_t planes = format.interleaved ? 1 : format.channelCount;
        const std::size_t perPlane
            = std::size_t(frameCapacity) * format.bytesPerSample() * (format.interleaved ? format.channelCount : 1);
        b.m_storage = std::make_shared<std::vector<std::uint8_t>>(planes * perPlane);
        for (std::size_t i = 0; i < planes; ++i)
            b.m_planes.push_back(b.m_storage->data() + i * perPlane);
        return b;
    }

    const AudioFormat &format() const { return m_format; }
    std::uint32_t frameLength() const { return m_frameLength; }
    std::uint32_t frameCapacity() const { return m_frameCapacity; }
    void setFrameLength(std::uint32_t frames) { m_frameLength = frames <= m_frameCapacity ? frames : m_frameCapacity; }
    bool isView() const { return !m_storage; }

    std::size_t planeCount() const { return m_planes.size(); }
    const void *plane(std::size_t i) const { return m_planes[i]; }
    // Writable planes exist only for owning buffers.
    void *mutablePlane(std::size_t i) { return m_storage ? const_cast<void *>(m_planes[i]) : nullptr; }

    const float *floatChannelData(std::size_t channel) const
    {
        return m_format.sampleType == SampleType::Float32 && !m_format.interleaved
            ? static_cast<const float *>(m_planes[channel])
            : nullptr;
    }

private:
    AudioFormat m_format;
    std::uint32_t m_frameLength = 0;
    std::uint32_t m_frameCapacity = 0;
    std::vector<const void *> m_planes;
    std::shared_ptr<std::vector<std::uint8_t>> m_storage;
};
