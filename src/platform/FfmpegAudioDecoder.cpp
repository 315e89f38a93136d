#include "platform/FfmpegAudioDecoder.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>

namespace {

constexpr int minimumSampleRate = 4000;
constexpr int maximumSampleRate = 768000;
// A container whose declared length exceeds what could be decoded by more than this was cut short.
constexpr double truncationToleranceSeconds = 0.5;

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

} // namespace

FfmpegAudioDecoder::~FfmpegAudioDecoder()
{
    swr_free(&m_resampler);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_input);
}

bool FfmpegAudioDecoder::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
    m_ended = true;
    return false;
}

std::unique_ptr<FfmpegAudioDecoder> FfmpegAudioDecoder::open(const QString &path, QString *error)
{
    // Every failure is reported in the caller's own words; FFmpeg's log would only repeat it.
    av_log_set_level(AV_LOG_QUIET);
    std::unique_ptr<FfmpegAudioDecoder> d(new FfmpegAudioDecoder);
    d->m_path = path;
    const auto failOpen = [&](const QString &message) {
        if (error)
            *error = message;
        return nullptr;
    };
    // A name is always a local file (or "-", standard input), never a network address or another of
    // FFmpeg's protocols, and a playlist inside it cannot reach further than files either.
    const QByteArray name = path == QStringLiteral("-") ? QByteArray("pipe:0") : "file:" + QFile::encodeName(path);
    AVDictionary *options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file,pipe", 0);
    int rc = avformat_open_input(&d->m_input, name.constData(), nullptr, &options);
    av_dict_free(&options);
    if (rc == AVERROR_INVALIDDATA)
        return failOpen(QStringLiteral("%1 is damaged or is not an audio or video file").arg(path));
    if (rc < 0)
        return failOpen(QStringLiteral("Cannot open %1: %2").arg(path, avError(rc)));
    if ((rc = avformat_find_stream_info(d->m_input, nullptr)) < 0)
        return failOpen(QStringLiteral("Cannot read %1: %2").arg(path, avError(rc)));
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
    const bool seekable = d->m_input->pb && (d->m_input->pb->seekable & AVIO_SEEKABLE_NORMAL);
    if (seekable && d->m_input->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE
        && stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        d->m_expectedFrames = std::uint64_t(av_rescale_q(stream->duration, stream->time_base, AVRational { 1, rate }));
    return d;
}

bool FfmpegAudioDecoder::convert(const AVFrame *frame)
{
    if (frame
        && (!m_resampler || frame->sample_rate != m_inRate || frame->format != m_inSampleFormat
            || frame->ch_layout.nb_channels != m_inChannels || frame->ch_layout.u.mask != m_inLayoutMask)) {
        // Keep what the old setting still holds, then set up for the stream as it now is.
        if (m_resampler && !convert(nullptr))
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
    }
    if (!m_resampler)
        return true;
    const int capacity = swr_get_out_samples(m_resampler, frame ? frame->nb_samples : 0);
    if (capacity < 0)
        return fail(QStringLiteral("Cannot read %1: %2").arg(m_path, avError(capacity)));
    // The frames handed out are dropped now, so that the buffer holds one decoded frame at most.
    m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(m_pendingStart));
    m_pendingStart = 0;
    const std::size_t channels = m_format.channelCount;
    const std::size_t old = m_pending.size();
    m_pending.resize(old + std::size_t(capacity) * channels);
    auto *out = reinterpret_cast<std::uint8_t *>(m_pending.data() + old);
    const int got = swr_convert(m_resampler, &out, capacity,
        frame ? const_cast<const std::uint8_t **>(frame->extended_data) : nullptr, frame ? frame->nb_samples : 0);
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
    const auto damaged = [this](int rc) {
        return fail(QStringLiteral("%1 is damaged at %2 s: %3")
                        .arg(m_path)
                        .arg(double(m_decodedFrames) / m_format.sampleRate, 0, 'f', 1)
                        .arg(avError(rc)));
    };
    while (!m_ended) {
        int rc = avcodec_receive_frame(m_codec, m_frame);
        if (rc == 0) {
            const bool ok = convert(m_frame);
            av_frame_unref(m_frame);
            return ok;
        }
        if (rc == AVERROR_EOF) {
            convert(nullptr); // what the resampler still holds
            m_ended = true;
            checkComplete();
            return !m_pending.empty();
        }
        if (rc != AVERROR(EAGAIN))
            return damaged(rc);
        rc = av_read_frame(m_input, m_packet);
        if (rc == AVERROR_EOF) {
            avcodec_send_packet(m_codec, nullptr); // drain the decoder
            continue;
        }
        if (rc < 0)
            return rc == AVERROR_INVALIDDATA ? damaged(rc)
                                             : fail(QStringLiteral("Cannot read %1: %2").arg(m_path, avError(rc)));
        if (m_packet->stream_index == m_stream)
            rc = avcodec_send_packet(m_codec, m_packet);
        av_packet_unref(m_packet);
        if (rc < 0 && rc != AVERROR(EAGAIN))
            return damaged(rc);
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
