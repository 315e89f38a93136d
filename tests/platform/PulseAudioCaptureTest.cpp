#include "FakeSpeechEngine.h"
#include "SoundServer.h"
#include "captioning/AudioCaptureManager.h"
#include "captioning/CaptionViewModel.h"
#include "platform/DesktopPermissionService.h"
#include "platform/PulseAudioCaptureService.h"
#include "settings/AppSettings.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <pthread.h>

#include <cmath>
#include <mutex>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// What arrives through onBuffer on the capture thread.
struct Received {
    std::mutex mutex;
    int buffers = 0;
    std::uint32_t largest = 0;
    float peak = 0;
    QStringList faults; // wrong format, copied, wrong thread
    std::vector<float> samples;

    // Reported on the main thread: the applications waited for, failures, fallbacks, and what there is to hear.
    QStringList waiting, failures, fallbacks;
    AudioCaptureContent content;
    std::shared_ptr<void> watch;

    explicit Received(AudioCaptureManager &manager)
    {
        manager.setOnWaiting([this](const QString &application) { waiting << application; });
        manager.setOnFailure([this](const PlatformError &error) { failures << error.userMessage; });
        manager.setOnFallback([this](const QString &missingInput) { fallbacks << missingInput; });
        watch = manager.watchContent([this](const AudioCaptureContent &now) { content = now; });
        manager.setOnBuffer([this](const AudioBuffer &buffer) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            std::lock_guard lock(mutex);
            if (!(buffer.format() == AudioFormat::recognizerTarget()) || !buffer.isView()
                || qstrcmp(name, "system.audio.ca") != 0) // the kernel keeps 15 bytes of the name
                faults << QString::fromUtf8(name);
            ++buffers;
            largest = std::max(largest, buffer.frameLength());
            for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
                peak = std::max(peak, std::abs(buffer.floatChannelData(0)[i]));
                samples.push_back(buffer.floatChannelData(0)[i]);
            }
        });
    }
    // The strength of `hertz` in everything received (Goertzel), for telling two tones apart.
    double strength(double hertz)
    {
        std::lock_guard lock(mutex);
        const double k = 2 * std::cos(2 * M_PI * hertz / 16000);
        double s1 = 0, s2 = 0;
        for (const float x : samples) {
            const double s0 = x + k * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        return (s1 * s1 + s2 * s2 - k * s1 * s2) / std::max<std::size_t>(1, samples.size());
    }
    template <typename T> T get(T Received::*field)
    {
        std::lock_guard lock(mutex);
        return this->*field;
    }
};

// What the user is told when a start or a session fails (patterns of the controller's words).
const QString refused = u"could not connect to the sound server.*\\(PulseAudio 6: Connection refused\\)$"_s;
const QString noOutput = u"\\(AudioCapture -10\\)$"_s;
bool shows(const QString &text, const QString &pattern)
{
    return QRegularExpression(pattern).match(text).hasMatch();
}

// Starts and waits for the completion: no error, or the error.
std::optional<PlatformError> startAndWait(AudioCaptureManager &manager)
{
    std::optional<std::optional<PlatformError>> result;
    manager.start([&](std::optional<PlatformError> error) { result = error; });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 20000))
        return PlatformError { u"Test"_s, 0, u"no completion"_s };
    return *result;
}

} // namespace

class PulseAudioCaptureTest final : public QObject
{
    Q_OBJECT

    QString m_shared = qEnvironmentVariable("PULSE_SERVER");

    QTemporaryDir m_tones;
    // A three-second sine tone, made once.
    QString tone(int hertz)
    {
        const QString file = m_tones.filePath(u"%1.wav"_s.arg(hertz));
        if (!QFile::exists(file))
            QProcess::execute(u"sox"_s, u"-n -r 16000 %1 synth 3 sine %2 vol 0.5"_s.arg(file).arg(hertz).split(u' '));
        return file;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(!m_shared.isEmpty(), "run through ctest: the sound-server fixture sets it"); }
    void init() { qputenv("PULSE_SERVER", m_shared.toUtf8()); }

    // A start with no server or no output device fails and says why; a device added later is found next time.
    void startFails()
    {
        QTemporaryDir nowhere;
        qputenv("PULSE_SERVER", u"unix:%1/native"_s.arg(nowhere.path()).toUtf8());
        AudioCaptureManager unreachable(std::make_shared<PulseAudioCaptureService>());
        auto error = startAndWait(unreachable);
        QVERIFY(error && shows(CaptionViewModel::errorText(*error), refused));
        auto server = SoundServer::startPrivate(false);
        QVERIFY(server);
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        error = startAndWait(manager);
        QVERIFY2(error && shows(CaptionViewModel::errorText(*error), noOutput),
            qPrintable(error ? CaptionViewModel::errorText(*error) : QString()));
        QVERIFY(!manager.isRunning());
        QVERIFY(!server->pactl(u"load-module module-null-sink sink_name=late_sink"_s).isEmpty());
        QVERIFY(!startAndWait(manager));
        QCOMPARE(server->recordingSources(), QStringList { u"late_sink.monitor"_s });
    }

    // The server killed or the device removed during a session: the controller stops, on its own thread, and
    // shows the error; the next start says why it cannot run.
    void sessionEndsWhenTheStreamFails_data()
    {
        QTest::addColumn<bool>("killServer");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("shownAtNextStart");
        QTest::newRow("server killed") << true << u"lost its connection.*\\(PulseAudio 11: Connection terminated\\)$"_s
                                       << refused;
        QTest::newRow("device removed") << false << u"went away.*\\(PulseAudio 12: Entity killed\\)$"_s << noOutput;
    }
    void sessionEndsWhenTheStreamFails()
    {
        QFETCH(bool, killServer);
        QFETCH(QString, shownAtNextStart);
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        QTemporaryDir dir;
        AppSettings settings(dir.filePath(u"settings.conf"_s));
        settings.setSelectedLanguage(u"en-US"_s);
        auto engine = std::make_shared<FakeSpeechEngine>();
        engine->setLocale(u"en-US"_s);
        CaptionViewModel model(CaptioningServices { std::make_shared<DesktopPermissionService>(),
                                   std::make_shared<PulseAudioCaptureService>(), engine },
            settings);
        bool offMainThread = false;
        auto watch
            = model.isRunning.subscribe([&](bool) { offMainThread |= QThread::currentThread() != qApp->thread(); });
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(engine->lastTask() && engine->lastTask()->request->appendedFrames() > 1600, 20000);
        if (killServer)
            server->stop();
        else
            QVERIFY(!server->pactl(u"unload-module module-null-sink"_s).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning.get(), 20000);
        QFETCH(QString, shown);
        QVERIFY2(shows(model.errorMessage.get(), shown), qPrintable(model.errorMessage.get()));
        QVERIFY(engine->lastTask()->isCancelled());
        QVERIFY(!model.audioCapture().isRunning());
        QVERIFY(!offMainThread);
        model.dismissError();
        model.start();
        QTRY_VERIFY2_WITH_TIMEOUT(
            shows(model.errorMessage.get(), shownAtNextStart), qPrintable(model.errorMessage.get()), 20000);
    }

    // One application is heard, whatever else plays; its silence, and a server restart, are waited out without
    // an error. A hostile name is listed printable and reads back from the settings as itself.
    void capturesOneApplication()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        const QString talker = tone(440), other = tone(1500);
        const QStringList asGhost { u"--client-name=Ghost\x1b[31m\tapp:Forged\nsystem\u009b"_s };
        const QString ghost = u"Ghost\u241b[31m\u2409app:Forged\u240asystem\ufffd"_s;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received r(manager);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"settings.conf"_s);
        AppSettings(file).setAudioSource(AudioSource::application(ghost));
        QCOMPARE(AppSettings(file).audioSource(), AudioSource::application(ghost));
        manager.setSource(AppSettings(file).audioSource());
        QVERIFY(!startAndWait(manager));
        QTRY_COMPARE_WITH_TIMEOUT(r.waiting, QStringList { ghost }, 20000);

        auto background = server->play(other, { u"--client-name=Other"_s });
        auto first = server->play(talker, asGhost);
        QTRY_COMPARE_WITH_TIMEOUT(r.waiting, QStringList({ ghost, QString() }), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(r.content.applications.size(), 2, 20000);
        QCOMPARE(r.content.applications.first().name, ghost); // sorted by name, though it came second
        first->waitForFinished(30000);
        QTRY_COMPARE_WITH_TIMEOUT(r.waiting.last(), ghost, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!r.content.hasApplication(ghost), 20000);

        // Playing again resumes by itself; two streams of it at once are mixed, and followed to another output.
        int before = r.get(&Received::buffers);
        auto again = server->play(talker, asGhost), second = server->play(talker, asGhost);
        QTRY_COMPARE_WITH_TIMEOUT(r.waiting.last(), QString(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(r.get(&Received::buffers) > before + 20, 20000);
        QVERIFY(!server->pactl(u"load-module module-null-sink sink_name=headphones"_s).isEmpty());
        for (const QString &line : server->pactl(u"list short sink-inputs"_s).split(u'\n', Qt::SkipEmptyParts))
            if (line.contains(u'\t'))
                server->pactl(u"move-sink-input %1 headphones"_s.arg(line.section(u'\t', 0, 0)));
        QTRY_VERIFY_WITH_TIMEOUT(server->recordingSources().contains(u"headphones.monitor"_s), 20000);
        before = r.get(&Received::buffers);
        QTRY_VERIFY_WITH_TIMEOUT(r.get(&Received::buffers) > before + 10, 20000);
        background->kill();
        background->waitForFinished();
        QVERIFY2(r.strength(440) > 1000 * r.strength(1500),
            qPrintable(u"%1 vs %2"_s.arg(r.strength(440)).arg(r.strength(1500))));

        server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(r.waiting.last(), ghost, 20000);
        again->waitForFinished(30000);
        second->waitForFinished(30000);
        QVERIFY(server->restart());
        QVERIFY(!server->pactl(u"load-module module-null-sink sink_name=after_restart"_s).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(r.content.outputDevices.contains(u"after_restart"_s), 20000); // the list is rebuilt
        before = r.get(&Received::buffers);
        auto after = server->play(talker, asGhost);
        QTRY_COMPARE_WITH_TIMEOUT(r.waiting.last(), QString(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(r.get(&Received::buffers) > before + 20, 20000);
        after->kill();
        after->waitForFinished();
        QVERIFY(manager.isRunning());
        QCOMPARE(r.failures, QStringList());
        QCOMPARE(r.get(&Received::faults), QStringList());
        QVERIFY(r.get(&Received::largest) <= 16000 / 5); // buffers of tens of milliseconds, not seconds
    }

    // A microphone (its description listed printable) is switched to while capture runs; its removal ends
    // capture, naming it; missing at the start, the whole mix is captured, following the default output.
    void capturesAnInputDevice()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        QVERIFY(!server->pactl(u"load-module module-null-sink sink_name=room"_s).isEmpty());
        QVERIFY(
            !server
                 ->pactl(
                     u"load-module module-remap-source master=room.monitor source_name=mic source_properties=\"device.description='Desk\x1b[2J\tMic'\""_s)
                 .isEmpty());
        const QString printable = u"Desk\u241b[2J\u2409Mic"_s;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received r(manager);
        QTRY_COMPARE_WITH_TIMEOUT(r.content.inputs, QList<AudioInput>({ { u"mic"_s, printable } }), 20000);
        QVERIFY(!startAndWait(manager));
        manager.setSource(AudioSource::input(u"mic"_s));
        // The remapping module records its master itself.
        QTRY_COMPARE_WITH_TIMEOUT(server->recordingSources(), QStringList({ u"room.monitor"_s, u"mic"_s }), 20000);
        const auto playIntoRoom = [&] {
            auto player = server->play(tone(440), { u"-d"_s, u"room"_s });
            QTRY_VERIFY_WITH_TIMEOUT(r.get(&Received::peak) > 0.1f, 20000);
            player->kill();
            player->waitForFinished();
        };
        playIntoRoom();

        QVERIFY(!server->pactl(u"unload-module module-remap-source"_s).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(r.failures.size(), 1, 20000);
        QVERIFY2(r.failures.first().contains(u'\u201c' + printable + u'\u201d'), qPrintable(r.failures.first()));
        QVERIFY(!manager.isRunning() && r.fallbacks.isEmpty());
        QVERIFY(!startAndWait(manager));
        QCOMPARE(server->recordingSources(), QStringList { u"sonorel_test_sink.monitor"_s });
        QCOMPARE(r.fallbacks, QStringList { u"mic"_s });

        // Headphones plugged in become the default output: capture moves to their monitor by itself.
        std::lock_guard(r.mutex), r.peak = 0;
        QVERIFY(!server->pactl(u"set-default-sink room"_s).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(server->recordingSources(), QStringList { u"room.monitor"_s }, 20000);
        QVERIFY(manager.isRunning());
        QCOMPARE(r.get(&Received::peak), 0.0f);
        playIntoRoom();
        manager.stop();
        QCOMPARE(r.fallbacks, QStringList({ u"mic"_s, QString() }));
    }
};

QTEST_GUILESS_MAIN(PulseAudioCaptureTest)
#include "PulseAudioCaptureTest.moc"
