// Recognition speed and accuracy on the LibriVox recordings of pocketsphinx-testdata: the live engine
// (settings for captions, audio fed in 20 ms buffers, one decoder kept across files) next to a batch
// baseline decoded by the same library with its default settings, a fresh decoder per file and the
// whole file as one utterance (what Debian's pocketsphinx_batch does). Prints the real-time factor of
// one core (processor time / audio time) and the word error rate against the transcripts, counted by sclite.
// Run from a release build: build/release/bench/bench_speech [LIBRIVOX_FOLDER]
#include "LiveDecode.h"
#include "ScliteScorer.h"
#include "platform/FfmpegAudioDecoder.h"
#include "platform/PocketSphinxEngine.h"
#include "platform/PocketSphinxModel.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <pocketsphinx.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct Item {
    QString id;
    QString reference;
    std::vector<float> samples;
};

struct Score {
    double audioSeconds = 0;
    double cpuSeconds = 0;
    double wallSeconds = 0;
    ScliteScorer transcripts;
    bool print(const char *name) const
    {
        QString error;
        const auto errors = transcripts.score(&error);
        if (!errors) {
            std::fprintf(stderr, "%s: %s\n", name, qPrintable(error));
            return false;
        }
        std::printf("%-34s RTF %.3f of one core (wall %.3f), WER %.1f%% (%d errors / %d words: %d sub, %d del, "
                    "%d ins)\n",
            name, cpuSeconds / audioSeconds, wallSeconds / audioSeconds, errors->percent(), errors->errors,
            errors->words, errors->substitutions, errors->deletions, errors->insertions);
        return true;
    }
};

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
        auto samples = FfmpegAudioDecoder::readMonoFloat(
            folder + QLatin1Char('/') + m.captured(2) + QStringLiteral(".wav"), &error);
        if (!samples) {
            std::fprintf(stderr, "skipping %s: %s\n", qPrintable(m.captured(2)), qPrintable(error));
            continue;
        }
        items.push_back({ m.captured(2), m.captured(1), std::move(*samples) });
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
    QString error;
    if (!liveDecode(*recognizer, items.front().samples, &error)) {
        std::fprintf(stderr, "warm-up: %s\n", qPrintable(error));
        return 1;
    }

    Score live, batch;
    for (const Item &item : items) {
        const auto liveResult = liveDecode(*recognizer, item.samples, &error);
        if (!liveResult) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(item.id), qPrintable(error));
            return 1;
        }
        const double seconds = double(item.samples.size()) / 16000.0;
        live.audioSeconds += seconds;
        live.cpuSeconds += liveResult->cpuSeconds;
        live.wallSeconds += liveResult->wallSeconds;
        live.transcripts.add(item.id, item.reference, liveResult->text);

        double batchCpu = 0;
        const QString batchText = batchDecode(*files, item.samples, &batchCpu);
        batch.audioSeconds += seconds;
        batch.cpuSeconds += batchCpu;
        batch.wallSeconds += batchCpu;
        batch.transcripts.add(item.id, item.reference, batchText);
        if (verbose)
            std::printf("%s\n  ref:   %s\n  live:  %s\n  batch: %s\n", qPrintable(item.id), qPrintable(item.reference),
                qPrintable(liveResult->text), qPrintable(batchText));
    }
    std::printf("LibriVox set: %zu files, %.1f s of audio\n", items.size(), live.audioSeconds);
    if (!live.print("live engine (caption settings)") || !batch.print("batch baseline (library defaults)"))
        return 1;
    return 0;
}
