#include "platform/PulseAudioCaptureService.h"

#include "base/Log.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <vector>

namespace {

// Runs `call` on the Qt main thread on a later turn of its event loop.
void postToMain(std::function<void()> call)
{
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(call), Qt::QueuedConnection);
}

// The capture's fragment: audio arrives about every 30 ms.
constexpr pa_usec_t fragmentDuration = 30 * PA_USEC_PER_MSEC;

class PulseCaptureStream;

} // namespace

// What the service and its streams share: the main loop, the connection to the server and the streams
// that are live on it. Everything here is touched with the main loop's lock held.
class PulseAudioCaptureService::Core final
{
public:
    explicit Core(QString clientName) : m_clientName(std::move(clientName))
    {
        m_loop = pa_threaded_mainloop_new();
        pa_threaded_mainloop_set_name(m_loop, PulseAudioCaptureService::threadName);
    }

    ~Core()
    {
        if (m_started) {
            lock();
            dropContext();
            unlock();
            pa_threaded_mainloop_stop(m_loop);
        }
        pa_threaded_mainloop_free(m_loop);
    }

    // Re-entrant from the loop thread, where callbacks already hold the lock.
    void lock()
    {
        if (!pa_threaded_mainloop_in_thread(m_loop))
            pa_threaded_mainloop_lock(m_loop);
    }
    void unlock()
    {
        if (!pa_threaded_mainloop_in_thread(m_loop))
            pa_threaded_mainloop_unlock(m_loop);
    }

    // Lock held.
    void requestContent(AudioCaptureService::ContentCompletion completion)
    {
        if (!m_started) {
            // The loop runs only once capture is wanted: an idle program has no thread and no wake-ups.
            pa_threaded_mainloop_start(m_loop);
            m_started = true;
        }
        m_pendingContent.push_back(std::move(completion));
        const pa_context_state_t state = m_context ? pa_context_get_state(m_context) : PA_CONTEXT_UNCONNECTED;
        if (state == PA_CONTEXT_READY) {
            queryContent();
        } else if (!PA_CONTEXT_IS_GOOD(state) || state == PA_CONTEXT_UNCONNECTED) {
            connect();
        }
        // Otherwise the connection is under way and its readiness runs the query.
    }

    pa_context *context() const { return m_context; }
    bool isReady() const { return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY; }
    int lastError() const { return m_context ? pa_context_errno(m_context) : PA_ERR_CONNECTIONTERMINATED; }

    void addStream(PulseCaptureStream *stream) { m_streams.push_back(stream); }
    void removeStream(PulseCaptureStream *stream) { std::erase(m_streams, stream); }

private:
    void connect()
    {
        dropContext();
        const QByteArray name = m_clientName.toUtf8();
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), name.constData());
        pa_context_set_state_callback(m_context, &Core::contextStateChanged, this);
        // No autospawn: a desktop without a sound server gets an error, not a daemon started behind its back.
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            failContent(PulseAudioCaptureService::error(pa_context_errno(m_context)));
    }

    void dropContext()
    {
        if (!m_context)
            return;
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
        m_querying = false;
    }

    static void contextStateChanged(pa_context *context, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            pa_context_set_subscribe_callback(context, &Core::serverEvent, core);
            if (pa_operation *op = pa_context_subscribe(context,
                    pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK), nullptr, nullptr))
                pa_operation_unref(op);
            if (!core->m_pendingContent.empty())
                core->queryContent();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            // Live streams learn of this through their own state.
            core->failContent(PulseAudioCaptureService::error(pa_context_errno(context)));
            break;
        default:
            break;
        }
    }

    void queryContent()
    {
        if (m_querying)
            return;
        m_querying = true;
        m_sinks.clear();
        pa_operation *op = pa_context_get_server_info(m_context, &Core::serverInfoForContent, this);
        if (!op) {
            m_querying = false;
            failContent(PulseAudioCaptureService::error(pa_context_errno(m_context)));
            return;
        }
        pa_operation_unref(op);
    }

    static void serverInfoForContent(pa_context *context, const pa_server_info *info, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        core->m_defaultSink = info && info->default_sink_name ? QString::fromUtf8(info->default_sink_name) : QString();
        pa_operation *op = pa_context_get_sink_info_list(context, &Core::sinkForContent, core);
        if (!op) {
            core->m_querying = false;
            core->failContent(PulseAudioCaptureService::error(pa_context_errno(context)));
            return;
        }
        pa_operation_unref(op);
    }

    static void sinkForContent(pa_context *context, const pa_sink_info *info, int eol, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        if (eol < 0) {
            core->m_querying = false;
            core->failContent(PulseAudioCaptureService::error(pa_context_errno(context)));
            return;
        }
        if (!eol) {
            if (info && info->name)
                core->m_sinks << QString::fromUtf8(info->name);
            return;
        }
        core->m_querying = false;
        AudioCaptureContent content;
        // The default output device first: it is the one whose monitor is captured.
        if (core->m_sinks.contains(core->m_defaultSink))
            content.outputDevices << core->m_defaultSink;
        for (const QString &sink : std::as_const(core->m_sinks)) {
            if (sink != core->m_defaultSink)
                content.outputDevices << sink;
        }
        const auto waiting = std::exchange(core->m_pendingContent, {});
        for (const auto &completion : waiting)
            postToMain([completion, content] { completion(content, std::nullopt); });
    }

    void failContent(const PlatformError &error)
    {
        const auto waiting = std::exchange(m_pendingContent, {});
        for (const auto &completion : waiting)
            postToMain([completion, error] { completion(std::nullopt, error); });
    }

    // A change of the server's defaults or of its sinks may have moved the default output device.
    static void serverEvent(pa_context *context, pa_subscription_event_type_t, uint32_t, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        if (core->m_streams.empty())
            return;
        if (pa_operation *op = pa_context_get_server_info(context, &Core::serverInfoForFollow, core))
            pa_operation_unref(op);
    }

    static void serverInfoForFollow(pa_context *context, const pa_server_info *info, void *userdata)
    {
        if (!info || !info->default_sink_name)
            return;
        auto *core = static_cast<Core *>(userdata);
        const QString sink = QString::fromUtf8(info->default_sink_name);
        if (sink == core->m_defaultSink)
            return;
        core->m_defaultSink = sink;
        if (pa_operation *op
            = pa_context_get_sink_info_by_name(context, info->default_sink_name, &Core::followSink, core))
            pa_operation_unref(op);
    }

    static void followSink(pa_context *context, const pa_sink_info *info, int eol, void *userdata);

    QString m_clientName;
    pa_threaded_mainloop *m_loop = nullptr;
    bool m_started = false;
    pa_context *m_context = nullptr;
    bool m_querying = false;
    QString m_defaultSink;
    QStringList m_sinks;
    std::vector<AudioCaptureService::ContentCompletion> m_pendingContent;
    std::vector<PulseCaptureStream *> m_streams;
};

namespace {

// One record stream. Main-thread calls take the loop's lock briefly; the loop thread calls back with
// the lock held, so a stream that has been stopped under the lock delivers nothing more.
class PulseCaptureStream final : public AudioCaptureStream
{
public:
    using Core = PulseAudioCaptureService::Core;

    PulseCaptureStream(std::shared_ptr<Core> core, const AudioCaptureConfiguration &requested)
        : m_core(std::move(core)), m_configuration(requested)
    {
        m_spec.format = PA_SAMPLE_FLOAT32LE;
        m_spec.rate = std::uint32_t(std::clamp(requested.sampleRate, 1.0, double(PA_RATE_MAX)));
        m_spec.channels = std::uint8_t(std::clamp(requested.channelCount, 1, int(PA_CHANNELS_MAX)));
        m_configuration.sampleRate = m_spec.rate;
        m_configuration.channelCount = m_spec.channels;
    }

    ~PulseCaptureStream() override
    {
        m_core->lock();
        release();
        m_core->unlock();
    }

    AudioCaptureConfiguration configuration() const override { return m_configuration; }

    std::optional<PlatformError> addOutput(OutputHandler handler) override
    {
        m_core->lock();
        m_output = std::move(handler);
        m_core->unlock();
        return std::nullopt;
    }

    void setFailureHandler(FailureHandler handler) override
    {
        m_core->lock();
        m_failure = std::move(handler);
        m_core->unlock();
    }

    void startCapture(Completion completion) override
    {
        m_core->lock();
        const std::optional<PlatformError> error = connect();
        if (error)
            release();
        else
            m_startCompletion = std::move(completion);
        m_core->unlock();
        if (error)
            postToMain([completion, e = *error] { completion(e); });
    }

    void stopCapture(Completion completion) override
    {
        m_core->lock();
        std::optional<Completion> pendingStart;
        if (m_startCompletion)
            pendingStart = std::exchange(m_startCompletion, {});
        release();
        m_core->unlock();
        if (pendingStart && *pendingStart)
            postToMain([start = *pendingStart] { start(PulseAudioCaptureService::error(PA_ERR_KILLED)); });
        postToMain([completion] { completion(std::nullopt); });
    }

    // Loop thread: the default output device changed; record its monitor from now on.
    void moveTo(pa_context *context, const char *monitor)
    {
        if (!m_stream || pa_stream_get_state(m_stream) != PA_STREAM_READY)
            return;
        const char *current = pa_stream_get_device_name(m_stream);
        if (current && qstrcmp(current, monitor) == 0)
            return;
        SLOG_INFO(lcAudio, "Following default output device monitor %s", monitor);
        if (pa_operation *op
            = pa_context_move_source_output_by_name(context, pa_stream_get_index(m_stream), monitor, nullptr, nullptr))
            pa_operation_unref(op);
    }

private:
    // Lock held.
    std::optional<PlatformError> connect()
    {
        if (m_stream)
            return std::nullopt;
        if (!m_core->isReady())
            return PulseAudioCaptureService::error(m_core->lastError());
        m_stream = pa_stream_new(m_core->context(), "System audio", &m_spec, nullptr);
        if (!m_stream)
            return PulseAudioCaptureService::error(m_core->lastError());
        pa_stream_set_state_callback(m_stream, &PulseCaptureStream::stateChanged, this);
        pa_stream_set_read_callback(m_stream, &PulseCaptureStream::readable, this);
        pa_buffer_attr attr;
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = std::uint32_t(-1);
        attr.prebuf = std::uint32_t(-1);
        attr.minreq = std::uint32_t(-1);
        attr.fragsize = std::uint32_t(pa_usec_to_bytes(fragmentDuration, &m_spec));
        if (pa_stream_connect_record(m_stream, "@DEFAULT_MONITOR@", &attr, PA_STREAM_ADJUST_LATENCY) < 0)
            return PulseAudioCaptureService::error(m_core->lastError());
        m_core->addStream(this);
        return std::nullopt;
    }

    // Lock held. Detaches from the server; nothing is called back afterwards.
    void release()
    {
        m_core->removeStream(this);
        if (!m_stream)
            return;
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        const pa_stream_state_t state = pa_stream_get_state(m_stream);
        if (state == PA_STREAM_CREATING) {
            // A stream still being made cannot be disconnected yet, and dropped now it would stay on the
            // server: it keeps our reference until it is ready, and is disconnected then.
            pa_stream_set_state_callback(m_stream, &PulseCaptureStream::disconnectWhenReady, nullptr);
            m_stream = nullptr;
            return;
        }
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        if (state == PA_STREAM_READY)
            pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
    }

    // Loop thread, for a stream given up while it was being made; owns the last reference to it.
    static void disconnectWhenReady(pa_stream *stream, void *)
    {
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            pa_stream_disconnect(stream); // ends in TERMINATED, below
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_unref(stream);
            break;
        default:
            break;
        }
    }

    static void stateChanged(pa_stream *stream, void *userdata)
    {
        auto *self = static_cast<PulseCaptureStream *>(userdata);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY) {
            if (auto start = std::exchange(self->m_startCompletion, {}))
                postToMain([start] { start(std::nullopt); });
            return;
        }
        if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)
            return;
        const PlatformError error = PulseAudioCaptureService::error(self->m_core->lastError());
        self->m_core->removeStream(self);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        if (auto start = std::exchange(self->m_startCompletion, {})) {
            postToMain([start, error] { start(error); });
        } else if (self->m_failure) {
            postToMain([failure = self->m_failure, error] { failure(error); });
        }
    }

    // Loop thread: hands each fragment on as a view of the server's memory, valid until it is dropped.
    static void readable(pa_stream *stream, size_t, void *userdata)
    {
        auto *self = static_cast<PulseCaptureStream *>(userdata);
        const std::size_t frameBytes = pa_frame_size(&self->m_spec);
        const AudioFormat format { SampleType::Float32, double(self->m_spec.rate), self->m_spec.channels,
            self->m_spec.channels > 1 };
        while (pa_stream_readable_size(stream) > 0) {
            const void *data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0)
                return;
            if (bytes == 0)
                return; // nothing buffered after all
            // A hole (no data) carries nothing to recognise: drop it.
            if (data && self->m_output) {
                const auto frames = std::uint32_t(bytes / frameBytes);
                if (frames > 0)
                    self->m_output(AudioBuffer::view(format, { data }, frames));
            }
            pa_stream_drop(stream);
        }
    }

    std::shared_ptr<Core> m_core;
    AudioCaptureConfiguration m_configuration;
    pa_sample_spec m_spec {};
    pa_stream *m_stream = nullptr;
    OutputHandler m_output;
    FailureHandler m_failure;
    Completion m_startCompletion;
};

} // namespace

void PulseAudioCaptureService::Core::followSink(pa_context *context, const pa_sink_info *info, int eol, void *userdata)
{
    if (eol || !info || !info->monitor_source_name)
        return;
    auto *core = static_cast<Core *>(userdata);
    for (PulseCaptureStream *stream : core->m_streams)
        stream->moveTo(context, info->monitor_source_name);
}

PlatformError PulseAudioCaptureService::error(int code)
{
    if (code == PA_OK)
        code = PA_ERR_UNKNOWN;
    PlatformError error { errorDomain, code, QString::fromUtf8(pa_strerror(code)) };
    // The failures that a desktop really meets; the rest get the controller's general text.
    switch (code) {
    case PA_ERR_CONNECTIONREFUSED:
        error.userMessage = QCoreApplication::translate("PulseAudioCaptureService",
            "Sonorel could not connect to the sound server, so captions could not start. "
            "Check that PulseAudio or PipeWire is running, then start captions again.");
        break;
    case PA_ERR_CONNECTIONTERMINATED:
        error.userMessage = QCoreApplication::translate("PulseAudioCaptureService",
            "Sonorel lost its connection to the sound server, so captions stopped. "
            "Start captions again when sound is playing.");
        break;
    case PA_ERR_NOENTITY:
        error.userMessage = QCoreApplication::translate("PulseAudioCaptureService",
            "Sonorel could not find the sound output to listen to, so captions stopped. "
            "Choose an output device in the sound settings, then start captions again.");
        break;
    case PA_ERR_KILLED:
        error.userMessage = QCoreApplication::translate("PulseAudioCaptureService",
            "The sound output that Sonorel was listening to went away, so captions "
            "stopped. Start captions again to listen to the current output.");
        break;
    case PA_ERR_ACCESS:
        error.userMessage = QCoreApplication::translate("PulseAudioCaptureService",
            "The sound server did not let Sonorel listen to what the computer plays, so "
            "captions could not start. Check the sound server's permissions, then start "
            "captions again.");
        break;
    case PA_ERR_TIMEOUT:
        error.userMessage = QCoreApplication::translate("PulseAudioCaptureService",
            "The sound server did not answer in time, so captions stopped. Start captions "
            "again; if this keeps happening, restart the sound server.");
        break;
    default:
        break;
    }
    return error;
}

PulseAudioCaptureService::PulseAudioCaptureService(QString clientName)
    : m_core(std::make_shared<Core>(std::move(clientName)))
{ }

PulseAudioCaptureService::~PulseAudioCaptureService() = default;

void PulseAudioCaptureService::getShareableContent(ContentCompletion completion)
{
    m_core->lock();
    m_core->requestContent(std::move(completion));
    m_core->unlock();
}

std::shared_ptr<AudioCaptureStream> PulseAudioCaptureService::makeStream(const AudioCaptureConfiguration &configuration)
{
    return std::make_shared<PulseCaptureStream>(m_core, configuration);
}
