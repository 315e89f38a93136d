// Recognition speed and accuracy on the LibriVox recordings of pocketsphinx-testdata: the live engine
// (settings for captions, audio fed in 20 ms buffers, one decoder kept across files) next to a batch
// baseline decoded by the same library with its default settings, a fresh decoder per file and the
// whole file as one utterance (what Debian's pocketsphinx_batch does). Prints the real-time factor of
// one core (processor time / audio time) and the word error rate against the transcripts.
// Run from a release build: build/release/bench/bench_speech [LIBRIVOX_FOLDER]
#include "PocketSphinxEngine.h"
#include "PocketSphinxModel.h"
#include "WavFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QRegularExpression>
#include <QThread>

#include <pocketsphinx.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double processCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

QStringList words(QString text)
{
    text = text.toLower();
    text.remove(QRegularExpression(QStringLiteral("\\([0-9]+\\)"))); // alternative pronunciations
    text.remove(QRegularExpression(QStringLiteral("[^a-z' ]")));
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Word-level edit distance: substitutions + deletions + insertions.
int editDistance(const QStringList &ref, const QStringList &hyp)
{
    std::vector<int> prev(hyp.size() + 1), cur(hyp.size() + 1);
    for (qsizetype j = 0; j <= hyp.size(); ++j)
        prev[j] = int(j);
    for (qsizetype i = 1; i <= ref.size(); ++i) {
        cur[0] = int(i);
        for (qsizetype j = 1; j <= hyp.size(); ++j)
            cur[j] = std::min({ prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1) });
        std::swap(prev, cur);
    }
    return prev[hyp.size()];
}

struct Item {
    QString id;
    QString reference;
    std::vector<float> samples;
};

struct Score {
    double audioSeconds = 0;
    double cpuSeconds = 0;
    double wallSeconds = 0;
    int edits = 0;
    int referenceWords = 0;
    void print(const char *name) const
    {
        std::printf("%-34s RTF %.3f of one core (wall %.3f), WER %.1f%% (%d edits / %d words)\n", name,
            cpuSeconds / audioSeconds, wallSeconds / audioSeconds, 100.0 * edits / referenceWords, edits,
            referenceWords);
    }
};

QString liveDecode(SpeechRecognizer &recognizer, const std::vector<float> &samples, double *cpu, double *wall)
{
    auto request = std::make_shared<SpeechAudioRequest>();
    QString last;
    QMutex mutex;
    const double cpu0 = processCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    auto task
        = recognizer.recognitionTask(request, [&](const std::optional<QString> &text, const std::optional<QString> &) {
              if (text) {
                  QMutexLocker lock(&mutex);
                  last = *text;
              }
          });
    constexpr std::size_t buffer = 320; // 20 ms, as capture delivers it
    for (std::size_t i = 0; i < samples.size(); i += buffer) {
        while (request->queuedFrames() + buffer > request->capacityFrames())
            QThread::usleep(2000);
        request->append(samples.data() + i, std::min(buffer, samples.size() - i));
    }
    task->endAudio();
    while (!request->isFinished())
        QThread::usleep(2000);
    *wall = timer.nsecsElapsed() * 1e-9;
    *cpu = processCpuSeconds() - cpu0;
    QMutexLocker lock(&mutex);
    return last;
}

QString batchDecode(const PocketSphinxModelFiles &files, const std::vector<float> &samples, double *cpu)
{
    const QByteArray hmm = files.acousticModel.toUtf8(), lm = files.languageModel.toUtf8(),
                     dict = files.dictionary.toUtf8();
    cmd_ln_t *config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.constData(), "-lm", lm.constData(), "-dict",
        dict.constData(), "-logfn", "/dev/null", static_cast<const char *>(nullptr));
    ps_decoder_t *ps = ps_init(config);
    cmd_ln_free_r(config);
    if (!ps)
        return {};
    std::vector<int16> pcm(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        pcm[i] = int16(std::lrint(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f));
    const double cpu0 = processCpuSeconds();
    ps_start_utt(ps);
    ps_process_raw(ps, pcm.data(), pcm.size(), FALSE, TRUE);
    ps_end_utt(ps);
    int32 score = 0;
    const char *hyp = ps_get_hyp(ps, &score);
    *cpu = processCpuSeconds() - cpu0;
    const QString text = hyp ? QString::fromUtf8(hyp) : QString();
    ps_free(ps);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*=false"));
    const QString folder
        = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/usr/share/pocketsphinx/test/data/librivox");
    const bool verbose = qEnvironmentVariableIsSet("BENCH_VERBOSE");

    QFile transcription(folder + QStringLiteral("/transcription"));
    if (!transcription.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "no transcription in %s\n", qPrintable(folder));
        return 1;
    }
    std::vector<Item> items;
    static const QRegularExpression line(QStringLiteral("^<s> (.*) </s> \\((.*)\\)$"));
    for (const QByteArray &raw : transcription.readAll().split('\n')) {
        const auto m = line.match(QString::fromUtf8(raw).trimmed());
        if (!m.hasMatch())
            continue;
        QString error;
        const auto wav = WavFile::read(folder + QLatin1Char('/') + m.captured(2) + QStringLiteral(".wav"), &error);
        if (!wav || wav->format().sampleRate != 16000 || wav->format().channelCount != 1) {
            std::fprintf(stderr, "skipping %s: %s\n", qPrintable(m.captured(2)), qPrintable(error));
            continue;
        }
        items.push_back({ m.captured(2), m.captured(1), wav->monoFloat() });
    }
    if (items.empty())
        return 1;

    PocketSphinxEngine engine;
    const auto recognizer = engine.recognizer(QStringLiteral("en-US"));
    const auto files = PocketSphinxModelFiles::inspect(QStringLiteral("/usr/share/pocketsphinx/model/en-us"));
    if (!recognizer || !files) {
        std::fprintf(stderr, "the en-US model is not installed\n");
        return 1;
    }
    // Warm-up: the model loads once, in the background; the decoder is then kept, as in use.
    double ignoredCpu = 0, ignoredWall = 0;
    liveDecode(*recognizer, items.front().samples, &ignoredCpu, &ignoredWall);

    Score live, batch;
    for (const Item &item : items) {
        double cpu = 0, wall = 0;
        const QString liveText = liveDecode(*recognizer, item.samples, &cpu, &wall);
        const double seconds = double(item.samples.size()) / 16000.0;
        const QStringList ref = words(item.reference);
        live.audioSeconds += seconds;
        live.cpuSeconds += cpu;
        live.wallSeconds += wall;
        live.edits += editDistance(ref, words(liveText));
        live.referenceWords += int(ref.size());

        double batchCpu = 0;
        const QString batchText = batchDecode(*files, item.samples, &batchCpu);
        batch.audioSeconds += seconds;
        batch.cpuSeconds += batchCpu;
        batch.wallSeconds += batchCpu;
        batch.edits += editDistance(ref, words(batchText));
        batch.referenceWords += int(ref.size());
        if (verbose)
            std::printf("%s\n  ref:   %s\n  live:  %s\n  batch: %s\n", qPrintable(item.id), qPrintable(item.reference),
                qPrintable(liveText), qPrintable(batchText));
    }
    std::printf("LibriVox set: %zu files, %.1f s of audio\n", items.size(), live.audioSeconds);
    live.print("live engine (caption settings)");
    batch.print("batch baseline (library defaults)");
    return 0;
}
