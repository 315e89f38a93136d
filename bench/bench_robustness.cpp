// Caption accuracy on degraded sound, for either speech engine or both side by side: every recording of the
// robustness set (bench/make-robustness-corpus, built with the benchmarks) under each condition, through the
// engine the way captions use it (its recognizer, one task per recording, the audio queued as
// sonorel-captions queues a file). Prints, per condition, the word error rate (counted by sclite) and the
// processor time per second of audio; for the minute of music and the minute of noise, the words the engine
// made up; for the Spanish and French sentences, the word error rate in those languages. Then the processor
// time of sonorel-captions --input itself on the clean recordings, model loading included.
//
// With both engines (the default) each runs with the sound front end, as captions ship. With one engine
// (--engine accurate|light) it runs twice, once with the front end and once hearing the sound as it is, and
// the table shows what the front end changes.
//
// Run from a release build: build/release/bench/bench_robustness [--engine accurate|light|both]
//     [--half tune|eval|all] [--suppressor speex|webrtc|none] [--set -name value]... [--conditions clean,...]
//     [--corpus DIR] [--with-only] [--no-tool]
// Tune decoder or front-end settings on the tune half and report on the eval half, so that the figures are
// not the ones the settings were chosen by. BENCH_VERBOSE=1 prints every transcript.
#include "LiveDecode.h"
#include "ScliteScorer.h"
#include "platform/FfmpegAudioDecoder.h"
#include "platform/PocketSphinxEngine.h"
#include "platform/SpeexNoiseSuppressor.h"
#include "platform/WebRtcNoiseSuppressor.h"
#include "platform/WhisperEngine.h"
#include "platform/WhisperModel.h"
#include "settings/AppSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <functional>
#include <map>
#include <vector>

#ifndef SONOREL_ROBUSTNESS_CORPUS
#define SONOREL_ROBUSTNESS_CORPUS ""
#endif
#ifndef SONOREL_CAPTIONS_TOOL
#define SONOREL_CAPTIONS_TOOL "sonorel-captions"
#endif

namespace {

// English speech: the items of a half, each under every condition.
const QStringList speechConditions { QStringLiteral("clean"), QStringLiteral("music10"), QStringLiteral("pink15"),
    QStringLiteral("pink5"), QStringLiteral("babble15"), QStringLiteral("babble5"), QStringLiteral("quiet30"),
    QStringLiteral("clipped12"), QStringLiteral("stretch1.2"), QStringLiteral("fast1.3"), QStringLiteral("late") };
// A minute each with no speech at all: every word is made up.
const QStringList nothingToSay { QStringLiteral("music-alone"), QStringLiteral("noise-alone") };
// Sentences in other languages, decoded in their own language, not halved.
const QStringList otherLanguages { QStringLiteral("es-ES"), QStringLiteral("fr-FR") };

const QString english = QStringLiteral("en-US");
// As much audio as sonorel-captions lets wait for the recognizer when it reads a file.
constexpr std::size_t toolQueueFrames = 2 * SpeechAudioRequest::sampleRate;

struct Item {
    QString id;
    QString reference;
};

// What is decoded under one name: a condition of the English items, a minute with nothing to say, or a language.
struct Set {
    QString name;
    QString locale;
    std::vector<Item> items;
    bool speech = true;
};

// One configuration on one set.
struct Outcome {
    bool supported = true; // false: the engine has no model for the set's language
    WordErrors errors;
    std::map<QString, WordErrors> parts; // the clean set by voice: LibriVox and festival
    int inventedWords = 0; // for a set with nothing to say
    double audioSeconds = 0;
    double cpuSeconds = 0;
    int silentFiles = 0; // the engine wrote no words at all
    std::map<QString, QString> hypotheses;
};

struct Configuration {
    QString engine; // AppSettings::accurateEngine or lightEngine
    bool frontEnd = true;
    QString label;
    std::map<QString, Outcome> outcomes; // by set
};

// Builds an engine as captions build it, with or without the sound front end.
using EngineFactory = std::function<std::shared_ptr<SpeechEngine>(bool frontEnd)>;

void usage()
{
    std::fprintf(stderr,
        "usage: bench_robustness [--engine accurate|light|both] [--half tune|eval|all]\n"
        "                        [--suppressor speex|webrtc|none] [--set -name value]...\n"
        "                        [--conditions %s]\n"
        "                        [--corpus DIR] [--with-only] [--no-tool]\n",
        qPrintable((speechConditions + nothingToSay + otherLanguages).join(QLatin1Char(','))));
}

// The ids of a list in its order, with their reference transcripts.
std::optional<std::vector<Item>> readList(const QString &corpus, const QString &name, QString *error)
{
    QFile list(corpus + QLatin1Char('/') + name + QStringLiteral(".list"));
    QFile trn(corpus + QLatin1Char('/') + name + QStringLiteral(".trn"));
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text) || !trn.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("no %1.list and %1.trn in %2").arg(name, corpus);
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
            *error = QStringLiteral("%1 has no transcript in %2.trn").arg(id, name);
            return std::nullopt;
        }
        items.push_back({ id, reference->second });
    }
    return items;
}

QString recordingPath(const QString &corpus, const Set &set, const Item &item)
{
    return corpus + QLatin1Char('/') + set.name + QLatin1Char('/') + item.id + QStringLiteral(".wav");
}

int wordCount(const QString &text)
{
    const QString words = ScliteScorer::normalise(text);
    return words.isEmpty() ? 0 : int(words.count(QLatin1Char(' ')) + 1);
}

// Which voice an item of the English set has, for the clean set's two rows.
QString voiceOf(const QString &id)
{
    return id.startsWith(QLatin1String("libri-")) ? QStringLiteral("LibriVox") : QStringLiteral("festival");
}

// Decodes every recording of every set with one engine, one recognizer per language kept across files.
bool run(
    Configuration &configuration, const EngineFactory &makeEngine, const QString &corpus, const std::vector<Set> &sets)
{
    const auto engine = makeEngine(configuration.frontEnd);
    std::map<QString, std::shared_ptr<SpeechRecognizer>> recognizers;
    QString error;
    for (const Set &set : sets) {
        Outcome &outcome = configuration.outcomes[set.name];
        auto &recognizer = recognizers[set.locale];
        if (!recognizer) {
            recognizer = engine->recognizer(set.locale);
            if (!recognizer) {
                if (set.locale == english) {
                    std::fprintf(stderr, "the %s engine has no en-US model installed%s\n",
                        qPrintable(configuration.engine),
                        configuration.engine == AppSettings::accurateEngine
                            ? " (scripts/install-whisper-model, or SONOREL_WHISPER_MODEL)"
                            : "");
                    return false;
                }
                outcome.supported = false;
                continue;
            }
            // Warm-up: the model loads in the background on first use; that is not decoding time.
            const auto warmUp
                = FfmpegAudioDecoder::readMonoFloat(recordingPath(corpus, set, set.items.front()), &error);
            if (!warmUp || !liveDecode(*recognizer, *warmUp, &error, toolQueueFrames)) {
                std::fprintf(stderr, "%s, warm-up: %s\n", qPrintable(configuration.label), qPrintable(error));
                return false;
            }
        }
        ScliteScorer transcripts;
        std::map<QString, ScliteScorer> parts;
        for (const Item &item : set.items) {
            const auto samples = FfmpegAudioDecoder::readMonoFloat(recordingPath(corpus, set, item), &error);
            if (!samples) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return false;
            }
            const auto result = liveDecode(*recognizer, *samples, &error, toolQueueFrames);
            if (!result) {
                std::fprintf(stderr, "%s, %s/%s: %s\n", qPrintable(configuration.label), qPrintable(set.name),
                    qPrintable(item.id), qPrintable(error));
                return false;
            }
            outcome.audioSeconds += double(samples->size()) / SpeechAudioRequest::sampleRate;
            outcome.cpuSeconds += result->cpuSeconds;
            outcome.hypotheses[item.id] = result->text;
            if (!set.speech) {
                outcome.inventedWords += wordCount(result->text);
                continue;
            }
            if (wordCount(result->text) == 0)
                ++outcome.silentFiles;
            transcripts.add(item.id, item.reference, result->text);
            if (set.name == QLatin1String("clean"))
                parts[voiceOf(item.id)].add(item.id, item.reference, result->text);
        }
        if (!set.speech)
            continue;
        const auto errors = transcripts.score(&error);
        if (!errors) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(set.name), qPrintable(error));
            return false;
        }
        outcome.errors = *errors;
        for (const auto &[voice, scorer] : parts) {
            const auto partErrors = scorer.score(&error);
            if (!partErrors) {
                std::fprintf(stderr, "%s: %s\n", qPrintable(set.name), qPrintable(error));
                return false;
            }
            outcome.parts[voice] = *partErrors;
        }
    }
    return true;
}

double childCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct ToolRun {
    double cpuSeconds = 0;
    double wallSeconds = 0;
    WordErrors errors;
};

// sonorel-captions --input on one file: its processor time from start to exit, model loading included, and
// its transcript scored against the references read one after the other.
std::optional<ToolRun> runTool(const QString &engine, const QString &input, const QString &reference, QString *error)
{
    const double cpu0 = childCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    QProcess tool;
    tool.start(QStringLiteral(SONOREL_CAPTIONS_TOOL),
        { QStringLiteral("--input"), input, QStringLiteral("--engine"), engine, QStringLiteral("--language"), english,
            QStringLiteral("--format"), QStringLiteral("txt") });
    if (!tool.waitForStarted() || !tool.waitForFinished(30 * 60 * 1000)) {
        tool.kill();
        tool.waitForFinished(5000);
        *error = QStringLiteral("sonorel-captions did not run to the end");
        return std::nullopt;
    }
    ToolRun run;
    run.wallSeconds = double(timer.nsecsElapsed()) * 1e-9;
    run.cpuSeconds = childCpuSeconds() - cpu0;
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        *error = QStringLiteral("sonorel-captions failed: ") + QString::fromLocal8Bit(tool.readAllStandardError());
        return std::nullopt;
    }
    const QString text = QString::fromUtf8(tool.readAllStandardOutput());
    if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
        std::printf("\n== sonorel-captions --engine %s\n%s\n", qPrintable(engine), qPrintable(text.trimmed()));
    ScliteScorer scorer;
    scorer.add(QStringLiteral("tool-clean"), reference, text);
    const auto errors = scorer.score(error);
    if (!errors)
        return std::nullopt;
    run.errors = *errors;
    return run;
}

QString relativeChange(double without, double with)
{
    if (without <= 0)
        return with <= 0 ? QStringLiteral("0%") : QStringLiteral("n/a");
    return QString::asprintf("%+.0f%%", 100.0 * (with - without) / without);
}

QString percentOrDash(const Outcome &outcome)
{
    return outcome.supported ? QString::asprintf("%.1f%%", outcome.errors.percent()) : QStringLiteral("no model");
}

QString ratioOrDash(const Outcome &outcome)
{
    return outcome.supported && outcome.audioSeconds > 0
        ? QString::asprintf("%.3f", outcome.cpuSeconds / outcome.audioSeconds)
        : QStringLiteral("-");
}

} // namespace

int main(int argc, char **argv)
{
    WhisperModel::restartWithSleepingThreads(argv); // as sonorel-captions does: Whisper's threads must sleep
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*=false"));
    const bool verbose = qEnvironmentVariableIsSet("BENCH_VERBOSE");

    QString engineChoice = QStringLiteral("both");
    QString half = QStringLiteral("eval");
    QString suppressor;
    QString corpus = QStringLiteral(SONOREL_ROBUSTNESS_CORPUS);
    QStringList conditions = speechConditions + nothingToSay + otherLanguages;
    QStringList decoderSettings;
    bool withOnly = false;
    bool tool = true;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--engine") && hasValue) {
            engineChoice = args[++i];
        } else if (arg == QLatin1String("--half") && hasValue) {
            half = args[++i];
        } else if (arg == QLatin1String("--suppressor") && hasValue) {
            suppressor = args[++i];
        } else if (arg == QLatin1String("--with-only")) {
            withOnly = true;
        } else if (arg == QLatin1String("--no-tool")) {
            tool = false;
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
    QStringList engines;
    if (engineChoice == QLatin1String("both"))
        engines = { AppSettings::accurateEngine, AppSettings::lightEngine };
    else if (engineChoice == AppSettings::accurateEngine || engineChoice == AppSettings::lightEngine)
        engines = { engineChoice };
    if ((half != QLatin1String("tune") && half != QLatin1String("eval") && half != QLatin1String("all"))
        || conditions.isEmpty() || engines.isEmpty()) {
        usage();
        return 2;
    }
    for (const QString &condition : conditions) {
        if (!(speechConditions + nothingToSay + otherLanguages).contains(condition)) {
            usage();
            return 2;
        }
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
        const auto halfItems = readList(corpus, name, &error);
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

    // In the order of the table, whatever the order asked for.
    std::vector<Set> sets;
    for (const QString &name : speechConditions + nothingToSay + otherLanguages) {
        if (!conditions.contains(name))
            continue;
        if (speechConditions.contains(name)) {
            sets.push_back({ name, english, items, true });
        } else if (nothingToSay.contains(name)) {
            sets.push_back({ name, english, { { QStringLiteral("minute"), QString() } }, false });
        } else {
            const auto languageItems = readList(corpus, name, &error);
            if (!languageItems || languageItems->empty()) {
                std::fprintf(stderr, "%s\n", languageItems ? "no recordings" : qPrintable(error));
                return 1;
            }
            sets.push_back({ name, name, *languageItems, true });
        }
    }

    // A suppressor may carry its strength: speex:-12 (most lowering in dB), webrtc:1 (level 0 to 3). Without
    // one, each engine keeps the front end it ships with (neither suppresses noise now).
    const QString suppressorKind = suppressor.section(QLatin1Char(':'), 0, 0);
    bool strengthOk = true;
    const int strength = suppressor.section(QLatin1Char(':'), 1).toInt(&strengthOk);
    std::optional<NoiseSuppressorFactory> chosenSuppressor;
    if (suppressorKind == QLatin1String("speex"))
        chosenSuppressor = strengthOk ? makeSpeexNoiseSuppressorFactory(strength) : makeSpeexNoiseSuppressorFactory();
    else if (suppressorKind == QLatin1String("webrtc"))
        chosenSuppressor = strengthOk ? makeWebRtcNoiseSuppressorFactory(strength) : makeWebRtcNoiseSuppressorFactory();
    else if (suppressor == QLatin1String("none"))
        chosenSuppressor = NoiseSuppressorFactory();
    else if (!suppressor.isEmpty()) {
        usage();
        return 2;
    }

    // The engines as makeDesktopCaptioningServices makes them for sonorel-captions, less the accurate
    // engine's stand-in: falling back on PocketSphinx would only hide a Whisper model that failed to load,
    // and with the queue kept as short as the tool keeps it the task never falls behind far enough to want it.
    const std::map<QString, EngineFactory> factories {
        { AppSettings::accurateEngine,
            [&](bool frontEnd) -> std::shared_ptr<SpeechEngine> {
                WhisperEngine::Options options;
                options.task.frontEnd = frontEnd;
                if (chosenSuppressor)
                    options.task.noiseSuppressor = *chosenSuppressor;
                return std::make_shared<WhisperEngine>(options);
            } },
        { AppSettings::lightEngine,
            [&](bool frontEnd) -> std::shared_ptr<SpeechEngine> {
                PocketSphinxEngine::Options options;
                options.task.frontEnd = frontEnd;
                if (chosenSuppressor)
                    options.task.noiseSuppressor = *chosenSuppressor;
                options.decoderSettings = decoderSettings;
                return std::make_shared<PocketSphinxEngine>(options);
            } },
    };

    // Both engines: each with the front end, side by side. One engine: with and without it.
    std::vector<Configuration> configurations;
    const bool compareFrontEnd = engines.size() == 1 && !withOnly;
    for (const QString &engine : engines) {
        if (compareFrontEnd)
            configurations.push_back({ engine, false, engine + QStringLiteral(" without front end"), {} });
        configurations.push_back(
            { engine, true, engines.size() == 1 ? engine + QStringLiteral(" with front end") : engine, {} });
    }
    // One configuration after the other, so that only one model is in memory at a time.
    for (Configuration &configuration : configurations) {
        if (!run(configuration, factories.at(configuration.engine), corpus, sets))
            return 1;
    }

    if (withOnly) {
        // Tuning: one figure per condition and engine, for comparing settings quickly.
        for (const Set &set : sets) {
            std::printf("%-11s", qPrintable(set.name));
            for (const Configuration &c : configurations) {
                const Outcome &o = c.outcomes.at(set.name);
                if (!set.speech)
                    std::printf(" %6d words", o.inventedWords);
                else
                    std::printf(" %7s", qPrintable(percentOrDash(o)));
            }
            std::printf("\n");
        }
        std::printf("%-11s", "total");
        for (const Configuration &c : configurations) {
            WordErrors all;
            for (const Set &set : sets) {
                if (set.speech && set.locale == english)
                    all += c.outcomes.at(set.name).errors;
            }
            std::printf(" %6.1f%%", all.percent());
        }
        std::printf("\n");
        return 0;
    }

    const QString halves
        = half == QLatin1String("all") ? QStringLiteral("both halves") : half + QStringLiteral(" half");
    QString suppressorName = QStringLiteral("each engine's default suppressor");
    if (suppressor == QLatin1String("none"))
        suppressorName = QStringLiteral("no noise suppressor");
    else if (!suppressor.isEmpty())
        suppressorName = QStringLiteral("the %1 suppressor").arg(suppressor);
    std::printf("Robustness set, %s: %zu English recordings per condition (the other languages whole); front end "
                "with %s",
        qPrintable(halves), items.size(), qPrintable(suppressorName));
    if (!decoderSettings.isEmpty())
        std::printf("; light decoder %s", qPrintable(decoderSettings.join(QLatin1Char(' '))));
    std::printf("\n\n");

    // Word error rate per configuration, then processor seconds per audio second per configuration.
    std::printf("%-12s %6s", "condition", "words");
    for (const Configuration &c : configurations)
        std::printf(" %*s", int(std::max<qsizetype>(9, c.label.size())), qPrintable(c.label));
    if (compareFrontEnd)
        std::printf(" %8s", "change");
    std::printf("    cpu/audio:");
    for (const Configuration &c : configurations)
        std::printf(" %*s", int(std::max<qsizetype>(9, c.label.size())), qPrintable(c.label));
    std::printf("\n");
    const auto row = [&](const QString &name, int words, const std::function<QString(const Configuration &)> &cell,
                         const std::function<QString(const Configuration &)> &cost, const QString &change) {
        std::printf("%-12s %6s", qPrintable(name), words >= 0 ? qPrintable(QString::number(words)) : "");
        for (const Configuration &c : configurations)
            std::printf(" %*s", int(std::max<qsizetype>(9, c.label.size())), qPrintable(cell(c)));
        if (compareFrontEnd)
            std::printf(" %8s", qPrintable(change));
        std::printf("              ");
        for (const Configuration &c : configurations)
            std::printf(" %*s", int(std::max<qsizetype>(9, c.label.size())), qPrintable(cost(c)));
        std::printf("\n");
    };
    std::map<QString, WordErrors> totals;
    std::map<QString, double> totalAudio, totalCpu;
    for (const Set &set : sets) {
        const auto cost = [&](const Configuration &c) { return ratioOrDash(c.outcomes.at(set.name)); };
        if (!set.speech) {
            row(
                set.name + QStringLiteral("*"), -1,
                [&](const Configuration &c) {
                    return QString::number(c.outcomes.at(set.name).inventedWords) + QStringLiteral(" words");
                },
                cost, QString());
            continue;
        }
        const auto change = [&] {
            const Outcome &a = configurations.front().outcomes.at(set.name),
                          &b = configurations.back().outcomes.at(set.name);
            return a.supported && b.supported ? relativeChange(a.errors.percent(), b.errors.percent()) : QString();
        };
        // The reference words are the same for every configuration that has a model for the language.
        int words = 0;
        for (const Configuration &c : configurations) {
            if (c.outcomes.at(set.name).supported)
                words = c.outcomes.at(set.name).errors.words;
        }
        row(
            set.name, words, [&](const Configuration &c) { return percentOrDash(c.outcomes.at(set.name)); }, cost,
            change());
        if (set.name == QLatin1String("clean")) {
            for (const QString &voice : { QStringLiteral("LibriVox"), QStringLiteral("festival") }) {
                const auto &parts = configurations.back().outcomes.at(set.name).parts;
                if (!parts.count(voice))
                    continue;
                const auto part = [&](const Configuration &c) {
                    return QString::asprintf("%.1f%%", c.outcomes.at(set.name).parts.at(voice).percent());
                };
                const Outcome &a = configurations.front().outcomes.at(set.name),
                              &b = configurations.back().outcomes.at(set.name);
                row(
                    QStringLiteral("  ") + voice, parts.at(voice).words, part,
                    [](const Configuration &) { return QString(); },
                    relativeChange(a.parts.at(voice).percent(), b.parts.at(voice).percent()));
            }
        }
        if (set.locale == english) {
            for (const Configuration &c : configurations) {
                totals[c.label] += c.outcomes.at(set.name).errors;
                totalAudio[c.label] += c.outcomes.at(set.name).audioSeconds;
                totalCpu[c.label] += c.outcomes.at(set.name).cpuSeconds;
            }
        }
    }
    if (!totals.empty()) {
        const auto &any = totals.at(configurations.back().label);
        row(
            QStringLiteral("English"), any.words,
            [&](const Configuration &c) { return QString::asprintf("%.1f%%", totals.at(c.label).percent()); },
            [&](const Configuration &c) {
                return QString::asprintf("%.3f", totalCpu.at(c.label) / totalAudio.at(c.label));
            },
            relativeChange(totals.at(configurations.front().label).percent(), any.percent()));
    }
    std::printf("\nWER by sclite; English: every English condition above together. * a minute with no speech: the "
                "words the engine made up.\ncpu/audio: processor seconds per second of audio, decoding only (the "
                "model loaded beforehand).\n");
    for (const Configuration &c : configurations) {
        if (totals.count(c.label)) {
            const WordErrors &t = totals.at(c.label);
            std::printf("%s errors (sub/del/ins) in English: %d/%d/%d\n", qPrintable(c.label), t.substitutions,
                t.deletions, t.insertions);
        }
    }
    for (const Set &set : sets) {
        for (const Configuration &c : configurations) {
            const Outcome &o = c.outcomes.at(set.name);
            if (set.speech && o.silentFiles > 0)
                std::printf("no words at all in %s from %s: %d of %zu recordings\n", qPrintable(set.name),
                    qPrintable(c.label), o.silentFiles, set.items.size());
        }
    }

    // The tool as a user runs it, on the clean recordings of the half read as one file: what captioning a
    // recording costs, from start to exit, the model's loading included.
    if (tool && conditions.contains(QStringLiteral("clean"))) {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("clean.wav"));
        QStringList soxArgs;
        QStringList references;
        for (const Item &item : items) {
            soxArgs << corpus + QStringLiteral("/clean/") + item.id + QStringLiteral(".wav");
            references << item.reference;
        }
        if (QProcess::execute(QStringLiteral("sox"), soxArgs << input) != 0) {
            std::fprintf(stderr, "sox could not join the clean recordings\n");
            return 1;
        }
        const auto samples = FfmpegAudioDecoder::readMonoFloat(input, &error);
        if (!samples) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        const double seconds = double(samples->size()) / SpeechAudioRequest::sampleRate;
        std::printf("\nsonorel-captions --input on the clean recordings of %s joined (%.0f s of audio), "
                    "model loading included:\n",
            qPrintable(half == QLatin1String("all") ? halves : QStringLiteral("the ") + halves), seconds);
        for (const QString &engine : engines) {
            const auto result = runTool(engine, input, references.join(QLatin1Char(' ')), &error);
            if (!result) {
                std::fprintf(stderr, "sonorel-captions --engine %s: %s\n", qPrintable(engine), qPrintable(error));
                return 1;
            }
            std::printf("  --engine %-8s processor %.3f s per audio second (wall %.3f), WER %.1f%%\n",
                qPrintable(engine), result->cpuSeconds / seconds, result->wallSeconds / seconds,
                result->errors.percent());
        }
    }

    if (verbose) {
        for (const Set &set : sets) {
            std::printf("\n== %s\n", qPrintable(set.name));
            for (const Item &item : set.items) {
                std::printf("%s\n  ref: %s\n", qPrintable(item.id), qPrintable(item.reference));
                for (const Configuration &c : configurations) {
                    const Outcome &o = c.outcomes.at(set.name);
                    if (o.supported)
                        std::printf("  %-*s %s\n", int(c.label.size() + 1), qPrintable(c.label + QLatin1Char(':')),
                            qPrintable(o.hypotheses.at(item.id)));
                }
            }
        }
    }
    return 0;
}
