#include "platform/FfmpegAudioDecoder.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int minimumSampleRate = 4000;
constexpr int maximumSampleRate = 768000;
// A container whose declared length exceeds what could be decoded by more than this was cut short.
constexpr double truncationToleranceSeconds = 0.5;
// Samples (of all channels) converted at one step: a frame is converted a piece at a time, so that the
// buffer stays this small whatever rate, length or channel count the frame declares.
constexpr std::size_t convertedSamplesPerStep = std::size_t(1) << 16;
// More than this at one step means the converter was set up for something no recording holds.
constexpr std::size_t maximumSamplesPerStep = std::size_t(1) << 22;
// How long reading waits for a stalled pipe before asking again whether to stop.
constexpr int stallCheckMs = 100;
constexpr int ioBufferSize = 1 << 15;
// Containers that name other files or network streams instead of holding the sound: a playlist, a list
// of files to join, a description of streams to receive. --input is one recording.
constexpr std::array referringFormats { "hls", "dash", "concat", "imf", "sdp", "rtsp", "rtp", "sap" };
// WAV writers that cannot go back to fix the header give the sound's length as 0 or as at least this
// (sox 0x7ffff000, arecord 0x7fffffff, FFmpeg 0xffffffff): a stream's length, unknown.
constexpr std::uint32_t unknownWavLength = 0x7ffff000;

QString avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// Channels are passed through in the order stored, unless their number changes; then FFmpeg mixes
// them into the first layout by their names.
AVChannelLayout layoutOf(const AVChannelLayout &layout)
{
    AVChannelLayout out {};
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_copy(&out, &layout) < 0)
        av_channel_layout_default(&out, layout.nb_channels);
    return out;
}

std::uint32_t littleEndian32(const unsigned char *bytes)
{
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16
        | std::uint32_t(bytes[3]) << 24;
}

// The length in bytes that a WAV file's header gives its sound, when it gives one. FFmpeg forgets a
// length that runs past the end of the file, which is just what tells a file cut short.
std::optional<std::uint64_t> wavDataLength(int fd)
{
    struct stat status {
    };
    unsigned char header[12];
    if (::fstat(fd, &status) != 0 || ::pread(fd, header, sizeof header, 0) != ssize_t(sizeof header)
        || std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0)
        return std::nullopt;
    off_t at = sizeof header;
    for (int chunk = 0; chunk < 256 && at + 8 <= status.st_size; ++chunk) {
        unsigned char tag[8];
        if (::pread(fd, tag, sizeof tag, at) != ssize_t(sizeof tag))
            return std::nullopt;
        const std::uint32_t size = littleEndian32(tag + 4);
        if (std::memcmp(tag, "data", 4) == 0) {
            if (size == 0 || size >= unknownWavLength)
                return std::nullopt;
            return size;
        }
        at += off_t(8) + off_t(size) + off_t(size & 1);
    }
    return std::nullopt;
}

} // namespace

FfmpegAudioDecoder::~FfmpegAudioDecoder()
{
    swr_free(&m_resampler);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_input);
    if (m_io)
        av_freep(&m_io->buffer);
    avio_context_free(&m_io);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FfmpegAudioDecoder::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
    m_ended = true;
    return false;
}

bool FfmpegAudioDecoder::failDamaged(const QString &reason)
{
    return fail(QStringLiteral("%1 is damaged at %2 s: %3")
                    .arg(m_path)
                    .arg(double(m_decodedFrames) / m_format.sampleRate, 0, 'f', 1)
                    .arg(reason));
}

// Reads the input as FFmpeg asks for it, never waiting on a stalled pipe for longer than a check.
int FfmpegAudioDecoder::readInput(void *opaque, std::uint8_t *buffer, int size)
{
    auto *d = static_cast<FfmpegAudioDecoder *>(opaque);
    for (;;) {
        if (d->interrupted())
            return AVERROR_EXIT;
        pollfd ready { d->m_fd, POLLIN, 0 };
        const int polled = ::poll(&ready, 1, stallCheckMs);
        if (polled < 0 && errno != EINTR)
            return AVERROR(errno);
        if (polled <= 0)
            continue; // a signal or nothing yet: ask again
        const ssize_t got = ::read(d->m_fd, buffer, std::size_t(size));
        if (got > 0)
            return int(got);
        if (got == 0)
            return AVERROR_EOF;
        if (errno != EINTR && errno != EAGAIN)
            return AVERROR(errno);
    }
}

std::int64_t FfmpegAudioDecoder::seekInput(void *opaque, std::int64_t offset, int whence)
{
    auto *d = static_cast<FfmpegAudioDecoder *>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat status {
        };
        return ::fstat(d->m_fd, &status) == 0 ? std::int64_t(status.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(d->m_fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : std::int64_t(at);
}

int FfmpegAudioDecoder::interruptRequested(void *opaque)
{
    return static_cast<FfmpegAudioDecoder *>(opaque)->interrupted() ? 1 : 0;
}

// Every file a demuxer would open besides the input (a playlist's entries, a movie's external tracks) is
// refused; the first is remembered for the error.
int FfmpegAudioDecoder::refuseOpen(AVFormatContext *context, AVIOContext **, const char *url, int, AVDictionary **)
{
    auto *d = static_cast<FfmpegAudioDecoder *>(context->opaque);
    if (d && d->m_otherFile.isEmpty())
        d->m_otherFile = QString::fromUtf8(url);
    return AVERROR(EPERM);
}

std::unique_ptr<FfmpegAudioDecoder> FfmpegAudioDecoder::open(const QString &path, QString *error, Interrupt interrupted)
{
    // Every failure is reported in the caller's own words; FFmpeg's log would only repeat it.
    av_log_set_level(AV_LOG_QUIET);
    std::unique_ptr<FfmpegAudioDecoder> d(new FfmpegAudioDecoder);
    d->m_path = path;
    d->m_interrupted = std::move(interrupted);
    const auto failOpen = [&](const QString &message) {
        if (error)
            *error = message;
        return nullptr;
    };
    // A name is always a local file (or "-", standard input), never a network address or another of
    // FFmpeg's protocols: the decoder reads it itself, so that a stalled pipe cannot hold off a signal.
    const bool standardInput = path == QStringLiteral("-");
    d->m_fd = standardInput ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                            : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat status {
    };
    if (d->m_fd < 0 || ::fstat(d->m_fd, &status) != 0)
        return failOpen(QStringLiteral("Cannot open %1: %2").arg(path, avError(AVERROR(errno))));
    if (S_ISDIR(status.st_mode))
        return failOpen(QStringLiteral("Cannot open %1: %2").arg(path, avError(AVERROR(EISDIR))));
    // Standard input is read as a stream even when it is a file, as a pipe would be.
    const bool seekable = S_ISREG(status.st_mode) && !standardInput;
    auto *buffer = static_cast<std::uint8_t *>(av_malloc(ioBufferSize));
    if (buffer)
        d->m_io = avio_alloc_context(buffer, ioBufferSize, 0, d.get(), &FfmpegAudioDecoder::readInput, nullptr,
            seekable ? &FfmpegAudioDecoder::seekInput : nullptr);
    if (!d->m_io) {
        av_free(buffer);
        return failOpen(QStringLiteral("Cannot read %1: out of memory").arg(path));
    }
    d->m_input = avformat_alloc_context();
    if (!d->m_input)
        return failOpen(QStringLiteral("Cannot read %1: out of memory").arg(path));
    d->m_input->pb = d->m_io;
    d->m_input->flags |= AVFMT_FLAG_CUSTOM_IO; // closed here, not by FFmpeg
    d->m_input->opaque = d.get();
    d->m_input->io_open = &FfmpegAudioDecoder::refuseOpen;
    d->m_input->interrupt_callback = { &FfmpegAudioDecoder::interruptRequested, d.get() };
    const QByteArray name = standardInput ? QByteArray("pipe:0") : "file:" + QFile::encodeName(path);
    const AVInputFormat *format = nullptr;
    int rc = av_probe_input_buffer2(d->m_io, &format, name.constData(), nullptr, 0, 0);
    if (rc == AVERROR_INVALIDDATA)
        return failOpen(QStringLiteral("%1 is damaged or is not an audio or video file").arg(path));
    if (rc < 0 || !format)
        return failOpen(QStringLiteral("Cannot open %1: %2").arg(path, avError(rc < 0 ? rc : AVERROR_UNKNOWN)));
    const auto refers = [&](const QString &kind) {
        return failOpen(
            QStringLiteral("%1 is %2, not a recording: give the recording itself to --input").arg(path, kind));
    };
    if (std::any_of(referringFormats.begin(), referringFormats.end(),
            [&](const char *refused) { return std::strcmp(format->name, refused) == 0; }))
        return refers(QStringLiteral("a playlist or a list of other files (%1)").arg(QString::fromUtf8(format->name)));
    // Files opened inside the demuxer by means other than io_open (a nested demuxer's own) are refused
    // too: no protocol is allowed to them, as the input itself needs none.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "none", 0);
    rc = avformat_open_input(&d->m_input, name.constData(), format, &options);
    av_dict_free(&options);
    if (!d->m_otherFile.isEmpty())
        return refers(QStringLiteral("a file that refers to another (%1)").arg(d->m_otherFile));
    if (rc == AVERROR_INVALIDDATA)
        return failOpen(QStringLiteral("%1 is damaged or is not an audio or video file").arg(path));
    if (rc < 0)
        return failOpen(QStringLiteral("Cannot open %1: %2").arg(path, avError(rc)));
    if ((rc = avformat_find_stream_info(d->m_input, nullptr)) < 0) {
        if (!d->m_otherFile.isEmpty())
            return refers(QStringLiteral("a file that refers to another (%1)").arg(d->m_otherFile));
        return failOpen(QStringLiteral("Cannot read %1: %2").arg(path, avError(rc)));
    }
    const AVCodec *codec = nullptr;
    d->m_stream = av_find_best_stream(d->m_input, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (d->m_stream == AVERROR_STREAM_NOT_FOUND)
        return failOpen(QStringLiteral("%1 has no audio stream").arg(path));
    if (d->m_stream < 0 || !codec)
        return failOpen(QStringLiteral("%1: its sound is stored in a way that cannot be decoded").arg(path));
    AVStream *stream = d->m_input->streams[d->m_stream];
    for (unsigned i = 0; i < d->m_input->nb_streams; ++i) {
        if (int(i) != d->m_stream)
            d->m_input->streams[i]->discard = AVDISCARD_ALL; // video is not even demultiplexed
    }
    d->m_codec = avcodec_alloc_context3(codec);
    if (!d->m_codec || avcodec_parameters_to_context(d->m_codec, stream->codecpar) < 0
        || (rc = avcodec_open2(d->m_codec, codec, nullptr)) < 0)
        return failOpen(QStringLiteral("%1: its sound is stored in a way that cannot be decoded").arg(path));
    const int rate = d->m_codec->sample_rate;
    const int channels = d->m_codec->ch_layout.nb_channels;
    if (channels <= 0 || rate <= 0)
        return failOpen(QStringLiteral("%1 has no channels or no sample rate").arg(path));
    // A rate no recording uses means a damaged header, and a tiny one would have the converter expand
    // the input thousands of times over on its way to the speech engine's 16 kHz.
    if (rate < minimumSampleRate || rate > maximumSampleRate)
        return failOpen(QStringLiteral("%1: sample rate %2 Hz is outside %3 to %4 Hz")
                            .arg(path)
                            .arg(rate)
                            .arg(minimumSampleRate)
                            .arg(maximumSampleRate));
    d->m_format = AudioFormat { SampleType::Float32, double(rate), std::uint32_t(channels), true };
    d->m_packet = av_packet_alloc();
    d->m_frame = av_frame_alloc();
    if (!d->m_packet || !d->m_frame)
        return failOpen(QStringLiteral("Cannot read %1: out of memory").arg(path));
    // A length guessed from the bit rate is no evidence of a cut; one the container states is.
    if (seekable && d->m_input->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE
        && stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        d->m_expectedFrames = std::uint64_t(av_rescale_q(stream->duration, stream->time_base, AVRational { 1, rate }));
    // A WAV header stating more sound than the file holds: FFmpeg drops that length and guesses one from
    // the file's size, so it is read here. (A header that gives no length, as a stream's does, is no cut.)
    const int bits = av_get_exact_bits_per_sample(stream->codecpar->codec_id);
    if (seekable && !d->m_expectedFrames && std::strcmp(d->m_input->iformat->name, "wav") == 0 && bits > 0) {
        if (const auto bytes = wavDataLength(d->m_fd))
            d->m_expectedFrames = *bytes * 8 / (std::uint64_t(channels) * std::uint64_t(bits));
    }
    return d;
}

// Sets the converter up for a decoded frame. A frame's rate is checked as the stream's is: a rate no
// recording uses means a damaged frame, and would have the converter expand it without bound.
bool FfmpegAudioDecoder::accept(const AVFrame *frame)
{
    if (frame->sample_rate < minimumSampleRate || frame->sample_rate > maximumSampleRate)
        return failDamaged(QStringLiteral("part of it declares a sample rate of %1 Hz, outside %2 to %3 Hz")
                               .arg(frame->sample_rate)
                               .arg(minimumSampleRate)
                               .arg(maximumSampleRate));
    if (frame->ch_layout.nb_channels <= 0 || frame->nb_samples < 0)
        return failDamaged(QStringLiteral("part of it declares no channels"));
    if (m_resampler && frame->sample_rate == m_inRate && frame->format == m_inSampleFormat
        && frame->ch_layout.nb_channels == m_inChannels && frame->ch_layout.u.mask == m_inLayoutMask)
        return true;
    // Keep what the old setting still holds, then set up for the stream as it now is.
    if (m_resampler && !convert(nullptr, 0))
        return false;
    swr_free(&m_resampler);
    AVChannelLayout in = layoutOf(frame->ch_layout);
    AVChannelLayout out {};
    if (in.nb_channels == int(m_format.channelCount))
        av_channel_layout_copy(&out, &in);
    else
        av_channel_layout_default(&out, int(m_format.channelCount));
    const int rc = swr_alloc_set_opts2(&m_resampler, &out, AV_SAMPLE_FMT_FLT, int(m_format.sampleRate), &in,
        AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    if (rc < 0 || swr_init(m_resampler) < 0)
        return fail(QStringLiteral("%1: its sound is stored in a way that cannot be decoded").arg(m_path));
    m_inRate = frame->sample_rate;
    m_inSampleFormat = frame->format;
    m_inChannels = frame->ch_layout.nb_channels;
    m_inLayoutMask = frame->ch_layout.u.mask;
    return true;
}

// Converts the next piece of the frame held: as many of its samples as make about
// convertedSamplesPerStep samples at the output rate.
bool FfmpegAudioDecoder::convertHeldFrame()
{
    const int left = m_frame->nb_samples - m_frameDone;
    const std::int64_t outputFrames
        = std::max<std::int64_t>(1, std::int64_t(convertedSamplesPerStep / m_format.channelCount));
    const int count = int(std::clamp<std::int64_t>(
        av_rescale(outputFrames, m_inRate, std::int64_t(m_format.sampleRate)), 1, std::max(left, 1)));
    const auto format = AVSampleFormat(m_frame->format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const std::size_t step = std::size_t(av_get_bytes_per_sample(format)) * std::size_t(planar ? 1 : m_inChannels);
    m_planes.resize(planar ? std::size_t(m_inChannels) : 1);
    for (std::size_t i = 0; i < m_planes.size(); ++i)
        m_planes[i] = m_frame->extended_data[i] + std::size_t(m_frameDone) * step;
    const bool ok = left <= 0 || convert(m_planes.data(), count);
    m_frameDone += std::max(count, 0);
    if (!ok || m_frameDone >= m_frame->nb_samples) {
        av_frame_unref(m_frame);
        m_frameHeld = false;
    }
    return ok;
}

// Converts `count` samples of each channel, or with no samples, what the converter still holds.
bool FfmpegAudioDecoder::convert(const std::uint8_t *const *samples, int count)
{
    if (!m_resampler)
        return true;
    const int capacity = swr_get_out_samples(m_resampler, samples ? count : 0);
    if (capacity < 0)
        return fail(QStringLiteral("Cannot read %1: %2").arg(m_path, avError(capacity)));
    const std::size_t channels = m_format.channelCount;
    if (std::size_t(capacity) * channels > maximumSamplesPerStep)
        return fail(QStringLiteral("%1: its sound is stored in a way that cannot be decoded").arg(m_path));
    // The frames handed out are dropped now, so that the buffer holds one step's samples at most beyond
    // what the caller asked for.
    m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(m_pendingStart));
    m_pendingStart = 0;
    const std::size_t old = m_pending.size();
    m_pending.resize(old + std::size_t(capacity) * channels);
    auto *out = reinterpret_cast<std::uint8_t *>(m_pending.data() + old);
    const int got = swr_convert(m_resampler, &out, capacity,
        samples ? const_cast<const std::uint8_t **>(samples) : nullptr, samples ? count : 0);
    if (got < 0)
        return fail(QStringLiteral("Cannot read %1: %2").arg(m_path, avError(got)));
    m_pending.resize(old + std::size_t(got) * channels);
    m_decodedFrames += std::uint64_t(got);
    return true;
}

void FfmpegAudioDecoder::checkComplete()
{
    const double rate = m_format.sampleRate;
    if (m_expectedFrames && double(m_decodedFrames) + truncationToleranceSeconds * rate < double(*m_expectedFrames))
        fail(QStringLiteral("%1 ends after %2 of its %3 seconds: the file is cut short or damaged")
                 .arg(m_path)
                 .arg(double(m_decodedFrames) / rate, 0, 'f', 1)
                 .arg(double(*m_expectedFrames) / rate, 0, 'f', 1));
}

// Decodes until some frames are added or the input ends; false at the end or on an error.
bool FfmpegAudioDecoder::decodeMore()
{
    while (!m_ended) {
        if (m_frameHeld)
            return convertHeldFrame();
        int rc = avcodec_receive_frame(m_codec, m_frame);
        if (rc == 0) {
            if (!accept(m_frame)) {
                av_frame_unref(m_frame);
                return false;
            }
            m_frameHeld = true;
            m_frameDone = 0;
            continue;
        }
        if (rc == AVERROR_EOF) {
            convert(nullptr, 0); // what the resampler still holds
            m_ended = true;
            checkComplete();
            return !m_pending.empty();
        }
        if (rc != AVERROR(EAGAIN))
            return failDamaged(avError(rc));
        rc = av_read_frame(m_input, m_packet);
        if (rc < 0 && interrupted()) {
            // Stopped while the input stalled: what was read is kept, and it is no error.
            m_ended = true;
            return false;
        }
        if (rc == AVERROR_EOF) {
            avcodec_send_packet(m_codec, nullptr); // drain the decoder
            continue;
        }
        if (rc < 0)
            return rc == AVERROR_INVALIDDATA ? failDamaged(avError(rc))
                                             : fail(QStringLiteral("Cannot read %1: %2").arg(m_path, avError(rc)));
        if (m_packet->stream_index == m_stream)
            rc = avcodec_send_packet(m_codec, m_packet);
        av_packet_unref(m_packet);
        if (rc < 0 && rc != AVERROR(EAGAIN))
            return failDamaged(avError(rc));
    }
    return false;
}

AudioBuffer FfmpegAudioDecoder::next(std::uint32_t frames)
{
    const std::size_t channels = m_format.channelCount;
    const auto available = [&] { return (m_pending.size() - m_pendingStart) / channels; };
    while (available() < frames && !m_ended)
        decodeMore();
    const auto n = std::uint32_t(std::min<std::size_t>(frames, available()));
    const float *start = m_pending.data() + m_pendingStart;
    m_pendingStart += std::size_t(n) * channels;
    return AudioBuffer::view(m_format, { start }, n);
}

std::optional<std::vector<float>> FfmpegAudioDecoder::readMonoFloat(const QString &path, QString *error)
{
    auto decoder = open(path, error);
    if (!decoder)
        return std::nullopt;
    if (decoder->format().sampleRate != 16000 || decoder->format().channelCount != 1) {
        if (error)
            *error = path + QStringLiteral(" is not 16000 Hz mono");
        return std::nullopt;
    }
    std::vector<float> out;
    for (AudioBuffer block = decoder->next(16000); block.frameLength() > 0; block = decoder->next(16000)) {
        const auto *p = static_cast<const float *>(block.plane(0));
        out.insert(out.end(), p, p + block.frameLength());
    }
    if (!decoder->error().isEmpty()) {
        if (error)
            *error = decoder->error();
        return std::nullopt;
    }
    return out;
}
