// How long the GUI thread stalls when the language or the engine changes while captions run. Twelve
// switches, in turn: the language to en-GB, the engine to light (PocketSphinx: Debian's en-us model, also
// offered as en-GB through a second folder), the language to en-US, the engine back to accurate (Whisper),
// each while a LibriVox recording is being captioned; a 1 ms timer on the GUI thread measures the longest
// gap between its ticks. The target is 16 ms: one frame.
//
// Run from a release build: build/release/bench/bench_language_switch
#include "captioning/SpeechRecognitionManager.h"
#include "platform/FfmpegAudioDecoder.h"
#include "captioning/SpeechEngineChooser.h"
#include "platform/PocketSphinxEngine.h"
#include "platform/WhisperEngine.h"
#include "platform/WhisperModel.h"
#include "settings/AppSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const QString debianModel = QStringLiteral("/usr/share/pocketsphinx/model/en-us");
const QString recording
    = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
constexpr int switches = 12;
constexpr int switchIntervalMs = 1500;

} // namespace

int main(int argc, char **argv)
{
    WhisperModel::restartWithSleepingThreads(argv);
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*=false"));
    QTemporaryDir root;
    QString error;
    const auto samples = FfmpegAudioDecoder::readMonoFloat(recording, &error);
    if (!root.isValid() || !samples || samples->empty()
        || !QFile::link(debianModel, root.filePath(QStringLiteral("en-us")))
        || !QFile::link(debianModel, root.filePath(QStringLiteral("en-gb")))) {
        std::fprintf(stderr, "bench_language_switch: cannot set up the two models: %s\n", qPrintable(error));
        return 1;
    }
    PocketSphinxEngine::Options options;
    options.modelRoots = { root.path() };
    AppSettings settings(root.filePath(QStringLiteral("settings.conf")));
    auto engine = std::make_shared<SpeechEngineChooser>(std::make_shared<WhisperEngine>(WhisperEngine::Options {}),
        std::make_shared<PocketSphinxEngine>(options), [&settings] { return settings.recognitionEngine(); });
    settings.setSelectedLanguage(QStringLiteral("en-US"));
    SpeechRecognitionManager speech(engine, settings);
    if (const auto failed = speech.start()) {
        std::fprintf(stderr, "bench_language_switch: %s\n", qPrintable(failed->message()));
        return 1;
    }

    // Audio arrives in real time on a thread of its own, as capture delivers it.
    std::atomic<bool> feeding = true;
    std::thread feeder([&] {
        const AudioFormat format = AudioFormat::recognizerTarget();
        std::size_t at = 0;
        while (feeding) {
            std::vector<float> block(320);
            for (float &s : block) {
                s = (*samples)[at];
                at = (at + 1) % samples->size();
            }
            speech.append(AudioBuffer::view(format, { block.data() }, std::uint32_t(block.size())));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    // The GUI thread's responsiveness: the longest time between two ticks of a 1 ms timer.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0;
    qint64 longestStall = 0;
    std::vector<qint64> stallPerSwitch(switches, 0);
    int switched = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastTick > 0) {
            const qint64 gap = now - lastTick;
            longestStall = std::max(longestStall, gap);
            if (switched > 0)
                stallPerSwitch[switched - 1] = std::max(stallPerSwitch[switched - 1], gap);
        }
        lastTick = now;
    });
    probe.start();

    QTimer switcher;
    switcher.setInterval(switchIntervalMs);
    QObject::connect(&switcher, &QTimer::timeout, [&] {
        if (switched == switches) {
            switcher.stop();
            QTimer::singleShot(switchIntervalMs, &app, &QCoreApplication::quit);
            return;
        }
        switch (switched % 4) {
        case 0:
            settings.setSelectedLanguage(QStringLiteral("en-GB"));
            break;
        case 1:
            settings.setRecognitionEngine(AppSettings::lightEngine);
            break;
        case 2:
            settings.setSelectedLanguage(QStringLiteral("en-US"));
            break;
        default:
            settings.setRecognitionEngine(AppSettings::accurateEngine);
        }
        ++switched;
    });
    // The first model is loaded and decoding before the switching begins.
    QTimer::singleShot(3000, [&] {
        longestStall = 0;
        switcher.start();
    });
    app.exec();
    feeding = false;
    feeder.join();
    speech.stop();

    std::printf("language and engine switches while captioning: %d\n", switches);
    std::printf("longest GUI-thread stall: %.1f ms (target 16 ms)\n", double(longestStall) / 1e6);
    std::printf("per switch (ms):");
    for (qint64 stall : stallPerSwitch)
        std::printf(" %.1f", double(stall) / 1e6);
    std::printf("\ndecoding at the end: %s\n", speech.latestText.get().isEmpty() ? "no text" : "text arriving");
    return 0;
}
