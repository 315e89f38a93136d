#include "SoundServer.h"
#include "captioning/AudioCaptureManager.h"
#include "captioning/CaptionViewModel.h"
#include "captioning/SpeechRecognitionManager.h"
#include "platform/DesktopServices.h"
#include "settings/AppSettings.h"

#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Seconds of captured audio the recognizer has yet to take.
double waiting(CaptionViewModel &model)
{
    return double(model.speech().pendingFrames()) / SpeechAudioRequest::sampleRate;
}

const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox/");
const QString recording = librivox + QStringLiteral("sense_and_sensibility_01_austen_64kb-0870.wav");
const QString reference = QStringLiteral("and mister john dashwood had then leisure to consider how much there might "
                                         "be prudently in his power to do for them");

// Share of the reference words (or of other words said) that the caption holds, so that recognition errors
// are allowed for.
double recall(const QString &caption, const QString &said = reference)
{
    const QRegularExpression between(QStringLiteral("[^a-z']+"));
    const QStringList heard = caption.toLower().split(between);
    const QStringList words = said.toLower().split(between, Qt::SkipEmptyParts);
    return double(std::count_if(words.begin(), words.end(), [&](const QString &w) { return heard.contains(w); }))
        / double(words.size());
}

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
    void init()
    {
        m_settings.setSelectedLanguage(QStringLiteral("en-US"));
        m_settings.setAudioSource(AudioSource::system());
    }

    // What the computer plays becomes caption text, in sentences: most words of a LibriVox recording arrive.
    // The recording waits for the recognizer (see SoundServer::pace), so a busy machine drops none of it.
    void playedSpeechBecomesCaption()
    {
        CaptionViewModel model(makeDesktopCaptioningServices(), m_settings);
        const auto pacer = m_server.pace([&] { return waiting(model); });
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
        auto player = m_server.play(recording);
        QTRY_VERIFY_WITH_TIMEOUT(recall(model.captionText.get()) >= 0.6, 60000);
        // Stopped mid-sentence: the words on screen end the sentence, which the transcript keeps.
        const QString shown = model.captionText.get();
        model.stop();
        QTRY_VERIFY_WITH_TIMEOUT(model.captionText.get().endsWith(u'.'), 30000);
        QVERIFY(model.captionText.get().at(0).isUpper());
        QString kept;
        for (const TimedSentence &sentence : model.transcript().sentences())
            kept += sentence.text + u' ';
        QVERIFY2(recall(kept, shown) >= 0.7, qPrintable(shown + QStringLiteral(" / ") + kept));
        QTRY_VERIFY_WITH_TIMEOUT(m_server.recordingSources().isEmpty(), 20000);
        QCOMPARE(model.errorMessage.get(), QString());
        player->waitForFinished(30000);

        // A language without a model gives the help text.
        m_settings.setSelectedLanguage(QStringLiteral("fr-FR"));
        model.start();
        QTRY_COMPARE_WITH_TIMEOUT(model.errorMessage.get(), CaptionViewModel::siriHelpMessage(), 30000);
        QVERIFY(!model.isRunning.get() && m_server.recordingSources().isEmpty());
    }

    // Captions of one application hold its words only, while another application speaks at the same time.
    void oneApplicationIsCaptioned()
    {
        m_settings.setAudioSource(AudioSource::application(QStringLiteral("Reader")));
        CaptionViewModel model(makeDesktopCaptioningServices(), m_settings);
        const auto pacer = m_server.pace([&] { return waiting(model); });
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(model.waitingText.get(), QStringLiteral("Waiting for Reader\u2026"), 20000);
        auto other = m_server.play(librivox + QStringLiteral("sense_and_sensibility_01_austen_64kb-0890.wav"),
            { QStringLiteral("--client-name=Other") });
        auto reader = m_server.play(recording, { QStringLiteral("--client-name=Reader") });
        QTRY_VERIFY_WITH_TIMEOUT(recall(model.captionText.get()) >= 0.6, 60000);
        other->waitForFinished(30000);
        reader->waitForFinished(30000);
        QTRY_VERIFY_WITH_TIMEOUT(!model.waitingText.get().isEmpty(), 20000);
        // "unless to be rather cold hearted and rather selfish is to be ill disposed"
        const QString caption = model.captionText.get().toLower();
        for (const char *word : { "unless", "rather", "cold", "hearted", "selfish", "disposed" })
            QVERIFY2(!caption.contains(QLatin1String(word)), qPrintable(caption));
        QCOMPARE(model.errorMessage.get(), QString());
        model.stop();
    }

    // Start and stop alternated at random points of the run while speech plays: the state stays
    // consistent, nothing is left running or piles up, and captioning still works afterwards.
    void startStopAlternated()
    {
        CaptionViewModel model(makeDesktopCaptioningServices(), m_settings);
        const QString loop = m_dir.filePath(QStringLiteral("loop.wav"));
        QVERIFY(QProcess::execute(
                    QStringLiteral("sox"), { recording, loop, QStringLiteral("repeat"), QStringLiteral("40") })
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
        QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threads + 1, 30000);
        QVERIFY(!model.isRunning.get());

        const QString before = model.captionText.get();
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(model.isRunning.get(), 30000);
        QCOMPARE(m_server.recordingSources().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!model.captionText.get().isEmpty() && model.captionText.get() != before, 60000);
        model.stop();
        player->kill();
        player->waitForFinished();
    }
};

QTEST_GUILESS_MAIN(CaptioningPipelineTest)
#include "CaptioningPipelineTest.moc"
