#pragma once

#include "AudioBuffer.h"

#include <QByteArray>
#include <QString>

#include <optional>

// A WAV file read whole into memory: 16-bit integer or 32-bit float PCM, 4 to 768 kHz, any channel count,
// interleaved as stored.
class WavFile final
{
public:
    // Nothing, with `error` set, when the file cannot be read or is not a WAV file of those kinds.
    static std::optional<WavFile> read(const QString &path, QString *error);

    const AudioFormat &format() const { return m_format; }
    std::uint32_t frameCount() const { return m_frames; }
    double durationSeconds() const { return m_format.sampleRate > 0 ? m_frames / m_format.sampleRate : 0; }

    // A non-owning view of `frames` frames from `firstFrame` (clamped to the file's end).
    AudioBuffer view(std::uint32_t firstFrame, std::uint32_t frames) const;
    // The file as 16000 Hz mono float samples, when it already has that rate and one channel.
    std::vector<float> monoFloat() const;

private:
    AudioFormat m_format;
    QByteArray m_data;
    std::uint32_t m_frames = 0;
};
