#include "RecognitionRun.h"
#include "SoundServer.h"
#include "captioning/AudioCaptureManager.h"
#include "captioning/CaptionViewModel.h"
#include "captioning/SpeechRecognitionManager.h"
#include "platform/DesktopServices.h"
#include "settings/AppSettings.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

} // namespace

class CaptioningPipelineTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    SoundServer m_server;
    AppSettings m_settings { m_dir.filePath(QStringLiteral("settings.conf")) };

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), "run through ctest: the fixture starts the server");
    }

    // The desktop's own services, with speech playing. Start and stop alternated at random points of the run:
    // the state stays consistent, nothing is left running or piles up, and captioning still works afterwards;
    // stopped then, the words on screen end their sentence. (Captions of what plays run end to end through the
    // caption tool's test.)
    void startStopAlternated()
    {
        m_settings.setSelectedLanguage(QStringLiteral("en-US"));
        CaptionViewModel model(makeDesktopCaptioningServices(), m_settings);
        const QString loop = m_dir.filePath(QStringLiteral("loop.wav"));
        QVERIFY(QProcess::execute(QStringLiteral("sox"),
                    { librivoxFile(QStringLiteral("0870")), loop, QStringLiteral("repeat"), QStringLiteral("40") })
            == 0);
        auto player = m_server.play(loop);
        model.start(); // loads the model once
        QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
        model.stop();
        const int threads = threadCount();

        QRandomGenerator random(20261206);
        for (int i = 0; i < 200; ++i) {
            model.start();
            const int when = random.bounded(4);
            for (int turns = when == 1 ? random.bounded(1, 6) : 0; turns > 0; --turns)
                QCoreApplication::processEvents(); // stop somewhere in the run
            if (when == 2) { // a second start overtakes the first
                QCoreApplication::processEvents();
                model.start();
            }
            if (when >= 2)
                QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
            model.stop();
            QVERIFY(!model.isRunning.get());
            QCOMPARE(model.errorMessage.get(), QString());
        }
        // Runs still under way end at their token checks and take down what they started.
        QTRY_VERIFY_WITH_TIMEOUT(!model.audioCapture().isRunning() && m_server.recordingSources().isEmpty(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threads + 1, 60000); // idle pool threads go after 30 s
        QVERIFY(!model.isRunning.get());

        // The recording waits for the recognizer (see SoundServer::pace), so a busy machine drops none of it.
        const auto pacer = m_server.pace([&] { return double(model.speech().pendingFrames()) / 16000; });
        const QString before = model.captionText.get();
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.recordingSources().size(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(
            wordsOf(model.captionText.get()).size() >= 3 && model.captionText.get() != before, 60000);
        model.stop();
        QTRY_VERIFY_WITH_TIMEOUT(model.captionText.get().endsWith(u'.'), 30000);
        QVERIFY(!model.transcript().sentences().empty());
        player->kill();
        player->waitForFinished();
    }
};

QTEST_GUILESS_MAIN(CaptioningPipelineTest)
#include "CaptioningPipelineTest.moc"
