#pragma once

#include "captioning/AudioFileDecoder.h"

#include <memory>
#include <optional>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

// The sound of any file FFmpeg can read: WAV of every sample type, FLAC, Ogg, Opus, MP3, M4A, and the
// first audio stream of a video. Samples come out as interleaved 32-bit float at the stream's own rate
// and channel count; rate and channels are changed later, by the same conversion live audio goes through.
class FfmpegAudioDecoder final : public AudioFileDecoder
{
public:
    // Nothing, with `error` set, when the input cannot be opened, holds no audio or is not a
    // recording FFmpeg knows.
    static std::unique_ptr<FfmpegAudioDecoder> open(const QString &path, QString *error);
    // A whole 16000 Hz mono recording as float samples, for recordings of known size.
    static std::optional<std::vector<float>> readMonoFloat(const QString &path, QString *error);

    ~FfmpegAudioDecoder() override;
    FfmpegAudioDecoder(const FfmpegAudioDecoder &) = delete;
    FfmpegAudioDecoder &operator=(const FfmpegAudioDecoder &) = delete;

    const AudioFormat &format() const override { return m_format; }
    AudioBuffer next(std::uint32_t frames) override;
    const QString &error() const override { return m_error; }

private:
    FfmpegAudioDecoder() = default;
    bool decodeMore();
    bool convert(const AVFrame *frame);
    void checkComplete();
    bool fail(const QString &message);

    QString m_path;
    AVFormatContext *m_input = nullptr;
    AVCodecContext *m_codec = nullptr;
    SwrContext *m_resampler = nullptr;
    AVPacket *m_packet = nullptr;
    AVFrame *m_frame = nullptr;
    int m_stream = -1;
    AudioFormat m_format;
    // The frames of the input format the resampler was set up for (they may change partway).
    int m_inRate = 0;
    int m_inSampleFormat = -1;
    std::uint64_t m_inLayoutMask = 0;
    int m_inChannels = 0;
    std::vector<float> m_pending; // decoded, not yet handed out
    std::size_t m_pendingStart = 0;
    std::vector<float> m_block;
    std::uint64_t m_decodedFrames = 0;
    std::optional<std::uint64_t> m_expectedFrames; // from the container, when it says and can be trusted
    bool m_draining = false;
    bool m_ended = false;
    QString m_error;
};
