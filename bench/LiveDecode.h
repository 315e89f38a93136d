#pragma once

// A recording through a recognizer the way captions use it: 20 ms buffers into one request, as capture
// delivers them, as fast as the recognizer takes them. The caller keeps the recognizer across files, so
// the model loads once and the decoder is reused, as in use.

#include "captioning/SpeechEngine.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QThread>

#include <algorithm>
#include <ctime>
#include <optional>
#include <vector>

// Every thread of the process, so the recognizer's worker counts as well as the feeding.
inline double processCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct LiveDecodeResult {
    // The last running transcription the task reported.
    QString text;
    double cpuSeconds = 0;
    double wallSeconds = 0;
};

// Nothing, with `error` set, when the recognizer cannot start a task, reports an error, or is still busy
// long after it should have finished: a stuck decoder must end the benchmark, not hold the machine.
// `maxQueuedFrames` bounds the audio waiting for the recognizer (0: as much as the request holds);
// sonorel-captions keeps two seconds queued, and a task that finds much more waiting takes that as falling
// behind live audio.
inline std::optional<LiveDecodeResult> liveDecode(
    SpeechRecognizer &recognizer, const std::vector<float> &samples, QString *error, std::size_t maxQueuedFrames = 0)
{
    auto request = std::make_shared<SpeechAudioRequest>();
    QMutex mutex;
    QString last, failure;
    const double cpu0 = processCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    // The first file also waits for the model to load; after that even a slow machine decodes in real time.
    const qint64 deadlineMs = 60000 + qint64(samples.size() * 10 * 1000 / SpeechAudioRequest::sampleRate);
    auto task = recognizer.recognitionTask(
        request, [&](const std::optional<QString> &text, const std::optional<QString> &message) {
            QMutexLocker lock(&mutex);
            if (text)
                last = *text;
            if (message)
                failure = *message;
        });
    if (!task) {
        *error = QStringLiteral("the recognizer gave no task");
        return std::nullopt;
    }
    // An error ends the task's decoding, so there is nothing more to wait for.
    const auto givenUp = [&] {
        QMutexLocker lock(&mutex);
        if (!failure.isEmpty())
            *error = failure;
        else if (timer.elapsed() >= deadlineMs)
            *error = QStringLiteral("no result after %1 s").arg(timer.elapsed() / 1000);
        else
            return false;
        task->cancel();
        return true;
    };
    constexpr std::size_t buffer = SpeechAudioRequest::sampleRate / 50; // 20 ms, as capture delivers it
    const std::size_t queueLimit = maxQueuedFrames > 0
        ? std::min(std::max(maxQueuedFrames, buffer), request->capacityFrames())
        : request->capacityFrames();
    for (std::size_t i = 0; i < samples.size(); i += buffer) {
        while (request->queuedFrames() + buffer > queueLimit) {
            if (givenUp())
                return std::nullopt;
            QThread::usleep(2000);
        }
        request->append(samples.data() + i, std::min(buffer, samples.size() - i));
    }
    task->endAudio();
    while (!request->isFinished()) {
        if (givenUp())
            return std::nullopt;
        QThread::usleep(2000);
    }
    LiveDecodeResult result;
    result.wallSeconds = double(timer.nsecsElapsed()) * 1e-9;
    result.cpuSeconds = processCpuSeconds() - cpu0;
    QMutexLocker lock(&mutex);
    if (!failure.isEmpty()) {
        *error = failure;
        return std::nullopt;
    }
    result.text = last;
    return result;
}
