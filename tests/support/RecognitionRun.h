#pragma once

#include "captioning/SpeechEngine.h"
#include "platform/FfmpegAudioDecoder.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>
#include <QThread>

#include <memory>
#include <mutex>
#include <vector>

// The LibriVox recordings of pocketsphinx-testdata, with their transcripts.
inline const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox/");

// One recognition task and what it reported from its worker thread.
struct Run {
    std::shared_ptr<SpeechAudioRequest> request = std::make_shared<SpeechAudioRequest>();
    std::mutex mutex;
    QStringList texts, errors, notices;
    std::vector<TimedSentence> sentences;
    bool onThisThread = false;
    std::shared_ptr<SpeechRecognitionTask> task;

    explicit Run(SpeechRecognizer &recognizer, bool partialText = false)
    {
        request->shouldReportPartialResults = partialText;
        request->sentenceHandler = [this](const TimedSentence &sentence) {
            std::lock_guard lock(mutex);
            sentences.push_back(sentence);
        };
        request->noticeHandler = [this](const QString &notice) {
            std::lock_guard lock(mutex);
            notices << notice;
        };
        task = recognizer.recognitionTask(
            request, [this](const std::optional<QString> &text, const std::optional<QString> &error) {
                std::lock_guard lock(mutex);
                onThisThread |= QThread::currentThread() == qApp->thread();
                (text ? texts : errors) << text.value_or(error.value_or(QString()));
            });
    }
    // Feeds the samples as fast as the queue takes them without dropping any (or at about the pace they
    // were spoken), ends the audio and waits.
    bool recognise(const std::vector<float> &samples, bool spokenPace = false)
    {
        for (std::size_t i = 0; i < samples.size(); i += 1600) {
            if (spokenPace)
                QTest::qWait(100);
            if (!QTest::qWaitFor([&] { return request->queuedFrames() + 1600 <= request->capacityFrames(); }, 30000))
                return false;
            request->append(samples.data() + i, std::min<std::size_t>(1600, samples.size() - i));
        }
        task->endAudio();
        return QTest::qWaitFor([&] { return request->isFinished(); }, 120000);
    }
    std::vector<TimedSentence> sentenceList()
    {
        std::lock_guard lock(mutex);
        return sentences;
    }
    QStringList results()
    {
        std::lock_guard lock(mutex);
        return texts;
    }
};

// The LibriVox recording `id` ("0870") of pocketsphinx-testdata.
inline QString librivoxFile(const QString &id)
{
    return librivox + QStringLiteral("sense_and_sensibility_01_austen_64kb-%1.wav").arg(id);
}

// The words of a text, in lower case.
inline QStringList wordsOf(const QString &text)
{
    return text.toLower().split(QRegularExpression(QStringLiteral("[^a-z']+")), Qt::SkipEmptyParts);
}

// The words the reader of recording `id` says, from the transcripts.
inline QStringList referenceWords(const QString &id)
{
    QFile file(librivox + QStringLiteral("transcription"));
    const QString all = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    const QRegularExpression line(
        QStringLiteral("<s> (.*) </s> \\(sense_and_sensibility_01_austen_64kb-%1\\)").arg(id));
    return line.match(all).captured(1).split(u' ', Qt::SkipEmptyParts);
}

// Share of the reference words of recording `id` that the text holds, each word of the text used once.
inline double recall(const QString &id, const QString &text)
{
    QStringList heard = wordsOf(text);
    const QStringList reference = referenceWords(id);
    int found = 0;
    for (const QString &w : reference)
        found += heard.removeOne(w) ? 1 : 0;
    return reference.isEmpty() ? 0 : double(found) / double(reference.size());
}

inline std::vector<float> recording(const QString &id)
{
    return FfmpegAudioDecoder::readMonoFloat(librivoxFile(id), nullptr).value_or(std::vector<float>());
}
