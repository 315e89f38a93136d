#pragma once

#include "captioning/AudioCaptureService.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// A capture service answering on later turns of the main loop, as the real one does; starts may be held.
class FakeAudioCaptureService final : public AudioCaptureService
{
    static void post(std::function<void()> call)
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(call), Qt::QueuedConnection);
    }

public:
    class Stream final : public AudioCaptureStream
    {
    public:
        Stream(const FakeAudioCaptureService *service, AudioCaptureConfiguration configuration)
            : m_service(service), m_configuration(std::move(configuration))
        { }
        int stopCalls = 0;
        std::atomic<bool> capturing = false;

        AudioCaptureConfiguration configuration() const override { return m_configuration; }
        std::optional<PlatformError> addOutput(OutputHandler handler) override
        {
            std::lock_guard lock(m_mutex);
            m_output = std::move(handler);
            return std::nullopt;
        }
        void setFailureHandler(FailureHandler handler) override { m_failure = std::move(handler); }
        void setPresenceHandler(PresenceHandler handler) override { m_presence = std::move(handler); }
        void startCapture(Completion completion) override
        {
            m_pendingStart = std::move(completion);
            if (!m_service->holdStarts)
                answerStart(std::nullopt);
        }
        void stopCapture(Completion completion) override
        {
            ++stopCalls;
            capturing = false;
            if (auto start = std::exchange(m_pendingStart, {})) // as a sound server kills a stream it was making ready
                post([start] { start(PlatformError { QStringLiteral("Fake"), 9, QStringLiteral("Killed") }); });
            post([completion] { completion(std::nullopt); });
        }
        bool hasPendingStart() const { return bool(m_pendingStart); }
        void answerStart(std::optional<PlatformError> error)
        {
            if (auto completion = std::exchange(m_pendingStart, {}))
                capturing = !error, post([completion, error] { completion(error); });
        }
        // The captured application starts or stops playing.
        void setPresent(bool present)
        {
            post([presence = m_presence, present] { presence(present); });
        }
        // The stream dies by itself, as when the sound server goes away.
        void fail(const PlatformError &error)
        {
            capturing = false, post([failure = m_failure, error] { failure(error); });
        }
        // Delivers `frames` samples of `value` from a capture thread and waits for it.
        void push(std::uint32_t frames, float value = 0.0f)
        {
            std::unique_ptr<QThread> thread(QThread::create([this, frames, value] {
                std::vector<float> samples(frames, value);
                std::lock_guard lock(m_mutex);
                if (m_output && capturing)
                    m_output(AudioBuffer::view(AudioFormat::recognizerTarget(), { samples.data() }, frames));
            }));
            thread->start();
            thread->wait();
        }

    private:
        const FakeAudioCaptureService *m_service;
        AudioCaptureConfiguration m_configuration;
        std::mutex m_mutex;
        OutputHandler m_output;
        FailureHandler m_failure;
        PresenceHandler m_presence;
        Completion m_pendingStart;
    };

    QStringList outputDevices { QStringLiteral("fake_sink") }; // the content it answers, with no applications
    std::optional<PlatformError> contentError;
    bool holdStarts = false;
    int contentRequests = 0;
    std::vector<std::shared_ptr<Stream>> streams;

    void getShareableContent(ContentCompletion completion) override
    {
        ++contentRequests;
        const auto content = contentError ? std::nullopt : std::optional(AudioCaptureContent { outputDevices, {}, {} });
        post([completion, content, error = contentError] { completion(content, error); });
    }
    // Tells the watcher the content once, as the server does when watching begins.
    std::shared_ptr<void> watchContent(ContentHandler handler) override
    {
        auto watcher = std::make_shared<ContentHandler>(std::move(handler));
        post([weak = std::weak_ptr(watcher), content = AudioCaptureContent { outputDevices, {}, {} }] {
            if (const auto watcher = weak.lock())
                (*watcher)(content);
        });
        return watcher;
    }
    std::shared_ptr<AudioCaptureStream> makeStream(const AudioCaptureConfiguration &configuration) override
    {
        return streams.emplace_back(std::make_shared<Stream>(this, configuration));
    }
    std::shared_ptr<Stream> lastStream() const { return streams.empty() ? nullptr : streams.back(); }
    int capturingStreams() const
    {
        return int(std::count_if(streams.begin(), streams.end(), [](const auto &s) { return bool(s->capturing); }));
    }
};
