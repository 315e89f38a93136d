#pragma once

#include "captioning/SpeechEngine.h"

#include <QThread>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// A speech engine whose locales and results the test decides, delivered on threads of their own.
class FakeSpeechEngine final : public SpeechEngine
{
public:
    enum class Presence { present, absent, unavailable };

    class Task final : public SpeechRecognitionTask
    {
    public:
        Task(QString locale, std::shared_ptr<SpeechAudioRequest> request, SpeechRecognizer::ResultHandler handler)
            : locale(std::move(locale)), request(std::move(request)), m_handler(std::move(handler))
        { }
        const QString locale;
        const std::shared_ptr<SpeechAudioRequest> request;
        std::atomic<int> cancelCount { 0 };
        // What finishing delivers; held, the answer waits for answerFinish().
        std::optional<TimedSentence> sentenceUnderWay;
        bool holdFinish = false;

        void cancel() override { ++cancelCount; }
        void endAudio() override { request->endAudio(); }
        void finishSentence(std::function<void()> delivered) override
        {
            m_finishes.push_back(std::move(delivered));
            if (!holdFinish)
                answerFinish();
        }
        void answerFinish()
        {
            if (const auto sentence = std::exchange(sentenceUnderWay, std::nullopt))
                deliverSentence(*sentence);
            for (const auto &delivered : std::exchange(m_finishes, {}))
                delivered();
        }
        bool isCancelled() const { return cancelCount > 0; }
        // Even once cancelled, as a platform recognizer may report after cancel.
        void deliver(std::optional<QString> text, std::optional<QString> error)
        {
            onWorker([this, text, error] { m_handler(text, error); });
        }
        void deliverText(const QString &text) { deliver(text, std::nullopt); }
        void deliverError(const QString &error) { deliver(std::nullopt, error); }
        void deliverSentence(const TimedSentence &sentence)
        {
            onWorker([this, sentence] { request->sentenceHandler(sentence); });
        }

    private:
        static void onWorker(std::function<void()> call)
        {
            std::unique_ptr<QThread> worker(QThread::create(std::move(call)));
            worker->start();
            worker->wait();
        }
        SpeechRecognizer::ResultHandler m_handler;
        std::vector<std::function<void()>> m_finishes;
    };

    class Recognizer final : public SpeechRecognizer
    {
    public:
        Recognizer(FakeSpeechEngine *engine, QString locale, Presence presence)
            : m_engine(engine), m_locale(std::move(locale)), m_presence(presence)
        { }
        QString localeIdentifier() const override { return m_locale; }
        bool isAvailable() const override { return m_presence != Presence::unavailable; }
        bool supportsOnDeviceRecognition() const override { return true; }
        std::shared_ptr<SpeechRecognitionTask> recognitionTask(
            std::shared_ptr<SpeechAudioRequest> request, ResultHandler handler) override
        {
            auto task = std::make_shared<Task>(m_locale, std::move(request), std::move(handler));
            std::lock_guard lock(m_engine->m_mutex);
            return m_engine->m_tasks.emplace_back(task);
        }

    private:
        FakeSpeechEngine *m_engine;
        QString m_locale;
        Presence m_presence;
    };

    // Locales not set here have no recognizer.
    void setLocale(const QString &locale, Presence presence = Presence::present) { m_locales[locale] = presence; }
    QStringList supportedLocales() const override
    {
        QStringList out;
        for (const auto &[locale, presence] : m_locales)
            out << (presence == Presence::absent ? QStringList() : QStringList { locale });
        return out;
    }
    std::shared_ptr<SpeechRecognizer> recognizer(const QString &locale) override
    {
        const auto it = m_locales.find(locale);
        if (it == m_locales.end() || it->second == Presence::absent)
            return nullptr;
        return std::make_shared<Recognizer>(this, locale, it->second);
    }
    std::vector<std::shared_ptr<Task>> tasks() const
    {
        std::lock_guard lock(m_mutex);
        return m_tasks;
    }
    std::shared_ptr<Task> lastTask() const { return tasks().empty() ? nullptr : tasks().back(); }
    int taskCount() const { return int(tasks().size()); }

private:
    std::map<QString, Presence> m_locales;
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<Task>> m_tasks;
};
