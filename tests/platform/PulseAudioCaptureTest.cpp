#include "FakeSpeechEngine.h"
#include "SoundServer.h"
#include "captioning/AudioCaptureManager.h"
#include "captioning/CaptionViewModel.h"
#include "platform/DesktopPermissionService.h"
#include "platform/PulseAudioCaptureService.h"
#include "settings/AppSettings.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <pthread.h>

#include <cmath>
#include <mutex>
#include <vector>

namespace {

// What arrives through onBuffer on the capture thread.
struct Received {
    std::mutex mutex;
    int buffers = 0;
    std::uint32_t largest = 0;
    float peak = 0;
    QStringList faults; // wrong format, copied, wrong thread
    std::vector<float> samples;

    explicit Received(AudioCaptureManager &manager)
    {
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
    void resetPeak()
    {
        std::lock_guard lock(mutex);
        peak = 0;
    }
    template <typename T> T get(T Received::*field)
    {
        std::lock_guard lock(mutex);
        return this->*field;
    }
};

// What the user is told when a start or a session fails, as the controller words it.
const QString refused = QStringLiteral("Sonorel could not connect to the sound server, so captions could not start. "
                                       "Check that PulseAudio or PipeWire is running, then start captions again. "
                                       "(PulseAudio 6: Connection refused)");
const QString noOutput = QStringLiteral("(AudioCapture -10)");

// Starts and waits for the completion: no error, or the error.
std::optional<PlatformError> startAndWait(AudioCaptureManager &manager)
{
    std::optional<std::optional<PlatformError>> result;
    manager.start([&](std::optional<PlatformError> error) { result = error; });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 20000))
        return PlatformError { QStringLiteral("Test"), 0, QStringLiteral("no completion") };
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
        const QString file = m_tones.filePath(QStringLiteral("%1.wav").arg(hertz));
        if (!QFile::exists(file))
            QProcess::execute(QStringLiteral("sox"),
                { QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("16000"), file, QStringLiteral("synth"),
                    QStringLiteral("3"), QStringLiteral("sine"), QString::number(hertz), QStringLiteral("vol"),
                    QStringLiteral("0.5") });
        return file;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(!m_shared.isEmpty(), "run through ctest: the sound-server fixture sets it"); }
    void init() { qputenv("PULSE_SERVER", m_shared.toUtf8()); }

    // Played audio arrives in small float buffers on the capture thread, wrapped without copying, and
    // stops with the stream. (Overlapping starts and stops run through the pipeline test.)
    void capturesWhatPlays()
    {
        SoundServer server;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received(manager);
        QVERIFY(!startAndWait(manager));
        QTRY_COMPARE_WITH_TIMEOUT(
            server.recordingSources(), QStringList { QStringLiteral("sonorel_test_sink.monitor") }, 20000);

        auto player = server.play(tone(440));
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::peak) > 0.01f, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::buffers) >= 20, 20000);
        QCOMPARE(received.get(&Received::faults), QStringList());
        QVERIFY(received.get(&Received::largest) <= 16000 / 5); // tens of milliseconds, not seconds

        manager.stop();
        QVERIFY(!manager.isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().isEmpty(), 20000);
        const int afterStop = received.get(&Received::buffers);
        player->waitForFinished(30000);
        QCOMPARE(received.get(&Received::buffers), afterStop);
    }

    void startFails_data()
    {
        QTest::addColumn<bool>("serverRuns");
        QTest::addColumn<QString>("shown");
        QTest::newRow("no output device") << true << noOutput;
        QTest::newRow("server unreachable") << false << refused;
    }
    void startFails()
    {
        QFETCH(bool, serverRuns);
        QFETCH(QString, shown);
        auto server = serverRuns ? SoundServer::startPrivate(false) : nullptr;
        QVERIFY(server || !serverRuns);
        if (!serverRuns)
            qputenv("PULSE_SERVER", (QStringLiteral("unix:") + m_tones.filePath(QStringLiteral("native"))).toUtf8());
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        const auto error = startAndWait(manager);
        QVERIFY(error);
        QVERIFY2(CaptionViewModel::errorText(*error).endsWith(shown), qPrintable(CaptionViewModel::errorText(*error)));
        QVERIFY(!manager.isRunning());
        if (!serverRuns)
            return;
        // A sink that appears later is found by the next start.
        QVERIFY(!server->pactl(QStringLiteral("load-module module-null-sink sink_name=late_sink")).isEmpty());
        QVERIFY(!startAndWait(manager));
        QCOMPARE(server->recordingSources(), QStringList { QStringLiteral("late_sink.monitor") });
    }

    // The server killed, or the captured device removed, during a session: the controller notices on its
    // own thread, stops, and shows the error; the next start says why it cannot run.
    void sessionEndsWhenTheStreamFails_data()
    {
        QTest::addColumn<bool>("killServer");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("shownAtNextStart");
        QTest::newRow("server killed") << true
                                       << QStringLiteral("Sonorel lost its connection to the sound server, so captions "
                                                         "stopped. Start captions again when sound is playing. "
                                                         "(PulseAudio 11: Connection terminated)")
                                       << refused;
        QTest::newRow("device removed") << false
                                        << QStringLiteral(
                                               "The sound output that Sonorel was listening to went away, so "
                                               "captions stopped. Start captions again to listen to the "
                                               "current output. (PulseAudio 12: Entity killed)")
                                        << noOutput;
    }
    void sessionEndsWhenTheStreamFails()
    {
        QFETCH(bool, killServer);
        QFETCH(QString, shownAtNextStart);
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        QTemporaryDir dir;
        AppSettings settings(dir.filePath(QStringLiteral("settings.conf")));
        settings.setSelectedLanguage(QStringLiteral("en-US"));
        auto engine = std::make_shared<FakeSpeechEngine>();
        engine->setLocale(QStringLiteral("en-US"));
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
            QVERIFY(!server->pactl(QStringLiteral("unload-module module-null-sink")).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning.get(), 20000);
        QTEST(model.errorMessage.get(), "shown");
        QVERIFY(engine->lastTask()->isCancelled());
        QVERIFY(!model.audioCapture().isRunning());
        QVERIFY(!offMainThread);
        model.dismissError();
        model.start();
        QTRY_VERIFY2_WITH_TIMEOUT(
            model.errorMessage.get().endsWith(shownAtNextStart), qPrintable(model.errorMessage.get()), 20000);
    }

    // The failures a desktop meets are explained; any other, and one for which libpulse recorded no cause,
    // gets the general text, and never reads "OK".
    void errorTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("advice"); // the start of the plain words; empty: the general text
        QTest::addColumn<QString>("detail");
        QTest::newRow("access") << 1 << QStringLiteral("The sound server did not let Sonorel listen")
                                << QStringLiteral("PulseAudio 1: Access denied");
        QTest::newRow("no monitor source") << 5 << QStringLiteral("Sonorel could not find the sound output")
                                           << QStringLiteral("PulseAudio 5: No such entity");
        QTest::newRow("timeout") << 8 << QStringLiteral("The sound server did not answer in time")
                                 << QStringLiteral("PulseAudio 8: Timeout");
        QTest::newRow("no cause recorded") << 0 << QString() << QStringLiteral("PulseAudio 20: Unknown error code");
        QTest::newRow("other") << 3 << QString() << QStringLiteral("PulseAudio 3: Invalid argument");
        QTest::newRow("beyond libpulse's table") << 999 << QString() << QStringLiteral("PulseAudio 999");
    }
    void errorTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, advice);
        QFETCH(QString, detail);
        const QString shown = CaptionViewModel::errorText(PulseAudioCaptureService::error(code));
        QVERIFY2(shown.startsWith(advice.isEmpty() ? CaptionViewModel::unexpectedErrorMessage() : advice),
            qPrintable(shown));
        QVERIFY2(shown.endsWith(QStringLiteral(". (") + detail + u')'), qPrintable(shown));
    }

    // One application is heard, whatever else plays; its silence is waited out without an error, and the list
    // of sources follows applications as they come and go. Any program names itself: a name with escape codes,
    // a tab or a line break is listed printable, and, chosen and stored in the settings, reads back as itself.
    void capturesOneApplication()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        const QString talker = tone(440), other = tone(1500);
        const QStringList asGhost { QStringLiteral("--client-name=Ghost\x1b[31m\tapp:Forged\nsystem\u009b") };
        const QString ghost = QStringLiteral("Ghost\u241b[31m\u2409app:Forged\u240asystem\ufffd");
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received(manager);
        QStringList waiting, failures;
        manager.setOnWaiting([&](const QString &application) { waiting << application; });
        manager.setOnFailure([&](const PlatformError &error) { failures << error.message(); });
        AudioCaptureContent content;
        const auto watch = manager.watchContent([&](const AudioCaptureContent &now) { content = now; });
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("settings.conf"));
        AppSettings(file).setAudioSource(AudioSource::application(ghost));
        QCOMPARE(AppSettings(file).audioSource(), AudioSource::application(ghost));
        manager.setSource(AppSettings(file).audioSource());
        QVERIFY(!startAndWait(manager));
        QTRY_COMPARE_WITH_TIMEOUT(waiting, QStringList { ghost }, 20000);

        auto background = server->play(other, { QStringLiteral("--client-name=Other") });
        auto first = server->play(talker, asGhost);
        QTRY_COMPARE_WITH_TIMEOUT(waiting.size(), 2, 20000);
        QCOMPARE(waiting.last(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(content.applications.size(), 2, 20000);
        QCOMPARE(content.applications.first().name, ghost); // sorted by name, though it came second
        first->waitForFinished(30000);
        QTRY_COMPARE_WITH_TIMEOUT(waiting.last(), ghost, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!content.hasApplication(ghost), 20000);

        // Playing again resumes by itself; two streams of it at once are mixed, and followed to another output.
        int before = received.get(&Received::buffers);
        auto again = server->play(talker, asGhost);
        auto second = server->play(talker, asGhost);
        QTRY_COMPARE_WITH_TIMEOUT(waiting.last(), QString(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::buffers) > before + 20, 20000);
        QVERIFY(!server->pactl(QStringLiteral("load-module module-null-sink sink_name=headphones")).isEmpty());
        for (const QString &line :
            server->pactl(QStringLiteral("list short sink-inputs")).split(u'\n', Qt::SkipEmptyParts)) {
            if (line.contains(u'\t'))
                server->pactl(QStringLiteral("move-sink-input %1 headphones").arg(line.section(u'\t', 0, 0)));
        }
        QTRY_VERIFY_WITH_TIMEOUT(server->recordingSources().contains(QStringLiteral("headphones.monitor")), 20000);
        before = received.get(&Received::buffers);
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::buffers) > before + 10, 20000);
        again->waitForFinished(30000);
        second->waitForFinished(30000);
        QVERIFY(manager.isRunning());
        QCOMPARE(failures, QStringList());
        QCOMPARE(received.get(&Received::faults), QStringList());
        QVERIFY2(received.strength(440) > 1000 * received.strength(1500),
            qPrintable(QStringLiteral("%1 vs %2").arg(received.strength(440)).arg(received.strength(1500))));
        background->kill();
        background->waitForFinished();
    }

    // A microphone, whose description is anyone's to set and is listed printable, can be switched to while
    // capture runs, and its removal ends capture with its name; a microphone that is missing at the start
    // leaves the whole mix to be captured, and that is told. The mix follows the default output device.
    void capturesAnInputDevice()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        QVERIFY(!server->pactl(QStringLiteral("load-module module-null-sink sink_name=room")).isEmpty());
        const QString remap = QStringLiteral("load-module module-remap-source master=room.monitor source_name=mic "
                                             "source_properties=\"device.description='Desk\x1b[2J\tMic'\"");
        QVERIFY(!server->pactl(remap).isEmpty());
        const QString printable = QStringLiteral("Desk\u241b[2J\u2409Mic");
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received(manager);
        QStringList failures, fallbacks;
        manager.setOnFailure([&](const PlatformError &error) { failures << error.userMessage; });
        manager.setOnFallback([&](const QString &missingInput) { fallbacks << missingInput; });
        AudioCaptureContent content;
        const auto watch = manager.watchContent([&](const AudioCaptureContent &now) { content = now; });
        QTRY_COMPARE_WITH_TIMEOUT(content.inputs, QList<AudioInput>({ { QStringLiteral("mic"), printable } }), 20000);
        QVERIFY(!startAndWait(manager));
        manager.setSource(AudioSource::input(QStringLiteral("mic")));
        // The remapping module records its master itself.
        QTRY_COMPARE_WITH_TIMEOUT(
            server->recordingSources(), QStringList({ QStringLiteral("room.monitor"), QStringLiteral("mic") }), 20000);
        QVERIFY(manager.isRunning());
        auto player = server->play(tone(440), { QStringLiteral("-d"), QStringLiteral("room") });
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::peak) > 0.1f, 20000);
        player->waitForFinished(30000);

        QVERIFY(!server->pactl(QStringLiteral("unload-module module-remap-source")).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 1, 20000);
        QVERIFY2(failures.first().contains(u'\u201c' + printable + u'\u201d'), qPrintable(failures.first()));
        QVERIFY(!manager.isRunning());
        QCOMPARE(fallbacks, QStringList());
        QVERIFY(!startAndWait(manager));
        QCOMPARE(server->recordingSources(), QStringList { QStringLiteral("sonorel_test_sink.monitor") });
        QCOMPARE(fallbacks, QStringList { QStringLiteral("mic") });

        // Headphones plugged in become the default output: capture moves to their monitor by itself.
        received.resetPeak();
        QVERIFY(!server->pactl(QStringLiteral("set-default-sink room")).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(server->recordingSources(), QStringList { QStringLiteral("room.monitor") }, 20000);
        QVERIFY(manager.isRunning());
        QCOMPARE(received.get(&Received::peak), 0.0f);
        player = server->play(tone(440), { QStringLiteral("-d"), QStringLiteral("room") });
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::peak) > 0.1f, 20000);
        player->kill();
        player->waitForFinished();
        manager.stop();
        QCOMPARE(fallbacks, QStringList({ QStringLiteral("mic"), QString() }));
    }

    // The sound server restarts (it crashed, or was restarted by hand) while one application is captured:
    // the capture waits for the application meanwhile, and hears it again once the server is back and it
    // plays, without an error; the list of sources is rebuilt from the new server.
    void applicationCaptureResumesAfterServerRestart()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received(manager);
        QStringList waiting, failures;
        manager.setOnWaiting([&](const QString &application) { waiting << application; });
        manager.setOnFailure([&](const PlatformError &error) { failures << error.message(); });
        AudioCaptureContent content;
        const auto watch = manager.watchContent([&](const AudioCaptureContent &now) { content = now; });
        manager.setSource(AudioSource::application(QStringLiteral("Ghost")));
        QVERIFY(!startAndWait(manager));
        QTRY_COMPARE_WITH_TIMEOUT(content.outputDevices, QStringList { QStringLiteral("sonorel_test_sink") }, 20000);
        const QStringList asGhost { QStringLiteral("--client-name=Ghost") };
        auto before = server->play(tone(440), asGhost);
        QTRY_COMPARE_WITH_TIMEOUT(waiting, QStringList({ QStringLiteral("Ghost"), QString() }), 20000);

        server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(waiting.last(), QStringLiteral("Ghost"), 20000);
        before->waitForFinished(30000);
        QVERIFY(server->restart());
        QVERIFY(!server->pactl(QStringLiteral("load-module module-null-sink sink_name=after_restart")).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(content.outputDevices.contains(QStringLiteral("after_restart")), 20000);
        const int buffers = received.get(&Received::buffers);
        auto after = server->play(tone(440), asGhost);
        QTRY_COMPARE_WITH_TIMEOUT(waiting.last(), QString(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::buffers) > buffers + 20, 20000);
        after->kill();
        after->waitForFinished();
        QVERIFY(manager.isRunning());
        QCOMPARE(failures, QStringList());
        QCOMPARE(received.get(&Received::faults), QStringList());
    }
};

QTEST_GUILESS_MAIN(PulseAudioCaptureTest)
#include "PulseAudioCaptureTest.moc"
