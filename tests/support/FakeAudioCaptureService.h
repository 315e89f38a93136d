#pragma once

#include "AudioCaptureService.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// A capture service whose answers the test decides. Content answers and start completions arrive on
// later turns of the main event loop, as the real service's do; a test may hold start completions
// back to open a window for races. Buffers are pushed from a thread of their own.
class FakeAudioCaptureService final : public AudioCaptureService
{
public:
    class Stream final : public AudioCaptureStream
    {
    public:
        explicit Stream(FakeAudioCaptureService *service, AudioCaptureConfiguration configuration)
            : m_service(service), m_configuration(std::move(configuration))
        { }

        AudioCaptureConfiguration configuration() const override { return m_configuration; }
        std::optional<PlatformError> addOutput(OutputHandler handler) override
        {
            if (m_service->addOutputError)
                return m_service->addOutputError;
            std::lock_guard lock(m_mutex);
            m_output = std::move(handler);
            return std::nullopt;
        }
        void setFailureHandler(FailureHandler handler) override { m_failure = std::move(handler); }
        void startCapture(Completion completion) override
        {
            ++m_service->startCalls;
            m_pendingStart = std::move(completion);
            if (!m_service->holdStarts)
                answerStart(m_service->startError);
        }
        void stopCapture(Completion completion) override
        {
            ++stopCalls;
            {
                std::lock_guard lock(m_mutex);
                m_output = nullptr;
                capturing = false;
            }
            post([completion] { completion(std::nullopt); });
        }

        // Completes a start that the service held back.
        void answerStart(std::optional<PlatformError> error)
        {
            auto completion = std::exchange(m_pendingStart, {});
            if (!completion)
                return;
            {
                std::lock_guard lock(m_mutex);
                capturing = !error;
            }
            post([completion, error] { completion(error); });
        }
        bool hasPendingStart() const { return bool(m_pendingStart); }

        // The stream dies by itself, as when the sound server goes away.
        void fail(const PlatformError &error)
        {
            {
                std::lock_guard lock(m_mutex);
                capturing = false;
                m_output = nullptr;
            }
            if (m_failure)
                post([failure = m_failure, error] { failure(error); });
        }

        // Delivers one buffer of `frames` samples of `value` from a capture thread of its own and waits.
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

        bool isCapturing() const
        {
            std::lock_guard lock(m_mutex);
            return capturing;
        }

        int stopCalls = 0;

    private:
        static void post(std::function<void()> call)
        {
            QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(call), Qt::QueuedConnection);
        }

        FakeAudioCaptureService *m_service;
        AudioCaptureConfiguration m_configuration;
        mutable std::mutex m_mutex;
        OutputHandler m_output;
        FailureHandler m_failure;
        Completion m_pendingStart;
        bool capturing = false;
    };

    // What getShareableContent answers.
    QStringList outputDevices { QStringLiteral("fake_sink") };
    std::optional<PlatformError> contentError;
    std::optional<PlatformError> addOutputError;
    std::optional<PlatformError> startError;
    bool holdStarts = false;

    int contentRequests = 0;
    int startCalls = 0;
    std::vector<std::shared_ptr<Stream>> streams;

    void getShareableContent(ContentCompletion completion) override
    {
        ++contentRequests;
        std::optional<AudioCaptureContent> content;
        if (!contentError)
            content = AudioCaptureContent { outputDevices };
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [completion, content, error = contentError] { completion(content, error); },
            Qt::QueuedConnection);
    }

    std::shared_ptr<AudioCaptureStream> makeStream(const AudioCaptureConfiguration &configuration) override
    {
        auto stream = std::make_shared<Stream>(this, configuration);
        streams.push_back(stream);
        return stream;
    }

    std::shared_ptr<Stream> lastStream() const { return streams.empty() ? nullptr : streams.back(); }
    int capturingStreams() const
    {
        int n = 0;
        for (const auto &s : streams)
            n += s->isCapturing() ? 1 : 0;
        return n;
    }
};
