// What a finished sentence costs the GUI thread when transcripts are kept: the line is formatted, queued
// for the saver's thread and the sentence added to the session transcript; the disk is written and
// flushed elsewhere. Times 10000 sentences into a file in the temporary folder (or the folder given).
//
//   build/release/bench/bench_transcript_append [folder]
#include "captioning/SessionTranscript.h"
#include "captioning/TranscriptAutoSaver.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) + QStringLiteral("/bench-XXXXXX") : QString());
    const QString file = dir.filePath(QStringLiteral("transcript.txt"));
    constexpr int count = 10000;
    // Wall time, and the thread's own processor time: a wall time far above it is the thread waiting for a
    // processor (or a lock), not work.
    std::vector<double> micros, cpuMicros;
    micros.reserve(count);
    cpuMicros.reserve(count);
    const auto threadCpu = [] {
        timespec t {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
    };
    SessionTranscript transcript;
    {
        TranscriptAutoSaver saver(
            file, [](const QString &message) { std::fprintf(stderr, "%s\n", message.toUtf8().constData()); });
        for (int i = 0; i < count; ++i) {
            TimedSentence sentence {
                QStringLiteral("Sentence %1 of the benchmark, about as long as people speak them.").arg(i), 2.0 * i,
                2.0 * i + 1.5, {}
            };
            for (const QString &w : sentence.text.split(u' '))
                sentence.words.push_back({ w, 2.0 * i, 2.0 * i + 0.2 });
            const double cpuStart = threadCpu();
            const auto start = std::chrono::steady_clock::now();
            saver.append(TranscriptAutoSaver::line(transcript.startTime(), sentence));
            transcript.append(std::move(sentence));
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
            cpuMicros.push_back(threadCpu() - cpuStart);
            // Sentences come seconds apart; a short gap lets the saver keep up as it would.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        while (saver.writtenLines() < count && !saver.hasFailed())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("GUI thread per sentence, %d sentences, each line flushed to disk by the saver's thread:\n", count);
    for (auto [name, values] :
        { std::pair { "wall time", &micros }, std::pair { "thread processor time", &cpuMicros } }) {
        std::sort(values->begin(), values->end());
        std::printf("  %s: median %.1f us, 99th percentile %.1f us, 99.9th %.1f us, worst %.1f us\n", name,
            (*values)[count / 2], (*values)[count * 99 / 100], (*values)[count * 999 / 1000], values->back());
    }
    return 0;
}
