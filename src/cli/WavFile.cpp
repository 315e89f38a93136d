#include "cli/WavFile.h"

#include <QFile>
#include <QtEndian>

#include <cstring>

namespace {

constexpr std::uint16_t formatPcm = 1;
constexpr std::uint16_t formatFloat = 3;
constexpr std::uint16_t formatExtensible = 0xFFFE;
constexpr std::uint32_t minimumSampleRate = 4000;
constexpr std::uint32_t maximumSampleRate = 768000;
// What streaming writers put in the data chunk's size when they cannot seek back to fill it in.
constexpr std::uint32_t unknownLength = 0xFFFFFFFF;
// A format chunk is 16 to 40 bytes; only that much of one is read, whatever size it claims.
constexpr qint64 formatBytesRead = 64;
constexpr qint64 skipBlock = 64 * 1024;

std::uint16_t u16(const char *p)
{
    return qFromLittleEndian<std::uint16_t>(p);
}
std::uint32_t u32(const char *p)
{
    return qFromLittleEndian<std::uint32_t>(p);
}

// Reads `size` bytes, or fewer only at the end of the input (a pipe hands them over in pieces).
qint64 readFully(QFile &file, char *into, qint64 size)
{
    qint64 got = 0;
    while (got < size) {
        const qint64 n = file.read(into + got, size - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

} // namespace

WavFile::WavFile() = default;
WavFile::WavFile(WavFile &&) noexcept = default;
WavFile &WavFile::operator=(WavFile &&) noexcept = default;
WavFile::~WavFile() = default;

std::optional<WavFile> WavFile::open(const QString &path, QString *error)
{
    WavFile wav;
    wav.m_path = path;
    wav.m_file = std::make_unique<QFile>(path);
    if (!wav.m_file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("Cannot open %1: %2").arg(path, wav.m_file->errorString());
        return std::nullopt;
    }
    if (!wav.readHeader(error))
        return std::nullopt;
    return wav;
}

bool WavFile::skip(std::uint64_t bytes)
{
    if (!m_file->isSequential())
        return m_file->seek(m_file->pos() + qint64(bytes));
    char buffer[skipBlock];
    while (bytes > 0) {
        const qint64 n = readFully(*m_file, buffer, qint64(std::min<std::uint64_t>(bytes, skipBlock)));
        if (n <= 0)
            return false;
        bytes -= std::uint64_t(n);
    }
    return true;
}

// Walks the chunks up to the audio data. In a file that can seek, every chunk is looked at (a format may
// follow the data, and a second format must be found); a stream stops at the data.
bool WavFile::readHeader(QString *error)
{
    const auto fail = [&](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    const QString &path = m_path;
    char riff[12];
    if (readFully(*m_file, riff, 12) != 12 || std::memcmp(riff, "RIFF", 4) != 0
        || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return fail(QStringLiteral("%1 is not a WAV file").arg(path));

    const bool seekable = !m_file->isSequential();
    bool haveFormat = false;
    std::optional<qint64> dataStart;
    std::uint32_t dataSize = 0;
    char header[8];
    while (readFully(*m_file, header, 8) == 8) {
        const std::uint32_t size = u32(header + 4);
        const std::uint64_t padded = std::uint64_t(size) + (size & 1);
        if (std::memcmp(header, "fmt ", 4) == 0) {
            // Two formats leave it ambiguous how the data is to be read; guessing would caption noise.
            if (haveFormat)
                return fail(QStringLiteral("%1 has more than one audio format chunk").arg(path));
            char body[formatBytesRead] = {};
            const qint64 wanted = std::min<qint64>(size, formatBytesRead);
            const qint64 available = readFully(*m_file, body, wanted);
            if (available < 16)
                return fail(QStringLiteral("%1 has a damaged audio format chunk").arg(path));
            std::uint16_t tag = u16(body);
            const std::uint16_t channels = u16(body + 2);
            const std::uint32_t rate = u32(body + 4);
            const std::uint16_t bits = u16(body + 14);
            if (tag == formatExtensible && available >= 26)
                tag = u16(body + 24); // the sub-format GUID starts with the format tag
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
                m_format.sampleType = SampleType::Int16;
            else if (tag == formatFloat && bits == 32)
                m_format.sampleType = SampleType::Float32;
            else
                return fail(QStringLiteral("%1: only 16-bit integer or 32-bit float samples are supported").arg(path));
            m_format.sampleRate = rate;
            m_format.channelCount = channels;
            m_format.interleaved = true;
            haveFormat = true;
            if (!skip(padded - std::uint64_t(available)))
                break;
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (!dataStart) {
                dataStart = m_file->pos();
                dataSize = size;
            }
            if (!seekable || size == unknownLength || !skip(padded))
                break;
        } else if (!skip(padded)) {
            break;
        }
    }
    if (!haveFormat || !dataStart)
        return fail(QStringLiteral("%1 has no audio format or no audio data").arg(path));
    if (seekable && !m_file->seek(*dataStart))
        return fail(QStringLiteral("Cannot read %1: %2").arg(path, m_file->errorString()));
    if (dataSize != unknownLength)
        m_remainingBytes = dataSize;
    return true;
}

AudioBuffer WavFile::next(std::uint32_t frames)
{
    const std::uint64_t stride = std::uint64_t(m_format.bytesPerSample()) * m_format.channelCount;
    std::uint64_t wanted = std::uint64_t(frames) * stride;
    if (m_remainingBytes)
        wanted = std::min(wanted, *m_remainingBytes - *m_remainingBytes % stride);
    m_block.resize(qsizetype(wanted));
    const qint64 got = wanted > 0 ? readFully(*m_file, m_block.data(), qint64(wanted)) : 0;
    if (got < 0) {
        m_error = QStringLiteral("Cannot read %1: %2").arg(m_path, m_file->errorString());
        return AudioBuffer::view(m_format, { m_block.constData() }, 0);
    }
    if (m_remainingBytes)
        *m_remainingBytes -= std::uint64_t(got);
    // A partial frame can only be the file's last bytes; it is dropped.
    return AudioBuffer::view(m_format, { m_block.constData() }, std::uint32_t(std::uint64_t(got) / stride));
}

std::optional<std::vector<float>> WavFile::readMonoFloat(const QString &path, QString *error)
{
    auto wav = open(path, error);
    if (!wav)
        return std::nullopt;
    if (wav->format().sampleRate != 16000 || wav->format().channelCount != 1) {
        if (error)
            *error = path + QStringLiteral(" is not 16000 Hz mono");
        return std::nullopt;
    }
    std::vector<float> out;
    for (AudioBuffer block = wav->next(16000); block.frameLength() > 0; block = wav->next(16000)) {
        const char *p = static_cast<const char *>(block.plane(0));
        for (std::uint32_t i = 0; i < block.frameLength(); ++i) {
            if (wav->format().sampleType == SampleType::Int16)
                out.push_back(float(qFromLittleEndian<std::int16_t>(p + 2 * i)) / 32768.0f);
            else
                out.push_back(qFromLittleEndian<float>(p + 4 * i));
        }
    }
    if (!wav->error().isEmpty()) {
        if (error)
            *error = wav->error();
        return std::nullopt;
    }
    return out;
}
