#pragma once

#include "captioning/AudioFileDecoder.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwrContext;

// The sound of any file FFmpeg can read: WAV of every sample type, FLAC, Ogg, Opus, MP3, M4A, and the
// first audio stream of a video. Samples come out as interleaved 32-bit float at the stream's own rate
// and channel count; rate and channels are changed later, by the same conversion live audio goes through.
// Only the one file named (or standard input) is ever read: a playlist, a list of files or a container
// that refers to other files is refused.
class FfmpegAudioDecoder final : public AudioFileDecoder
{
public:
    // Asked while reading waits for input; true ends the input there, without an error (a stalled pipe
    // must not keep a signal from ending the program). It may be called on any thread.
    using Interrupt = std::function<bool()>;

    // Nothing, with `error` set, when the input cannot be opened, holds no audio or is not a
    // recording FFmpeg knows.
    static std::unique_ptr<FfmpegAudioDecoder> open(const QString &path, QString *error, Interrupt interrupted = {});
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
    static int readInput(void *opaque, std::uint8_t *buffer, int size);
    static std::int64_t seekInput(void *opaque, std::int64_t offset, int whence);
    static int interruptRequested(void *opaque);
    static int refuseOpen(
        AVFormatContext *context, AVIOContext **pb, const char *url, int flags, AVDictionary **options);
    bool interrupted() const { return m_interrupted && m_interrupted(); }
    bool decodeMore();
    bool accept(const AVFrame *frame);
    bool convertHeldFrame();
    bool convert(const std::uint8_t *const *samples, int count);
    void checkComplete();
    bool fail(const QString &message);
    bool failDamaged(const QString &reason);

    QString m_path;
    int m_fd = -1;
    AVIOContext *m_io = nullptr;
    Interrupt m_interrupted;
    QString m_otherFile; // a file the input tried to open, refused
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
    // The decoded frame being converted, a bounded piece at a time, and how much of it is done.
    bool m_frameHeld = false;
    int m_frameDone = 0;
    std::vector<const std::uint8_t *> m_planes;
    std::vector<float> m_pending; // decoded, not yet handed out
    std::size_t m_pendingStart = 0;
    std::vector<float> m_block;
    std::uint64_t m_decodedFrames = 0;
    std::optional<std::uint64_t> m_expectedFrames; // from the container, when it says and can be trusted
    bool m_draining = false;
    bool m_ended = false;
    QString m_error;
};
