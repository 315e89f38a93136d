#include "AppSettings.h"
#include "AudioCaptureManager.h"
#include "CaptionViewModel.h"
#include "DesktopServices.h"
#include "SoundServer.h"
#include "SpeechRecognitionManager.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox");

// The reference words of one LibriVox recording, from the transcript shipped with it.
QStringList referenceWords(const QString &id)
{
    QFile file(librivox + QStringLiteral("/transcription"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (!line.contains(QStringLiteral("(%1)").arg(id)))
            continue;
        QString text = line.section(QLatin1Char('('), 0, 0);
        text.remove(QStringLiteral("<s>")).remove(QStringLiteral("</s>"));
        return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    return {};
}

// Share of the reference words that the caption holds (order aside), so that recognition errors are
// allowed for.
double recall(const QStringList &reference, const QString &caption)
{
    const QStringList heard
        = caption.toLower().split(QRegularExpression(QStringLiteral("[^a-z']+")), Qt::SkipEmptyParts);
    int found = 0;
    for (const QString &word : reference)
        found += heard.contains(word) ? 1 : 0;
    return reference.isEmpty() ? 0.0 : double(found) / double(reference.size());
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

} // namespace

class TestCaptioningPipeline final : public QObject
{
    Q_OBJECT

    struct Session {
        QTemporaryDir dir;
        std::unique_ptr<AppSettings> settings;
        std::unique_ptr<CaptionViewModel> model;
        Session()
        {
            settings = std::make_unique<AppSettings>(dir.filePath(QStringLiteral("settings.conf")));
            settings->setSelectedLanguage(QStringLiteral("en-US"));
            model = std::make_unique<CaptionViewModel>(makeDesktopCaptioningServices(), *settings);
        }
    };

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), "run through ctest: the fixture starts the server");
        QVERIFY(QFile::exists(librivox + QStringLiteral("/transcription")));
    }

    // What the computer plays becomes caption text: most words of a LibriVox sentence arrive.
    void playedSpeechBecomesCaption()
    {
        SoundServer server;
        Session session;
        session.model->start();
        QTRY_VERIFY_WITH_TIMEOUT(session.model->isRunning.get(), 30000);
        QCOMPARE(session.model->errorMessage.get(), QString());

        const QString id = QStringLiteral("sense_and_sensibility_01_austen_64kb-0870");
        const QStringList reference = referenceWords(id);
        QCOMPARE(reference.size(), 22);
        auto player = server.play(librivox + QStringLiteral("/%1.wav").arg(id));
        QTRY_VERIFY_WITH_TIMEOUT(recall(reference, session.model->captionText.get()) >= 0.6, 60000);
        player->waitForFinished(30000);
        // Sentences come out with a capital and a full stop.
        QTRY_VERIFY_WITH_TIMEOUT(session.model->captionText.get().endsWith(QLatin1Char('.')), 30000);
        qInfo("caption: %s", qPrintable(session.model->captionText.get()));

        session.model->stop();
        QVERIFY(!session.model->isRunning.get());
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().isEmpty(), 20000);
        QCOMPARE(session.model->errorMessage.get(), QString());
    }

    // Start and stop in quick alternation, at random points of the run, while speech plays: the state
    // stays consistent, nothing is left running, and captioning still works afterwards.
    void startStopAlternated()
    {
        SoundServer server;
        Session session;
        CaptionViewModel &model = *session.model;
        QStringList files;
        for (const char *id : { "0870", "0880", "0890", "0920", "0930" })
            files << librivox + QStringLiteral("/sense_and_sensibility_01_austen_64kb-%1.wav").arg(QLatin1String(id));
        SoundServer::Loop loop(server, files);

        // Warm up: the model is loaded once and kept.
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
        model.stop();
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().isEmpty(), 20000);
        const int baselineThreads = threadCount();

        QRandomGenerator random(20261206);
        for (int i = 0; i < 200; ++i) {
            model.start();
            switch (random.bounded(4)) {
            case 0: // stop before the run has begun
                break;
            case 1: // stop somewhere in the run
                for (int turns = random.bounded(1, 6); turns > 0; --turns)
                    QCoreApplication::processEvents();
                break;
            case 2: // a second start overtakes the first
                QCoreApplication::processEvents();
                model.start();
                QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
                break;
            default: // stop a running session
                QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
                break;
            }
            model.stop();
            QVERIFY(!model.isRunning.get());
            QCOMPARE(model.errorMessage.get(), QString());
        }

        // Runs still under way end at their token checks and take down what they started.
        QTRY_VERIFY_WITH_TIMEOUT(!model.audioCapture().isRunning(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().isEmpty(), 30000);
        QVERIFY(!model.isRunning.get());
        QCOMPARE(model.errorMessage.get(), QString());
        // Worker threads of cancelled tasks end; nothing piles up.
        QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= baselineThreads + 1, 30000);

        // And captions still flow.
        const QString before = model.captionText.get();
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
        QCOMPARE(server.recordingSources().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!model.captionText.get().isEmpty() && model.captionText.get() != before, 60000);
        model.stop();
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().isEmpty(), 20000);
    }
};

QTEST_GUILESS_MAIN(TestCaptioningPipeline)
#include "tst_captioningpipeline.moc"
