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

const QString speech
    = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav");

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
const QString noOutput = QStringLiteral("Sonorel found no sound output device to listen to, so captions could not "
                                        "start. Connect or turn on speakers or headphones, then start captions again. "
                                        "(AudioCapture -10)");

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

        auto player = server.play(speech);
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
        QTemporaryDir nowhere;
        auto server = SoundServer::startPrivate(false);
        QVERIFY(server);
        if (!serverRuns)
            qputenv("PULSE_SERVER", QStringLiteral("unix:%1/native").arg(nowhere.path()).toUtf8());
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        const auto error = startAndWait(manager);
        QVERIFY(error);
        QTEST(CaptionViewModel::errorText(*error), "shown");
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
        QTRY_COMPARE_WITH_TIMEOUT(model.errorMessage.get(), shownAtNextStart, 20000);
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
        QTest::newRow("refused") << 6 << refused.left(60) << QStringLiteral("PulseAudio 6: Connection refused");
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

    // One application is heard, whatever else plays; its silence is waited out without an error, and
    // the list of sources follows applications as they come and go.
    void capturesOneApplication()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        const QString talker = tone(440), other = tone(1500);
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received(manager);
        QStringList waiting, failures;
        manager.setOnWaiting([&](const QString &application) { waiting << application; });
        manager.setOnFailure([&](const PlatformError &error) { failures << error.message(); });
        AudioCaptureContent content;
        const auto watch = manager.watchContent([&](const AudioCaptureContent &now) { content = now; });
        manager.setSource(AudioSource::application(QStringLiteral("Talker")));
        QVERIFY(!startAndWait(manager));
        QTRY_COMPARE_WITH_TIMEOUT(waiting, QStringList { QStringLiteral("Talker") }, 20000);

        auto background = server->play(other, { QStringLiteral("--client-name=Other") });
        auto first = server->play(talker, { QStringLiteral("--client-name=Talker") });
        QTRY_COMPARE_WITH_TIMEOUT(waiting.size(), 2, 20000);
        QCOMPARE(waiting.last(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(content.applications.size(), 2, 20000);
        QCOMPARE(content.applications.first().name, QStringLiteral("Other")); // sorted by name
        first->waitForFinished(30000);
        QTRY_COMPARE_WITH_TIMEOUT(waiting.last(), QStringLiteral("Talker"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!content.hasApplication(QStringLiteral("Talker")), 20000);

        // Playing again resumes by itself; two streams of it at once are mixed, and followed to another output.
        int before = received.get(&Received::buffers);
        auto again = server->play(talker, { QStringLiteral("--client-name=Talker") });
        auto second = server->play(talker, { QStringLiteral("--client-name=Talker") });
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

    // A microphone can be switched to while capture runs, and its removal ends capture with its name; a
    // microphone that is missing at the start leaves the whole mix to be captured, and that is told.
    void capturesAnInputDevice()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        QVERIFY(!server->pactl(QStringLiteral("load-module module-null-sink sink_name=room")).isEmpty());
        const QString remap = QStringLiteral("load-module module-remap-source master=room.monitor source_name=mic "
                                             "source_properties=\"device.description='Desk Microphone'\"");
        QVERIFY(!server->pactl(remap).isEmpty());
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received(manager);
        QStringList failures, fallbacks;
        manager.setOnFailure([&](const PlatformError &error) { failures << error.userMessage; });
        manager.setOnFallback([&](const QString &missingInput) { fallbacks << missingInput; });
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
        QVERIFY2(
            failures.first().contains(QStringLiteral("\u201cDesk Microphone\u201d")), qPrintable(failures.first()));
        QVERIFY(!manager.isRunning());
        QCOMPARE(fallbacks, QStringList());
        QVERIFY(!startAndWait(manager));
        QCOMPARE(server->recordingSources(), QStringList { QStringLiteral("sonorel_test_sink.monitor") });
        QCOMPARE(fallbacks, QStringList { QStringLiteral("mic") });
        manager.stop();
        QCOMPARE(fallbacks, QStringList({ QStringLiteral("mic"), QString() }));
    }

    // Any program names itself, and a device's description is anyone's to set. Names with escape codes, a
    // tab or a line break are listed printable; such an application, chosen and stored in the settings,
    // reads back as itself, and is captured.
    void hostileNamesAreListedPrintableAndCanBeChosen()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        QVERIFY(
            !server
                 ->pactl(QStringLiteral("load-module module-remap-source master=sonorel_test_sink.monitor "
                                        "source_name=mic source_properties=\"device.description='Desk\x1b[2J\tMic'\""))
                 .isEmpty());
        const QStringList asGhost { QStringLiteral("--client-name=Ghost\x1b[31m\tapp:Forged\nsystem\u009b") };
        const QString ghost = QStringLiteral("Ghost\u241b[31m\u2409app:Forged\u240asystem\ufffd");
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received(manager);
        AudioCaptureContent content;
        const auto watch = manager.watchContent([&](const AudioCaptureContent &now) { content = now; });
        auto first = server->play(tone(440), asGhost);
        QTRY_VERIFY_WITH_TIMEOUT(!content.applications.isEmpty(), 20000);
        QCOMPARE(content.applications.first().name, ghost);
        QCOMPARE(
            content.inputs, QList<AudioInput>({ { QStringLiteral("mic"), QStringLiteral("Desk\u241b[2J\u2409Mic") } }));

        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("settings.conf"));
        AppSettings(file).setAudioSource(AudioSource::application(ghost));
        const AudioSource stored = AppSettings(file).audioSource();
        QCOMPARE(stored, AudioSource::application(ghost));
        manager.setSource(stored);
        QVERIFY(!startAndWait(manager));
        QVERIFY(first->waitForFinished(30000));
        auto second = server->play(tone(440), asGhost);
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::peak) > 0.1f, 20000);
        QVERIFY(second->waitForFinished(30000));
    }

    // The sound server restarts (it crashed, or was restarted by hand) while one application is captured:
    // the capture waits for the application meanwhile, and hears it again once the server is back and it
    // plays, without an error.
    void applicationCaptureResumesAfterServerRestart()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received(manager);
        QStringList waiting, failures;
        manager.setOnWaiting([&](const QString &application) { waiting << application; });
        manager.setOnFailure([&](const PlatformError &error) { failures << error.message(); });
        manager.setSource(AudioSource::application(QStringLiteral("Ghost")));
        QVERIFY(!startAndWait(manager));
        const QStringList asGhost { QStringLiteral("--client-name=Ghost") };
        auto before = server->play(speech, asGhost);
        QTRY_COMPARE_WITH_TIMEOUT(waiting, QStringList({ QStringLiteral("Ghost"), QString() }), 20000);

        server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(waiting.last(), QStringLiteral("Ghost"), 20000);
        before->waitForFinished(30000);
        QVERIFY(server->restart());
        const int buffers = received.get(&Received::buffers);
        auto after = server->play(tone(440), asGhost);
        QTRY_COMPARE_WITH_TIMEOUT(waiting.last(), QString(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::buffers) > buffers + 20, 20000);
        QVERIFY(after->waitForFinished(30000));
        QVERIFY(manager.isRunning());
        QCOMPARE(failures, QStringList());
        QCOMPARE(received.get(&Received::faults), QStringList());
    }

    // A sound server that goes away and comes back: the watched list is rebuilt from the new one.
    void sourceListSurvivesServerRestart()
    {
        auto first = SoundServer::startPrivate();
        QVERIFY(first);
        PulseAudioCaptureService service;
        AudioCaptureContent content;
        const auto watch = service.watchContent([&](const AudioCaptureContent &now) { content = now; });
        QTRY_COMPARE_WITH_TIMEOUT(content.outputDevices, QStringList { QStringLiteral("sonorel_test_sink") }, 20000);
        first->stop();
        auto second = SoundServer::startPrivate();
        QVERIFY(second);
        QVERIFY(!second->pactl(QStringLiteral("load-module module-null-sink sink_name=after_restart")).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(content.outputDevices.contains(QStringLiteral("after_restart")), 20000);
    }

    // Plugging in headphones makes them the default output: capture moves to their monitor by itself.
    void followsDefaultOutputDevice()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received(manager);
        QVERIFY(!startAndWait(manager));
        QVERIFY(!server->pactl(QStringLiteral("load-module module-null-sink sink_name=headphones")).isEmpty());
        QVERIFY(!server->pactl(QStringLiteral("set-default-sink headphones")).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(
            server->recordingSources(), QStringList { QStringLiteral("headphones.monitor") }, 20000);
        QVERIFY(manager.isRunning());
        QCOMPARE(received.get(&Received::peak), 0.0f);
        auto player = server->play(speech);
        QTRY_VERIFY_WITH_TIMEOUT(received.get(&Received::peak) > 0.01f, 20000);
        player->kill();
        player->waitForFinished();
    }
};

QTEST_GUILESS_MAIN(PulseAudioCaptureTest)
#include "PulseAudioCaptureTest.moc"
