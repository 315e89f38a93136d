#pragma once

#include "captioning/SpeechEngine.h"
#include "platform/FfmpegAudioDecoder.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>
#include <QThread>

#include <cmath>
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
    // Feeds the samples as fast as the queue takes them (or at their spoken pace), ends the audio and waits.
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
    std::vector<TimedSentence> sentenceList() { return std::lock_guard(mutex), sentences; }
    QStringList results() { return std::lock_guard(mutex), texts; }
};

// The LibriVox recording `id` ("0870") of pocketsphinx-testdata.
inline QString librivoxFile(const QString &id)
{
    return librivox + QStringLiteral("sense_and_sensibility_01_austen_64kb-%1.wav").arg(id);
}

inline QStringList wordsOf(const QString &text)
{
    return text.toLower().split(QRegularExpression(QStringLiteral("[^a-z']+")), Qt::SkipEmptyParts);
}

// Share of the words said in recording `id` (its transcript) that the text holds, each word of the text used once.
inline double recall(const QString &id, const QString &text)
{
    QFile file(librivox + QStringLiteral("transcription"));
    const QString all = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    const QRegularExpression line(
        QStringLiteral("<s> (.*) </s> \\(sense_and_sensibility_01_austen_64kb-%1\\)").arg(id));
    const QStringList reference = line.match(all).captured(1).split(u' ', Qt::SkipEmptyParts);
    QStringList heard = wordsOf(text);
    const auto found
        = std::count_if(reference.begin(), reference.end(), [&](const QString &w) { return heard.removeOne(w); });
    return reference.isEmpty() ? 0 : double(found) / double(reference.size());
}

inline std::vector<float> recording(const QString &id)
{
    return FfmpegAudioDecoder::readMonoFloat(librivoxFile(id), nullptr).value_or(std::vector<float>());
}

// Seconds of music, no words in it: a chord a bar, a plucked tune, a kick drum.
inline std::vector<float> music(int seconds)
{
    static const double chords[][3] = { { 261.63, 329.63, 392.00 }, { 220.00, 261.63, 329.63 },
        { 174.61, 220.00, 261.63 }, { 196.00, 246.94, 293.66 } };
    static const double tune[] = { 523.25, 587.33, 659.25, 783.99, 880.00, 783.99, 659.25, 587.33 };
    std::vector<float> out(std::size_t(seconds) * 16000);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / 16000, beat = std::fmod(t, 0.5), half = std::fmod(t, 1.0);
        double v = 0.3 * std::exp(-25 * half) * std::sin(2 * M_PI * (90 - 45 * std::min(half, 0.15) / 0.15) * half);
        for (double f : chords[std::size_t(t / 2) % 4])
            v += 0.06 * std::sin(2 * M_PI * f * t) * (1 + 0.4 * std::sin(2 * M_PI * 5 * t));
        for (int h = 1; h <= 3; ++h)
            v += 0.15 / h * std::exp(-6 * beat) * std::sin(2 * M_PI * tune[std::size_t(t / 0.5) % 8] * h * t);
        out[i] = float(v);
    }
    return out;
}
