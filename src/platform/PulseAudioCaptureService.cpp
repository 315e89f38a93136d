#include "platform/PulseAudioCaptureService.h"

#include "base/Log.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <pulse/pulseaudio.h>

#include "captioning/StreamMixer.h"

#include <algorithm>
#include <map>
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

// What the sound server has now, as far as capture cares.
struct ServerSnapshot {
    struct Sink {
        QString name;
        QByteArray monitor;
    };
    struct SinkInput {
        std::uint32_t index = PA_INVALID_INDEX;
        std::uint32_t sink = PA_INVALID_INDEX;
        QString application;
        QString iconName;
    };
    QString defaultSink;
    std::map<std::uint32_t, Sink> sinks;
    std::vector<SinkInput> sinkInputs;
    QList<AudioInput> inputs;

    AudioCaptureContent content() const
    {
        AudioCaptureContent content;
        // The default output device first: it is the one whose monitor is captured.
        for (const auto &[_, sink] : sinks) {
            if (sink.name == defaultSink)
                content.outputDevices.prepend(sink.name);
            else
                content.outputDevices << sink.name;
        }
        for (const SinkInput &input : sinkInputs) {
            if (!content.hasApplication(input.application))
                content.applications << AudioApplication { input.application, input.iconName };
        }
        const auto byName
            = [](const auto &a, const auto &b) { return QString::localeAwareCompare(a.name, b.name) < 0; };
        std::sort(content.applications.begin(), content.applications.end(), byName);
        content.inputs = inputs;
        std::sort(content.inputs.begin(), content.inputs.end(), [](const AudioInput &a, const AudioInput &b) {
            return QString::localeAwareCompare(a.description, b.description) < 0;
        });
        return content;
    }
};

QString property(const pa_proplist *properties, const char *key)
{
    const char *value = properties ? pa_proplist_gets(properties, key) : nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

} // namespace

// What the service and its streams share: the main loop, the connection to the server, what the server
// has, and the streams that are live on it. Everything here is touched with the main loop's lock held.
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
            dropReconnect();
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
        m_pendingContent.push_back(std::move(completion));
        ensureConnected();
    }

    // Lock held.
    std::shared_ptr<void> watch(AudioCaptureService::ContentHandler handler)
    {
        auto watcher = std::make_shared<AudioCaptureService::ContentHandler>(std::move(handler));
        m_watchers.push_back(watcher);
        if (m_snapshot && isReady())
            postToMain([weak = std::weak_ptr(watcher), content = m_snapshot->content()] {
                if (const auto w = weak.lock())
                    (*w)(content);
            });
        ensureConnected();
        return watcher;
    }

    pa_context *context() const { return m_context; }
    bool isReady() const { return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY; }
    int lastError() const { return m_context ? pa_context_errno(m_context) : PA_ERR_CONNECTIONTERMINATED; }
    const ServerSnapshot *snapshot() const { return m_snapshot ? &*m_snapshot : nullptr; }

    void addStream(PulseCaptureStream *stream) { m_streams.push_back(stream); }
    void removeStream(PulseCaptureStream *stream) { std::erase(m_streams, stream); }

    // Lock held. Reads everything the server has afresh; answers and follows once it is in.
    void refresh()
    {
        if (!isReady())
            return;
        if (m_refreshing) {
            m_refreshAgain = true;
            return;
        }
        m_refreshing = true;
        m_next = ServerSnapshot();
        pa_operation *op = pa_context_get_server_info(m_context, &Core::serverInfo, this);
        if (!op)
            return refreshFailed(m_context);
        pa_operation_unref(op);
    }

private:
    bool hasWatchers()
    {
        std::erase_if(m_watchers, [](const auto &weak) { return weak.expired(); });
        return !m_watchers.empty();
    }

    // A list is watched, or a capture goes on once the server is back: an application's (the whole mix and
    // an input device end with their record stream).
    bool wantsConnection();

    void ensureConnected()
    {
        if (!m_started) {
            // The loop runs only once capture is wanted: an idle program has no thread and no wake-ups.
            pa_threaded_mainloop_start(m_loop);
            m_started = true;
        }
        const pa_context_state_t state = m_context ? pa_context_get_state(m_context) : PA_CONTEXT_UNCONNECTED;
        if (state == PA_CONTEXT_READY)
            refresh();
        else if (!PA_CONTEXT_IS_GOOD(state) || state == PA_CONTEXT_UNCONNECTED)
            connect();
        // Otherwise the connection is under way and its readiness runs the query.
    }

    void connect()
    {
        dropContext();
        const QByteArray name = m_clientName.toUtf8();
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), name.constData());
        pa_context_set_state_callback(m_context, &Core::contextStateChanged, this);
        // No autospawn: a desktop without a sound server gets an error, not a daemon started behind its back.
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            connectionLost(PulseAudioCaptureService::error(pa_context_errno(m_context)));
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
        m_refreshing = false;
        m_refreshAgain = false;
    }

    static void contextStateChanged(pa_context *context, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            if (std::exchange(core->m_reconnecting, false))
                SLOG_INFO(lcAudio, "Connected to the sound server again");
            pa_context_set_subscribe_callback(context, &Core::serverEvent, core);
            if (pa_operation *op = pa_context_subscribe(context,
                    pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK
                        | PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SOURCE),
                    nullptr, nullptr))
                pa_operation_unref(op);
            core->refresh();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            // Live streams learn of this through their own state.
            core->connectionLost(PulseAudioCaptureService::error(pa_context_errno(context)));
            break;
        default:
            break;
        }
    }

    // A list being watched is rebuilt, and an application's capture taken up again, once the server is
    // back; the next try comes a second later.
    void connectionLost(const PlatformError &error);

    void scheduleReconnect()
    {
        if (m_reconnect)
            return;
        pa_mainloop_api *api = pa_threaded_mainloop_get_api(m_loop);
        timeval when {};
        pa_timeval_add(pa_gettimeofday(&when), PA_USEC_PER_SEC);
        m_reconnect = api->time_new(
            api, &when,
            [](pa_mainloop_api *, pa_time_event *, const timeval *, void *userdata) {
                auto *core = static_cast<Core *>(userdata);
                core->dropReconnect();
                if (core->wantsConnection())
                    core->connect();
            },
            this);
    }

    void dropReconnect()
    {
        if (m_reconnect) {
            pa_mainloop_api *api = pa_threaded_mainloop_get_api(m_loop);
            api->time_free(m_reconnect);
            m_reconnect = nullptr;
        }
    }

    void refreshFailed(pa_context *context)
    {
        m_refreshing = false;
        m_refreshAgain = false;
        failContent(PulseAudioCaptureService::error(pa_context_errno(context)));
    }

    template <typename Info> bool listDone(pa_context *context, const Info *info, int eol)
    {
        if (eol < 0) {
            refreshFailed(context);
            return true;
        }
        return eol || !info;
    }

    static void serverInfo(pa_context *context, const pa_server_info *info, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        core->m_next.defaultSink
            = info && info->default_sink_name ? QString::fromUtf8(info->default_sink_name) : QString();
        if (pa_operation *op = pa_context_get_sink_info_list(context, &Core::sinkInfo, core))
            pa_operation_unref(op);
        else
            core->refreshFailed(context);
    }

    static void sinkInfo(pa_context *context, const pa_sink_info *info, int eol, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        if (!core->listDone(context, info, eol)) {
            if (info->name)
                core->m_next.sinks[info->index] = { QString::fromUtf8(info->name),
                    QByteArray(info->monitor_source_name ? info->monitor_source_name : "") };
            return;
        }
        if (eol < 0)
            return;
        if (pa_operation *op = pa_context_get_sink_input_info_list(context, &Core::sinkInputInfo, core))
            pa_operation_unref(op);
        else
            core->refreshFailed(context);
    }

    static void sinkInputInfo(pa_context *context, const pa_sink_input_info *info, int eol, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        if (!core->listDone(context, info, eol)) {
            // Any client names itself: the name is made printable here, once, so that what is listed, shown,
            // stored in the settings and matched to the playback streams is one and the same name.
            QString application = property(info->proplist, PA_PROP_APPLICATION_NAME).trimmed();
            if (application.isEmpty())
                application = property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY).trimmed();
            application = AudioSource::printable(application);
            if (AudioSource::application(application).roundTrips())
                core->m_next.sinkInputs.push_back(
                    { info->index, info->sink, application, property(info->proplist, PA_PROP_APPLICATION_ICON_NAME) });
            return;
        }
        if (eol < 0)
            return;
        if (pa_operation *op = pa_context_get_source_info_list(context, &Core::sourceInfo, core))
            pa_operation_unref(op);
        else
            core->refreshFailed(context);
    }

    static void sourceInfo(pa_context *context, const pa_source_info *info, int eol, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        if (!core->listDone(context, info, eol)) {
            // Monitors are outputs, offered as the whole mix or as an application's sound. A device is
            // recorded by its own name, so one whose name the settings cannot hold is not offered.
            const QString name = info->name ? QString::fromUtf8(info->name) : QString();
            if (info->monitor_of_sink == PA_INVALID_INDEX && AudioSource::input(name).roundTrips()) {
                const QString description = AudioSource::printable(
                    info->description ? QString::fromUtf8(info->description).trimmed() : QString());
                core->m_next.inputs << AudioInput { name, description.isEmpty() ? name : description };
            }
            return;
        }
        if (eol >= 0)
            core->finishRefresh();
    }

    void finishRefresh();

    void failContent(const PlatformError &error)
    {
        const auto waiting = std::exchange(m_pendingContent, {});
        for (const auto &completion : waiting)
            postToMain([completion, error] { completion(std::nullopt, error); });
    }

    // Any change may have moved the default output device, or started or stopped an application.
    static void serverEvent(pa_context *, pa_subscription_event_type_t, uint32_t, void *userdata)
    {
        auto *core = static_cast<Core *>(userdata);
        if (!core->m_streams.empty() || !core->m_pendingContent.empty() || core->hasWatchers())
            core->refresh();
    }

    QString m_clientName;
    pa_threaded_mainloop *m_loop = nullptr;
    bool m_started = false;
    pa_context *m_context = nullptr;
    pa_time_event *m_reconnect = nullptr;
    bool m_reconnecting = false; // the connection was lost and is being made again
    bool m_refreshing = false;
    bool m_refreshAgain = false;
    ServerSnapshot m_next;
    std::optional<ServerSnapshot> m_snapshot;
    std::optional<AudioCaptureContent> m_watchedContent;
    std::vector<AudioCaptureService::ContentCompletion> m_pendingContent;
    std::vector<std::weak_ptr<AudioCaptureService::ContentHandler>> m_watchers;
    std::vector<PulseCaptureStream *> m_streams;
};

namespace {

constexpr pa_stream_flags_t recordFlags = PA_STREAM_ADJUST_LATENCY;

// Lock held. Detaches `stream` from its callbacks and lets it go; nothing is called back afterwards.
void dropStream(pa_stream *stream)
{
    if (!stream)
        return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_CREATING) {
        // A stream still being made cannot be disconnected yet, and dropped now it would stay on the
        // server: it keeps our reference until it is ready, and is disconnected then.
        pa_stream_set_state_callback(
            stream,
            [](pa_stream *s, void *) {
                switch (pa_stream_get_state(s)) {
                case PA_STREAM_READY:
                    pa_stream_disconnect(s); // ends in TERMINATED, below
                    break;
                case PA_STREAM_FAILED:
                case PA_STREAM_TERMINATED:
                    pa_stream_set_state_callback(s, nullptr, nullptr);
                    pa_stream_unref(s);
                    break;
                default:
                    break;
                }
            },
            nullptr);
        return;
    }
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (state == PA_STREAM_READY)
        pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

pa_buffer_attr recordAttributes(const pa_sample_spec &spec)
{
    pa_buffer_attr attr;
    attr.maxlength = std::uint32_t(-1);
    attr.tlength = std::uint32_t(-1);
    attr.prebuf = std::uint32_t(-1);
    attr.minreq = std::uint32_t(-1);
    attr.fragsize = std::uint32_t(pa_usec_to_bytes(fragmentDuration, &spec));
    return attr;
}

// One capture: a record stream on the default output's monitor or on an input device, or, for one
// application, a record stream on each of its playback streams, mixed. Main-thread calls take the loop's
// lock briefly; the loop thread calls back with the lock held, so a stream that has been stopped under
// the lock delivers nothing more.
class PulseCaptureStream final : public AudioCaptureStream
{
public:
    using Core = PulseAudioCaptureService::Core;

    PulseCaptureStream(std::shared_ptr<Core> core, const AudioCaptureConfiguration &requested)
        : m_core(std::move(core)), m_configuration(requested)
    {
        m_spec.format = PA_SAMPLE_FLOAT32LE;
        m_spec.rate = std::uint32_t(std::clamp(requested.sampleRate, 1.0, double(PA_RATE_MAX)));
        // An application's streams are mixed here, which takes one channel each.
        m_spec.channels
            = isApplication() ? 1 : std::uint8_t(std::clamp(requested.channelCount, 1, int(PA_CHANNELS_MAX)));
        m_configuration.sampleRate = m_spec.rate;
        m_configuration.channelCount = m_spec.channels;
        m_mixer = StreamMixer(mixerSlack());
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

    void setPresenceHandler(PresenceHandler handler) override
    {
        m_core->lock();
        m_presence = std::move(handler);
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
        if (!error && isApplication())
            m_core->refresh(); // the streams to record are known once the server's list is in
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

    bool isApplication() const { return m_configuration.source.kind == AudioSource::Kind::Application; }

    // Loop thread: the connection is gone. The whole mix and an input device end with their record stream,
    // which reports it. An application's capture lets its streams go, waits for the application as if it
    // had stopped playing, and records it again once the server is back and it plays.
    void serverLost(const PlatformError &error)
    {
        if (!isApplication())
            return;
        dropStream(std::exchange(m_pacer, nullptr));
        m_pacerMonitor.clear();
        for (auto &[_, tap] : std::exchange(m_taps, {}))
            dropStream(tap->stream);
        m_mixer = StreamMixer(mixerSlack());
        if (auto start = std::exchange(m_startCompletion, {})) {
            m_core->removeStream(this);
            postToMain([start, error] { start(error); });
            return;
        }
        if (m_present != false) {
            m_present = false;
            if (m_presence)
                postToMain([presence = m_presence] { presence(false); });
        }
    }

    // Loop thread: the server's list is in. The whole mix follows the default output device; an
    // application's capture records each of its playback streams where it plays now.
    void follow(pa_context *context, const ServerSnapshot &server)
    {
        if (isApplication())
            return followApplication(context, server);
        if (m_configuration.source.kind != AudioSource::Kind::System || !m_stream
            || pa_stream_get_state(m_stream) != PA_STREAM_READY)
            return;
        const auto sink = std::find_if(server.sinks.cbegin(), server.sinks.cend(),
            [&](const auto &entry) { return entry.second.name == server.defaultSink; });
        if (sink == server.sinks.cend() || sink->second.monitor.isEmpty())
            return;
        const QByteArray &monitor = sink->second.monitor;
        const char *current = pa_stream_get_device_name(m_stream);
        if (current && monitor == current)
            return;
        SLOG_INFO(lcAudio, "Following default output device monitor %s", monitor.constData());
        if (pa_operation *op = pa_context_move_source_output_by_name(
                context, pa_stream_get_index(m_stream), monitor.constData(), nullptr, nullptr))
            pa_operation_unref(op);
    }

private:
    // A record stream on one playback stream of the captured application.
    struct Tap {
        PulseCaptureStream *owner = nullptr;
        std::uint32_t sinkInput = PA_INVALID_INDEX;
        QByteArray monitor;
        pa_stream *stream = nullptr;
    };

    // Lock held.
    std::optional<PlatformError> connect()
    {
        if (m_connected)
            return std::nullopt;
        if (!m_core->isReady())
            return PulseAudioCaptureService::error(m_core->lastError());
        if (!isApplication()) {
            const bool input = m_configuration.source.kind == AudioSource::Kind::Input;
            m_stream = pa_stream_new(m_core->context(), input ? "Input device" : "System audio", &m_spec, nullptr);
            if (!m_stream)
                return PulseAudioCaptureService::error(m_core->lastError());
            pa_stream_set_state_callback(m_stream, &PulseCaptureStream::stateChanged, this);
            pa_stream_set_read_callback(m_stream, &PulseCaptureStream::readable, this);
            const pa_buffer_attr attr = recordAttributes(m_spec);
            const QByteArray device = input ? m_configuration.source.name.toUtf8() : QByteArray("@DEFAULT_MONITOR@");
            // An input device that goes away ends its capture: the server must not quietly move it to another.
            const auto flags = pa_stream_flags_t(recordFlags | (input ? PA_STREAM_DONT_MOVE : 0));
            if (pa_stream_connect_record(m_stream, device.constData(), &attr, flags) < 0)
                return PulseAudioCaptureService::error(m_core->lastError());
        }
        m_connected = true;
        m_core->addStream(this);
        return std::nullopt;
    }

    // Lock held. Detaches from the server; nothing is called back afterwards.
    void release()
    {
        m_core->removeStream(this);
        m_connected = false;
        dropStream(std::exchange(m_stream, nullptr));
        dropStream(std::exchange(m_pacer, nullptr));
        m_pacerMonitor.clear();
        for (auto &[_, tap] : std::exchange(m_taps, {}))
            dropStream(tap->stream);
        m_mixer = StreamMixer(mixerSlack());
        m_present.reset();
    }

    std::size_t mixerSlack() const { return std::size_t(m_spec.rate / 10); } // 100 ms

    // An output renders as far ahead as its listeners allow, up to seconds, and a playback stream's
    // recording starts at what is rendered next: the start of what an application plays would be lost.
    // A low-latency listener on the default output keeps it rendering in small steps. It is a peak meter
    // of a few values a second, which costs the server next to nothing.
    void keepOutputResponsive(pa_context *context, const ServerSnapshot &server)
    {
        const auto sink = std::find_if(server.sinks.cbegin(), server.sinks.cend(),
            [&](const auto &entry) { return entry.second.name == server.defaultSink; });
        const QByteArray monitor = sink == server.sinks.cend() ? QByteArray() : sink->second.monitor;
        if (monitor == m_pacerMonitor && (m_pacer || monitor.isEmpty()))
            return;
        dropStream(std::exchange(m_pacer, nullptr));
        m_pacerMonitor = monitor;
        if (monitor.isEmpty())
            return;
        const pa_sample_spec spec { PA_SAMPLE_FLOAT32LE, 25, 1 };
        m_pacer = pa_stream_new(context, "Output pacing", &spec, nullptr);
        if (!m_pacer)
            return;
        pa_stream_set_read_callback(
            m_pacer,
            [](pa_stream *stream, size_t, void *) {
                const void *data = nullptr;
                std::size_t bytes = 0;
                while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0)
                    pa_stream_drop(stream);
            },
            nullptr);
        pa_buffer_attr attr = recordAttributes(spec);
        attr.fragsize = sizeof(float);
        if (pa_stream_connect_record(m_pacer, monitor.constData(), &attr,
                pa_stream_flags_t(PA_STREAM_PEAK_DETECT | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE))
            < 0)
            dropStream(std::exchange(m_pacer, nullptr));
    }

    void followApplication(pa_context *context, const ServerSnapshot &server)
    {
        keepOutputResponsive(context, server);
        std::map<std::uint32_t, QByteArray> wanted; // playback stream -> monitor of the output it plays on
        for (const auto &input : server.sinkInputs) {
            const auto sink = server.sinks.find(input.sink);
            if (input.application == m_configuration.source.name && sink != server.sinks.cend()
                && !sink->second.monitor.isEmpty())
                wanted[input.index] = sink->second.monitor;
        }
        // A stream that ended, or moved to another output (the server ends our recording of it then), goes.
        for (auto it = m_taps.begin(); it != m_taps.end();) {
            const auto found = wanted.find(it->first);
            if (found != wanted.cend() && found->second == it->second->monitor && it->second->stream) {
                ++it;
                continue;
            }
            dropStream(it->second->stream);
            m_mixer.removeStream(it->first);
            it = m_taps.erase(it);
        }
        for (const auto &[sinkInput, monitor] : wanted) {
            if (m_taps.contains(sinkInput))
                continue;
            auto tap = std::make_unique<Tap>(Tap { this, sinkInput, monitor, nullptr });
            tap->stream = pa_stream_new(context, "Application audio", &m_spec, nullptr);
            if (!tap->stream)
                continue;
            pa_stream_set_monitor_stream(tap->stream, sinkInput);
            pa_stream_set_state_callback(tap->stream, &PulseCaptureStream::tapStateChanged, tap.get());
            pa_stream_set_read_callback(tap->stream, &PulseCaptureStream::tapReadable, tap.get());
            const pa_buffer_attr attr = recordAttributes(m_spec);
            if (pa_stream_connect_record(tap->stream, monitor.constData(), &attr, recordFlags) < 0) {
                SLOG_ERROR(lcAudio, "Could not record playback stream %u", sinkInput);
                dropStream(tap->stream);
                continue;
            }
            SLOG_INFO(lcAudio, "Recording playback stream %u of the captured application", sinkInput);
            m_mixer.addStream(sinkInput);
            m_taps.emplace(sinkInput, std::move(tap));
        }
        // A mix starts afresh whenever it has more than one stream again.
        if (m_taps.size() <= 1) {
            m_mixer = StreamMixer(mixerSlack());
            for (const auto &[sinkInput, _] : m_taps)
                m_mixer.addStream(sinkInput);
        }
        const bool present = !wanted.empty();
        if (m_present != present) {
            m_present = present;
            if (m_presence)
                postToMain([presence = m_presence, present] { presence(present); });
        }
        if (auto start = std::exchange(m_startCompletion, {}))
            postToMain([start] { start(std::nullopt); });
    }

    static void tapStateChanged(pa_stream *stream, void *userdata)
    {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)
            return;
        // The playback stream ended or moved: the server's list says which, and where to.
        auto *tap = static_cast<Tap *>(userdata);
        PulseCaptureStream *self = tap->owner;
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
        tap->stream = nullptr;
        self->m_core->refresh();
    }

    static void tapReadable(pa_stream *stream, size_t, void *userdata)
    {
        auto *tap = static_cast<Tap *>(userdata);
        PulseCaptureStream *self = tap->owner;
        const AudioFormat format = AudioFormat::standard(double(self->m_spec.rate), 1);
        while (pa_stream_readable_size(stream) > 0) {
            const void *data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
                return;
            if (data && self->m_taps.size() == 1) {
                // One stream plays: nothing to mix, and nothing to copy.
                if (self->m_output)
                    self->m_output(AudioBuffer::view(format, { data }, std::uint32_t(bytes / sizeof(float))));
            } else if (data) {
                self->m_mixer.push(
                    tap->sinkInput, { static_cast<const float *>(data), bytes / sizeof(float) }, self->m_mixed);
                if (!self->m_mixed.empty() && self->m_output)
                    self->m_output(
                        AudioBuffer::view(format, { self->m_mixed.data() }, std::uint32_t(self->m_mixed.size())));
            }
            pa_stream_drop(stream);
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
        PlatformError error = PulseAudioCaptureService::error(self->m_core->lastError());
        if (self->m_configuration.source.kind == AudioSource::Kind::Input
            && (error.code == PA_ERR_KILLED || error.code == PA_ERR_NOENTITY))
            error.userMessage = QCoreApplication::translate("PulseAudioCaptureService",
                "The input device \u201c%1\u201d is not connected, so captions stopped. Connect it, or choose "
                "another source for captions, then start captions again.")
                                    .arg(self->m_configuration.sourceLabel);
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
    bool m_connected = false;
    pa_stream *m_stream = nullptr; // the whole mix or an input device
    std::map<std::uint32_t, std::unique_ptr<Tap>> m_taps; // an application's, by playback stream
    pa_stream *m_pacer = nullptr; // with an application's: see keepOutputResponsive
    QByteArray m_pacerMonitor;
    StreamMixer m_mixer { 0 };
    std::vector<float> m_mixed;
    std::optional<bool> m_present;
    OutputHandler m_output;
    FailureHandler m_failure;
    PresenceHandler m_presence;
    Completion m_startCompletion;
};

} // namespace

bool PulseAudioCaptureService::Core::wantsConnection()
{
    return hasWatchers()
        || std::any_of(m_streams.cbegin(), m_streams.cend(), [](const auto *s) { return s->isApplication(); });
}

void PulseAudioCaptureService::Core::connectionLost(const PlatformError &error)
{
    m_snapshot.reset();
    failContent(error);
    const std::vector<PulseCaptureStream *> streams = m_streams; // a stream may leave the list
    for (PulseCaptureStream *stream : streams)
        stream->serverLost(error);
    if (!wantsConnection())
        return;
    if (!std::exchange(m_reconnecting, true))
        SLOG_INFO(lcAudio, "No connection to the sound server (%s); trying again every second", error.message());
    scheduleReconnect();
}

void PulseAudioCaptureService::Core::finishRefresh()
{
    m_refreshing = false;
    m_snapshot = std::move(m_next);
    const AudioCaptureContent content = m_snapshot->content();
    const auto waiting = std::exchange(m_pendingContent, {});
    for (const auto &completion : waiting)
        postToMain([completion, content] { completion(content, std::nullopt); });
    if (hasWatchers() && m_watchedContent != content) {
        m_watchedContent = content;
        for (const auto &weak : m_watchers)
            postToMain([weak, content] {
                if (const auto watcher = weak.lock())
                    (*watcher)(content);
            });
    }
    const std::vector<PulseCaptureStream *> streams = m_streams; // a stream may leave the list as it follows
    for (PulseCaptureStream *stream : streams)
        stream->follow(m_context, *m_snapshot);
    if (std::exchange(m_refreshAgain, false))
        refresh();
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

std::shared_ptr<void> PulseAudioCaptureService::watchContent(ContentHandler handler)
{
    m_core->lock();
    auto token = m_core->watch(std::move(handler));
    m_core->unlock();
    return token;
}

std::shared_ptr<AudioCaptureStream> PulseAudioCaptureService::makeStream(const AudioCaptureConfiguration &configuration)
{
    return std::make_shared<PulseCaptureStream>(m_core, configuration);
}
