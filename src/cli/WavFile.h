#pragma once

#include "captioning/AudioBuffer.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QFile;

// A WAV file or stream read in blocks: 16-bit integer or 32-bit float PCM, 4 to 768 kHz, any channel
// count, interleaved as stored. Only one block is held at a time, so memory stays the same whatever the
// input's length: a pipe or a FIFO works too, and a data length of 0xFFFFFFFF (what streaming writers
// put when they cannot know it) means "until the end of the stream".
class WavFile final
{
public:
    // Nothing, with `error` set, when the file cannot be read or is not a WAV file of those kinds.
    static std::optional<WavFile> open(const QString &path, QString *error);
    // A whole 16000 Hz mono file as float samples, for recordings of known size.
    static std::optional<std::vector<float>> readMonoFloat(const QString &path, QString *error);

    WavFile(WavFile &&) noexcept;
    WavFile &operator=(WavFile &&) noexcept;
    ~WavFile();

    const AudioFormat &format() const { return m_format; }

    // Up to `frames` further frames, as a view valid until the next call. Empty at the end of the audio,
    // or when reading failed, and then error() says why.
    AudioBuffer next(std::uint32_t frames);
    const QString &error() const { return m_error; }

private:
    WavFile();
    bool readHeader(QString *error);
    bool skip(std::uint64_t bytes);

    QString m_path;
    std::unique_ptr<QFile> m_file;
    AudioFormat m_format;
    std::optional<std::uint64_t> m_remainingBytes; // nothing: to the end of the stream
    QByteArray m_block;
    QString m_error;
};
