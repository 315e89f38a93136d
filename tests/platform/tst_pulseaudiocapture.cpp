#include "AppSettings.h"
#include "AudioCaptureManager.h"
#include "CaptionViewModel.h"
#include "DesktopPermissionService.h"
#include "FakeSpeechEngine.h"
#include "LogCapture.h"
#include "PulseAudioCaptureService.h"
#include "SoundServer.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <pthread.h>

#include <atomic>
#include <cmath>
#include <mutex>

namespace {

const QString speechSample
    = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav");

// What arrives through onBuffer, recorded on the capture thread.
struct Received {
    std::mutex mutex;
    int buffers = 0;
    std::uint64_t frames = 0;
    std::uint32_t smallest = ~0u;
    std::uint32_t largest = 0;
    bool wrongFormat = false;
    bool onMainThread = false;
    QString threadName;
    float peak = 0.0f;

    AudioCaptureManager::BufferCallback callback(QThread *mainThread)
    {
        return [this, mainThread](const AudioBuffer &buffer) {
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            const float *samples = buffer.floatChannelData(0);
            float bufferPeak = 0.0f;
            for (std::uint32_t i = 0; samples && i < buffer.frameLength(); ++i)
                bufferPeak = std::max(bufferPeak, std::abs(samples[i]));
            std::lock_guard lock(mutex);
            ++buffers;
            frames += buffer.frameLength();
            smallest = std::min(smallest, buffer.frameLength());
            largest = std::max(largest, buffer.frameLength());
            wrongFormat |= !(buffer.format() == AudioFormat::recognizerTarget()) || !buffer.isView();
            onMainThread |= QThread::currentThread() == mainThread;
            threadName = QString::fromUtf8(name);
            peak = std::max(peak, bufferPeak);
        };
    }
    int count()
    {
        std::lock_guard lock(mutex);
        return buffers;
    }
    float loudest()
    {
        std::lock_guard lock(mutex);
        return peak;
    }
};

using StartResult = std::optional<std::optional<PlatformError>>;

// Starts and waits for the completion, which must come on the main thread.
StartResult startAndWait(AudioCaptureManager &manager)
{
    auto result = std::make_shared<StartResult>();
    manager.start([result](std::optional<PlatformError> error) {
        Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
        *result = error;
    });
    (void)QTest::qWaitFor([&] { return result->has_value(); }, 20000);
    return *result;
}

} // namespace

class TestPulseAudioCapture final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.Audio.debug=false"));
        m_sharedAddress = qEnvironmentVariable("PULSE_SERVER");
        QVERIFY2(!m_sharedAddress.isEmpty(), "run through ctest: the sound-server fixture sets PULSE_SERVER");
        QVERIFY(!SoundServer().pactl({ QStringLiteral("info") }).isEmpty());
    }
    void init() { qputenv("PULSE_SERVER", m_sharedAddress.toUtf8()); }

    void buffersArriveOnCaptureThread()
    {
        SoundServer server;
        LogCapture log;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received;
        manager.setOnBuffer(received.callback(QThread::currentThread()));

        const StartResult result = startAndWait(manager);
        QVERIFY(result.has_value());
        QVERIFY2(!*result, qPrintable((*result) ? (*result)->fullDescription() : QString()));
        QVERIFY(manager.isRunning());
        QVERIFY(log.contains(QStringLiteral("Audio: Start capture requested")));
        QVERIFY(log.contains(QStringLiteral("Audio: Audio capture started")));
        QCOMPARE(server.recordingSources(), QStringList { QStringLiteral("sonorel_test_sink.monitor") });

        auto player = server.play(speechSample);
        QTRY_VERIFY_WITH_TIMEOUT(received.loudest() > 0.01f, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(received.count() >= 20, 20000);
        player->waitForFinished(30000);
        {
            std::lock_guard lock(received.mutex);
            QVERIFY(!received.wrongFormat);
            QVERIFY(!received.onMainThread);
            QCOMPARE(received.threadName, QStringLiteral("system.audio.ca")); // the kernel keeps 15 bytes
            // Fragments of a few tens of milliseconds, never whole seconds.
            QVERIFY2(received.largest <= 16000 / 5, qPrintable(QString::number(received.largest)));
            QVERIFY(received.smallest >= 1);
        }

        manager.stop();
        QVERIFY(!manager.isRunning());
        QVERIFY(log.contains(QStringLiteral("Audio: Audio capture stopped")));
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().isEmpty(), 20000);
        // Nothing is delivered once the stream has stopped.
        const int afterStop = received.count();
        QTest::qWait(200);
        QCOMPARE(received.count(), afterStop);
    }

    void startWhileRunningAndStopWhileStopped()
    {
        SoundServer server;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        {
            LogCapture log;
            manager.stop();
            QVERIFY(log.lines().isEmpty());
        }
        QVERIFY(startAndWait(manager) == StartResult(std::optional<PlatformError>()));
        {
            LogCapture log;
            bool completed = false;
            manager.start([&](std::optional<PlatformError> error) { completed = !error; });
            QVERIFY(completed); // at once
            QVERIFY(log.lines().isEmpty());
        }
        QCOMPARE(server.recordingSources().size(), 1);
        manager.stop();
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().isEmpty(), 20000);
    }

    // Two starts before the first completes share one stream.
    void overlappingStartsShareOneStream()
    {
        SoundServer server;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        int completions = 0;
        manager.start([&](std::optional<PlatformError> error) { completions += error ? 100 : 1; });
        manager.start([&](std::optional<PlatformError> error) { completions += error ? 100 : 1; });
        QTRY_COMPARE_WITH_TIMEOUT(completions, 2, 20000);
        QCOMPARE(server.recordingSources().size(), 1);
        manager.stop();
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().isEmpty(), 20000);
    }

    // The late stop of the old stream leaves the new one alone.
    void stopThenStartAtOnce()
    {
        SoundServer server;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received;
        manager.setOnBuffer(received.callback(QThread::currentThread()));
        QVERIFY(startAndWait(manager) == StartResult(std::optional<PlatformError>()));
        for (int i = 0; i < 5; ++i) {
            manager.stop();
            QVERIFY(startAndWait(manager) == StartResult(std::optional<PlatformError>()));
            QVERIFY(manager.isRunning());
        }
        QTRY_COMPARE_WITH_TIMEOUT(server.recordingSources().size(), 1, 20000);
        const int before = received.count();
        QTRY_VERIFY_WITH_TIMEOUT(received.count() > before + 5, 20000);
        manager.stop();
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().isEmpty(), 20000);
    }

    void noOutputDevice()
    {
        auto server = SoundServer::startPrivate(false);
        QVERIFY(server);
        server->makeCurrent();
        LogCapture log;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        const StartResult result = startAndWait(manager);
        QVERIFY(result && *result);
        QCOMPARE((*result)->domain, QStringLiteral("AudioCapture"));
        QCOMPARE((*result)->code, -10);
        QVERIFY(log.contains(QStringLiteral("Audio: No displays available for capture")));
        QVERIFY(!manager.isRunning());

        // A sink that appears later is found by the next start.
        QVERIFY(!server
                     ->pactl({ QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                         QStringLiteral("sink_name=late_sink") })
                     .isEmpty());
        QVERIFY(startAndWait(manager) == StartResult(std::optional<PlatformError>()));
        QCOMPARE(server->recordingSources(), QStringList { QStringLiteral("late_sink.monitor") });
        manager.stop();
    }

    void serverUnreachable()
    {
        QTemporaryDir nowhere;
        qputenv("PULSE_SERVER", QStringLiteral("unix:%1/native").arg(nowhere.path()).toUtf8());
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        const StartResult result = startAndWait(manager);
        QVERIFY(result && *result);
        QCOMPARE((*result)->domain, QStringLiteral("PulseAudio"));
        QVERIFY((*result)->code > 0);
        QVERIFY(!(*result)->localizedDescription.isEmpty());
        QVERIFY(!manager.isRunning());
    }

    // The server goes away, or the captured device is removed, while capturing: the owner hears of it.
    void streamFailsAfterStart_data()
    {
        QTest::addColumn<bool>("killServer");
        QTest::newRow("server killed") << true;
        QTest::newRow("device removed") << false;
    }
    void streamFailsAfterStart()
    {
        QFETCH(bool, killServer);
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        server->makeCurrent();
        LogCapture log;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        std::optional<PlatformError> failure;
        bool failureOnMain = false;
        manager.setOnFailure([&](const PlatformError &error) {
            failure = error;
            failureOnMain = QThread::currentThread() == QCoreApplication::instance()->thread();
        });
        QVERIFY(startAndWait(manager) == StartResult(std::optional<PlatformError>()));
        if (killServer)
            server->stop();
        else
            QVERIFY(!server->pactl({ QStringLiteral("unload-module"), QStringLiteral("module-null-sink") }).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(failure.has_value(), 20000);
        QVERIFY(failureOnMain);
        QCOMPARE(failure->domain, QStringLiteral("PulseAudio"));
        QVERIFY(!manager.isRunning());
        QVERIFY(log.contains(QStringLiteral("Audio: Audio capture failed ") + failure->message()));

        // Starting again reports why it cannot run.
        const StartResult again = startAndWait(manager);
        QVERIFY(again && *again);
        QCOMPARE((*again)->code, killServer ? (*again)->code : -10);
    }

    // The controller on the real capture: a server killed mid-session ends it with the error shown.
    void controllerShowsServerLoss()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        server->makeCurrent();
        QTemporaryDir dir;
        AppSettings settings(dir.filePath(QStringLiteral("settings.conf")));
        settings.setSelectedLanguage(QStringLiteral("en-US"));
        auto engine = std::make_shared<FakeSpeechEngine>();
        engine->setLocale(QStringLiteral("en-US"));
        CaptionViewModel model(CaptioningServices { std::make_shared<DesktopPermissionService>(),
                                   std::make_shared<PulseAudioCaptureService>(), engine },
            settings);
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 20000);
        // Audio flows into the recognition request.
        QTRY_VERIFY_WITH_TIMEOUT(engine->lastTask() && engine->lastTask()->request->appendedFrames() > 1600, 20000);
        server->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning.get(), 20000);
        QVERIFY2(model.errorMessage.get().startsWith(QStringLiteral("Error Domain=PulseAudio Code=")),
            qPrintable(model.errorMessage.get()));
        QVERIFY(engine->lastTask()->isCancelled());
    }

    // Plugging in headphones makes them the default output: capture moves to their monitor by itself.
    void followsDefaultOutputDevice()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        server->makeCurrent();
        LogCapture log;
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Received received;
        manager.setOnBuffer(received.callback(QThread::currentThread()));
        QVERIFY(startAndWait(manager) == StartResult(std::optional<PlatformError>()));
        QCOMPARE(server->recordingSources(), QStringList { QStringLiteral("sonorel_test_sink.monitor") });

        QVERIFY(!server
                     ->pactl({ QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                         QStringLiteral("sink_name=headphones") })
                     .isEmpty());
        QVERIFY(!server->pactl({ QStringLiteral("set-default-sink"), QStringLiteral("headphones") }).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(
            server->recordingSources(), QStringList { QStringLiteral("headphones.monitor") }, 20000);
        QVERIFY(manager.isRunning());
        // What plays on the new device is what arrives.
        const float before = received.loudest();
        QCOMPARE(before, 0.0f);
        auto player = server->play(speechSample);
        QTRY_VERIFY_WITH_TIMEOUT(received.loudest() > 0.01f, 20000);
        player->kill();
        player->waitForFinished();
        manager.stop();
    }

private:
    QString m_sharedAddress;
};

QTEST_GUILESS_MAIN(TestPulseAudioCapture)
#include "tst_pulseaudiocapture.moc"
