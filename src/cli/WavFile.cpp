#include "WavFile.h"

#include <QFile>
#include <QtEndian>

#include <cstring>

namespace {

constexpr std::uint16_t formatPcm = 1;
constexpr std::uint16_t formatFloat = 3;
constexpr std::uint16_t formatExtensible = 0xFFFE;
constexpr std::uint32_t minimumSampleRate = 4000;
constexpr std::uint32_t maximumSampleRate = 768000;

std::uint16_t u16(const char *p)
{
    return qFromLittleEndian<std::uint16_t>(p);
}
std::uint32_t u32(const char *p)
{
    return qFromLittleEndian<std::uint32_t>(p);
}

} // namespace

std::optional<WavFile> WavFile::read(const QString &path, QString *error)
{
    const auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return std::nullopt;
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("Cannot open %1: %2").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 12 || std::memcmp(bytes.constData(), "RIFF", 4) != 0
        || std::memcmp(bytes.constData() + 8, "WAVE", 4) != 0)
        return fail(QStringLiteral("%1 is not a WAV file").arg(path));

    WavFile wav;
    bool sawFormat = false;
    bool haveFormat = false;
    bool haveData = false;
    std::uint16_t bits = 0;
    qsizetype pos = 12;
    while (pos + 8 <= bytes.size()) {
        const char *chunk = bytes.constData() + pos;
        const std::uint32_t size = u32(chunk + 4);
        const qsizetype body = pos + 8;
        const qsizetype available = std::min<qsizetype>(size, bytes.size() - body);
        const bool isFormat = std::memcmp(chunk, "fmt ", 4) == 0;
        // Two formats leave it ambiguous how the data is to be read; guessing would caption noise.
        if (isFormat && sawFormat)
            return fail(QStringLiteral("%1 has more than one audio format chunk").arg(path));
        sawFormat = sawFormat || isFormat;
        if (isFormat && available >= 16) {
            std::uint16_t tag = u16(chunk + 8);
            const std::uint16_t channels = u16(chunk + 10);
            const std::uint32_t rate = u32(chunk + 12);
            bits = u16(chunk + 22);
            if (tag == formatExtensible && available >= 26)
                tag = u16(chunk + 8 + 24); // the sub-format GUID starts with the format tag
            if (channels == 0 || rate == 0)
                return fail(QStringLiteral("%1 has no channels or no sample rate").arg(path));
            // A rate no recording uses means a damaged header, and a tiny one would have the converter
            // expand the file thousands of times over on its way to the speech engine's 16 kHz.
            if (rate < minimumSampleRate || rate > maximumSampleRate)
                return fail(QStringLiteral("%1: sample rate %2 Hz is outside %3 to %4 Hz")
                                .arg(path)
                                .arg(rate)
                                .arg(minimumSampleRate)
                                .arg(maximumSampleRate));
            if (tag == formatPcm && bits == 16)
                wav.m_format.sampleType = SampleType::Int16;
            else if (tag == formatFloat && bits == 32)
                wav.m_format.sampleType = SampleType::Float32;
            else
                return fail(QStringLiteral("%1: only 16-bit integer or 32-bit float samples are supported").arg(path));
            wav.m_format.sampleRate = rate;
            wav.m_format.channelCount = channels;
            wav.m_format.interleaved = true;
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            wav.m_data = bytes.mid(body, available);
            haveData = true;
        }
        pos = body + qsizetype(size) + (size & 1);
    }
    if (!haveFormat || !haveData)
        return fail(QStringLiteral("%1 has no audio format or no audio data").arg(path));
    wav.m_frames = std::uint32_t(wav.m_data.size() / (wav.m_format.bytesPerSample() * wav.m_format.channelCount));
    return wav;
}

AudioBuffer WavFile::view(std::uint32_t firstFrame, std::uint32_t frames) const
{
    firstFrame = std::min(firstFrame, m_frames);
    frames = std::min(frames, m_frames - firstFrame);
    const std::size_t stride = std::size_t(m_format.bytesPerSample()) * m_format.channelCount;
    return AudioBuffer::view(m_format, { m_data.constData() + std::size_t(firstFrame) * stride }, frames);
}

std::vector<float> WavFile::monoFloat() const
{
    std::vector<float> out;
    if (m_format.channelCount != 1)
        return out;
    out.resize(m_frames);
    for (std::uint32_t i = 0; i < m_frames; ++i) {
        const char *p = m_data.constData() + std::size_t(i) * m_format.bytesPerSample();
        if (m_format.sampleType == SampleType::Int16)
            out[i] = float(qFromLittleEndian<std::int16_t>(p)) / 32768.0f;
        else
            out[i] = qFromLittleEndian<float>(p);
    }
    return out;
}
