#pragma once

#include "SpeechEngine.h"

#include <QThread>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// A speech engine whose locales, recognizers and results the test decides. Results and errors are
// delivered when the test asks, on a thread of their own as a real task's worker would.
class FakeSpeechEngine final : public SpeechEngine
{
public:
    enum class Presence { present, absent, unavailable, noOnDevice };

    class Task final : public SpeechRecognitionTask
    {
    public:
        Task(QString locale, std::shared_ptr<SpeechAudioRequest> request, SpeechRecognizer::ResultHandler handler)
            : locale(std::move(locale)), request(std::move(request)), m_handler(std::move(handler))
        { }

        const QString locale;
        const std::shared_ptr<SpeechAudioRequest> request;
        std::atomic<int> cancelCount { 0 };
        std::atomic<int> endAudioCount { 0 };

        void cancel() override { ++cancelCount; }
        void endAudio() override
        {
            ++endAudioCount;
            request->endAudio();
        }
        bool isCancelled() const { return cancelCount > 0; }

        // Calls the result handler on a worker thread and waits until it has returned. A cancelled task
        // still delivers: a platform recognizer may report after cancel (its "cancelled" error).
        void deliver(std::optional<QString> text, std::optional<QString> error)
        {
            std::unique_ptr<QThread> worker(QThread::create([this, text, error] { m_handler(text, error); }));
            worker->start();
            worker->wait();
        }
        void deliverText(const QString &text) { deliver(text, std::nullopt); }
        void deliverError(const QString &error) { deliver(std::nullopt, error); }

    private:
        SpeechRecognizer::ResultHandler m_handler;
    };

    class Recognizer final : public SpeechRecognizer
    {
    public:
        Recognizer(FakeSpeechEngine *engine, QString locale, bool available, bool onDevice)
            : m_engine(engine), m_locale(std::move(locale)), m_available(available), m_onDevice(onDevice)
        { }
        QString localeIdentifier() const override { return m_locale; }
        bool isAvailable() const override { return m_available; }
        bool supportsOnDeviceRecognition() const override { return m_onDevice; }
        std::shared_ptr<SpeechRecognitionTask> recognitionTask(
            std::shared_ptr<SpeechAudioRequest> request, ResultHandler handler) override
        {
            auto task = std::make_shared<Task>(m_locale, std::move(request), std::move(handler));
            std::lock_guard lock(m_engine->m_mutex);
            m_engine->m_tasks.push_back(task);
            return task;
        }

    private:
        FakeSpeechEngine *m_engine;
        QString m_locale;
        bool m_available;
        bool m_onDevice;
    };

    // Locales not set here have no recognizer.
    void setLocale(const QString &locale, Presence presence = Presence::present) { m_locales[locale] = presence; }
    void removeLocale(const QString &locale) { m_locales.erase(locale); }

    QStringList supportedLocales() const override
    {
        QStringList out;
        for (const auto &[locale, presence] : m_locales) {
            if (presence != Presence::absent)
                out << locale;
        }
        return out;
    }

    std::shared_ptr<SpeechRecognizer> recognizer(const QString &localeIdentifier) override
    {
        ++recognizersCreated;
        const auto it = m_locales.find(localeIdentifier);
        if (it == m_locales.end() || it->second == Presence::absent)
            return nullptr;
        return std::make_shared<Recognizer>(
            this, localeIdentifier, it->second != Presence::unavailable, it->second != Presence::noOnDevice);
    }

    int recognizersCreated = 0;

    std::vector<std::shared_ptr<Task>> tasks() const
    {
        std::lock_guard lock(m_mutex);
        return m_tasks;
    }
    std::shared_ptr<Task> lastTask() const
    {
        std::lock_guard lock(m_mutex);
        return m_tasks.empty() ? nullptr : m_tasks.back();
    }
    int taskCount() const
    {
        std::lock_guard lock(m_mutex);
        return int(m_tasks.size());
    }

private:
    std::map<QString, Presence> m_locales;
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<Task>> m_tasks;
};
