// Caption accuracy on degraded sound: every recording of the robustness set (bench/make-robustness-corpus,
// built with the benchmarks) under each condition, through the live engine twice, once with the sound front
// end that captions ship with and once with the decoder hearing the sound as it is. Prints, per condition,
// the word error rate of both (counted by sclite), what the front end changes, and the processor time it
// costs per second of audio.
//
// Run from a release build: build/release/bench/bench_robustness [--half tune|eval|all]
//     [--suppressor speex|webrtc|none] [--set -name value]... [--conditions clean,pink5,...] [--corpus DIR]
// Tune decoder or front-end settings on the tune half and report on the eval half, so that the figures are
// not the ones the settings were chosen by. BENCH_VERBOSE=1 prints every transcript.
#include "LiveDecode.h"
#include "ScliteScorer.h"
#include "platform/FfmpegAudioDecoder.h"
#include "platform/PocketSphinxEngine.h"
#include "platform/SpeexNoiseSuppressor.h"
#include "platform/WebRtcNoiseSuppressor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <cstdio>
#include <map>
#include <vector>

#ifndef SONOREL_ROBUSTNESS_CORPUS
#define SONOREL_ROBUSTNESS_CORPUS ""
#endif

namespace {

const QStringList allConditions { QStringLiteral("clean"), QStringLiteral("music10"), QStringLiteral("pink15"),
    QStringLiteral("pink5"), QStringLiteral("babble15"), QStringLiteral("babble5"), QStringLiteral("quiet30"),
    QStringLiteral("clipped12"), QStringLiteral("stretch1.2") };

struct Item {
    QString id;
    QString reference;
};

// One configuration on one condition.
struct Outcome {
    WordErrors errors;
    double audioSeconds = 0;
    double cpuSeconds = 0;
    int silentFiles = 0; // the engine wrote no words at all
    std::map<QString, QString> hypotheses;
};

struct Configuration {
    const char *name;
    PocketSphinxEngine::Options options;
    std::map<QString, Outcome> outcomes; // by condition
};

void usage()
{
    std::fprintf(stderr,
        "usage: bench_robustness [--half tune|eval|all] [--suppressor speex|webrtc|none] [--set -name value]...\n"
        "                        [--conditions %s] [--corpus DIR]\n",
        qPrintable(allConditions.join(QLatin1Char(','))));
}

// The ids of a half in the order of its list, with their reference transcripts.
std::optional<std::vector<Item>> readHalf(const QString &corpus, const QString &half, QString *error)
{
    QFile list(corpus + QLatin1Char('/') + half + QStringLiteral(".list"));
    QFile trn(corpus + QLatin1Char('/') + half + QStringLiteral(".trn"));
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text) || !trn.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("no %1.list and %1.trn in %2").arg(half, corpus);
        return std::nullopt;
    }
    std::map<QString, QString> references;
    static const QRegularExpression line(QStringLiteral("^(.*)\\s*\\(([^()]+)\\)$"));
    for (const QByteArray &raw : trn.readAll().split('\n')) {
        const auto m = line.match(QString::fromUtf8(raw).trimmed());
        if (m.hasMatch())
            references[m.captured(2)] = m.captured(1).trimmed();
    }
    std::vector<Item> items;
    for (const QByteArray &raw : list.readAll().split('\n')) {
        const QString id = QString::fromUtf8(raw).trimmed();
        if (id.isEmpty())
            continue;
        const auto reference = references.find(id);
        if (reference == references.end()) {
            *error = QStringLiteral("%1 has no transcript in %2.trn").arg(id, half);
            return std::nullopt;
        }
        items.push_back({ id, reference->second });
    }
    return items;
}

std::optional<std::vector<float>> readRecording(const QString &path, QString *error)
{
    return FfmpegAudioDecoder::readMonoFloat(path, error);
}

// Decodes every recording of every condition with one engine and one recognizer, kept across files.
bool run(
    Configuration &configuration, const QString &corpus, const QStringList &conditions, const std::vector<Item> &items)
{
    PocketSphinxEngine engine(configuration.options);
    const auto recognizer = engine.recognizer(QStringLiteral("en-US"));
    if (!recognizer) {
        std::fprintf(stderr, "the en-US model is not installed\n");
        return false;
    }
    QString error;
    // Warm-up: the model loads in the background on first use; that is not decoding time.
    const auto warmUp
        = readRecording(corpus + QStringLiteral("/clean/") + items.front().id + QStringLiteral(".wav"), &error);
    if (!warmUp || !liveDecode(*recognizer, *warmUp, &error)) {
        std::fprintf(stderr, "warm-up: %s\n", qPrintable(error));
        return false;
    }
    for (const QString &condition : conditions) {
        Outcome &outcome = configuration.outcomes[condition];
        ScliteScorer transcripts;
        for (const Item &item : items) {
            const QString path
                = corpus + QLatin1Char('/') + condition + QLatin1Char('/') + item.id + QStringLiteral(".wav");
            const auto samples = readRecording(path, &error);
            if (!samples) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return false;
            }
            const auto result = liveDecode(*recognizer, *samples, &error);
            if (!result) {
                std::fprintf(stderr, "%s, %s/%s: %s\n", configuration.name, qPrintable(condition), qPrintable(item.id),
                    qPrintable(error));
                return false;
            }
            outcome.audioSeconds += double(samples->size()) / SpeechAudioRequest::sampleRate;
            outcome.cpuSeconds += result->cpuSeconds;
            if (ScliteScorer::normalise(result->text).isEmpty())
                ++outcome.silentFiles;
            outcome.hypotheses[item.id] = result->text;
            transcripts.add(item.id, item.reference, result->text);
        }
        const auto errors = transcripts.score(&error);
        if (!errors) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(condition), qPrintable(error));
            return false;
        }
        outcome.errors = *errors;
    }
    return true;
}

QString relativeChange(double without, double with)
{
    if (without <= 0)
        return with <= 0 ? QStringLiteral("0%") : QStringLiteral("n/a");
    return QString::asprintf("%+.0f%%", 100.0 * (with - without) / without);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*=false"));
    const bool verbose = qEnvironmentVariableIsSet("BENCH_VERBOSE");

    QString half = QStringLiteral("eval");
    QString suppressor;
    QString corpus = QStringLiteral(SONOREL_ROBUSTNESS_CORPUS);
    QStringList conditions = allConditions;
    QStringList decoderSettings;
    bool withOnly = false;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--half") && hasValue) {
            half = args[++i];
        } else if (arg == QLatin1String("--suppressor") && hasValue) {
            suppressor = args[++i];
        } else if (arg == QLatin1String("--with-only")) {
            withOnly = true;
        } else if (arg == QLatin1String("--corpus") && hasValue) {
            corpus = args[++i];
        } else if (arg == QLatin1String("--conditions") && hasValue) {
            conditions = args[++i].split(QLatin1Char(','), Qt::SkipEmptyParts);
            conditions.removeDuplicates();
        } else if (arg == QLatin1String("--set") && i + 2 < args.size() && args[i + 1].startsWith(QLatin1Char('-'))) {
            decoderSettings << args[i + 1] << args[i + 2];
            i += 2;
        } else {
            usage();
            return arg == QLatin1String("--help") ? 0 : 2;
        }
    }
    if ((half != QLatin1String("tune") && half != QLatin1String("eval") && half != QLatin1String("all"))
        || conditions.isEmpty()) {
        usage();
        return 2;
    }
    for (const QString &condition : conditions) {
        if (!QDir(corpus + QLatin1Char('/') + condition).exists()) {
            std::fprintf(stderr, "no condition %s in %s (build the bench_robustness target to make the set)\n",
                qPrintable(condition), qPrintable(corpus));
            return 1;
        }
    }

    QString error;
    std::vector<Item> items;
    const QStringList halvesToRead = half == QLatin1String("all")
        ? QStringList { QStringLiteral("tune"), QStringLiteral("eval") }
        : QStringList { half };
    for (const QString &name : halvesToRead) {
        const auto halfItems = readHalf(corpus, name, &error);
        if (!halfItems) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        items.insert(items.end(), halfItems->begin(), halfItems->end());
    }
    if (items.empty()) {
        std::fprintf(stderr, "no recordings in the %s half of %s\n", qPrintable(half), qPrintable(corpus));
        return 1;
    }

    Configuration with { "with front end", {}, {} };
    with.options.task = PocketSphinxEngine::defaultTaskOptions();
    with.options.decoderSettings = decoderSettings;
    // A suppressor may carry its strength: speex:-12 (most lowering in dB), webrtc:1 (level 0 to 3).
    const QString suppressorKind = suppressor.section(QLatin1Char(':'), 0, 0);
    bool strengthOk = true;
    const int strength = suppressor.section(QLatin1Char(':'), 1).toInt(&strengthOk);
    if (suppressorKind == QLatin1String("speex"))
        with.options.task.noiseSuppressor
            = strengthOk ? makeSpeexNoiseSuppressorFactory(strength) : makeSpeexNoiseSuppressorFactory();
    else if (suppressorKind == QLatin1String("webrtc"))
        with.options.task.noiseSuppressor
            = strengthOk ? makeWebRtcNoiseSuppressorFactory(strength) : makeWebRtcNoiseSuppressorFactory();
    else if (suppressor == QLatin1String("none"))
        with.options.task.noiseSuppressor = nullptr;
    else if (!suppressor.isEmpty()) {
        usage();
        return 2;
    }
    Configuration without { "without front end", with.options, {} };
    without.options.task.frontEnd = false;

    // One configuration after the other, so that only one model is in memory at a time.
    if (!run(with, corpus, conditions, items))
        return 1;
    if (withOnly) {
        // Tuning: one figure per condition, for comparing settings quickly.
        for (const QString &condition : conditions)
            std::printf("%-11s %6.1f%%\n", qPrintable(condition), with.outcomes.at(condition).errors.percent());
        WordErrors all;
        for (const QString &condition : conditions)
            all += with.outcomes.at(condition).errors;
        std::printf("%-11s %6.1f%%\n", "total", all.percent());
        return 0;
    }
    if (!run(without, corpus, conditions, items))
        return 1;

    QString suppressorName = QStringLiteral("the default suppressor");
    if (suppressor == QLatin1String("none"))
        suppressorName = QStringLiteral("no noise suppressor");
    else if (!suppressor.isEmpty())
        suppressorName = QStringLiteral("the %1 suppressor").arg(suppressor);
    const QString halves
        = half == QLatin1String("all") ? QStringLiteral("both halves") : half + QStringLiteral(" half");
    std::printf("Robustness set, %s: %zu recordings under %lld condition%s; front end with %s", qPrintable(halves),
        items.size(), static_cast<long long>(conditions.size()), conditions.size() == 1 ? "" : "s",
        qPrintable(suppressorName));
    if (!decoderSettings.isEmpty())
        std::printf("; decoder %s", qPrintable(decoderSettings.join(QLatin1Char(' '))));
    std::printf("\n\n");

    std::printf("%-11s %6s %12s %12s %8s %14s %14s\n", "condition", "words", "WER without", "WER with", "change",
        "cpu/audio with", "cpu/audio w/o");
    WordErrors totalWithout, totalWith;
    double totalAudio = 0, totalCpuWith = 0, totalCpuWithout = 0;
    for (const QString &condition : conditions) {
        const Outcome &a = without.outcomes.at(condition), &b = with.outcomes.at(condition);
        std::printf("%-11s %6d %11.1f%% %11.1f%% %8s %14.3f %14.3f\n", qPrintable(condition), b.errors.words,
            a.errors.percent(), b.errors.percent(), qPrintable(relativeChange(a.errors.percent(), b.errors.percent())),
            b.cpuSeconds / b.audioSeconds, a.cpuSeconds / a.audioSeconds);
        totalWithout += a.errors;
        totalWith += b.errors;
        totalAudio += b.audioSeconds;
        totalCpuWith += b.cpuSeconds;
        totalCpuWithout += a.cpuSeconds;
    }
    std::printf("%-11s %6d %11.1f%% %11.1f%% %8s %14.3f %14.3f\n", "total", totalWith.words, totalWithout.percent(),
        totalWith.percent(), qPrintable(relativeChange(totalWithout.percent(), totalWith.percent())),
        totalCpuWith / totalAudio, totalCpuWithout / totalAudio);
    std::printf("\nWER without and with the front end; cpu/audio: processor seconds per second of audio.\n");
    std::printf("errors (sub/del/ins): without front end %d/%d/%d, with %d/%d/%d; %.0f s of audio per configuration\n",
        totalWithout.substitutions, totalWithout.deletions, totalWithout.insertions, totalWith.substitutions,
        totalWith.deletions, totalWith.insertions, totalAudio);

    for (const QString &condition : conditions) {
        const Outcome &a = without.outcomes.at(condition), &b = with.outcomes.at(condition);
        if (a.silentFiles > 0 || b.silentFiles > 0)
            std::printf("no words at all in %s: %d of %zu recordings without front end, %d with\n",
                qPrintable(condition), a.silentFiles, items.size(), b.silentFiles);
    }

    if (verbose) {
        for (const QString &condition : conditions) {
            std::printf("\n== %s\n", qPrintable(condition));
            for (const Item &item : items)
                std::printf("%s\n  ref:     %s\n  without: %s\n  with:    %s\n", qPrintable(item.id),
                    qPrintable(item.reference), qPrintable(without.outcomes.at(condition).hypotheses.at(item.id)),
                    qPrintable(with.outcomes.at(condition).hypotheses.at(item.id)));
        }
    }
    return 0;
}
