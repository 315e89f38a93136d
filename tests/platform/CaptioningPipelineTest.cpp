#include "RecognitionRun.h"
#include "SoundServer.h"
#include "captioning/AudioCaptureManager.h"
#include "captioning/CaptionViewModel.h"
#include "platform/DesktopServices.h"
#include "settings/AppSettings.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

class CaptioningPipelineTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    SoundServer m_server;
    AppSettings m_settings { m_dir.filePath(u"settings.conf"_s) };

private Q_SLOTS:
    // The desktop's services with speech playing, start and stop alternated at random points: the state stays
    // consistent, nothing is left running or piles up, captions still come, and end their sentence at a stop.
    void startStopAlternated()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), "run through ctest: the fixture starts the server");
        const auto threadCount
            = [] { return QDir(u"/proc/self/task"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); };
        m_settings.setSelectedLanguage(u"en-US"_s);
        CaptionViewModel model(makeDesktopCaptioningServices(), m_settings);
        const QString loop = m_dir.filePath(u"loop.wav"_s);
        QVERIFY(QProcess::execute(u"sox"_s, { librivoxFile(u"0870"_s), loop, u"repeat"_s, u"40"_s }) == 0);
        auto player = m_server.play(loop);
        model.start(); // loads the model once
        QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
        model.stop();
        const auto threads = threadCount();

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

        const QString before = model.captionText.get();
        model.start();
        QTRY_COMPARE_WITH_TIMEOUT(m_server.recordingSources().size(), 1, 30000);
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
