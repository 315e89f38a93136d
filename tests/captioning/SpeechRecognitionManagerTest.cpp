#include "SpeechRecognitionManager.h"
#include "AppSettings.h"
#include "FakeSpeechEngine.h"

#include <QLoggingCategory>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cmath>

namespace {

struct LogLine {
    QString category;
    QtMsgType type;
    QString text;
};

QMutex logMutex;
QList<LogLine> logLines;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QMutexLocker lock(&logMutex);
    logLines.append({ QString::fromUtf8(context.category ? context.category : ""), type, text });
}

QStringList speechLines(QtMsgType type)
{
    QMutexLocker lock(&logMutex);
    QStringList out;
    for (const auto &l : logLines) {
        if (l.category == QLatin1String("com.ambrite.sonorel.Speech") && l.type == type)
            out << l.text;
    }
    return out;
}

QStringList allSpeechLines()
{
    QMutexLocker lock(&logMutex);
    QStringList out;
    for (const auto &l : logLines) {
        if (l.category == QLatin1String("com.ambrite.sonorel.Speech"))
            out << l.text;
    }
    return out;
}

void clearLog()
{
    QMutexLocker lock(&logMutex);
    logLines.clear();
}

// A non-interleaved float buffer of `frames` frames per channel, each channel a ramp.
struct OwnedSamples {
    std::vector<std::vector<float>> channels;
    AudioBuffer view(double rate) const
    {
        std::vector<const void *> planes;
        for (const auto &c : channels)
            planes.push_back(c.data());
        return AudioBuffer::view(AudioFormat::standard(rate, std::uint32_t(channels.size())), planes,
            std::uint32_t(channels.front().size()));
    }
};

OwnedSamples ramp(std::uint32_t channels, std::uint32_t frames)
{
    OwnedSamples s;
    for (std::uint32_t c = 0; c < channels; ++c) {
        std::vector<float> plane(frames);
        for (std::uint32_t i = 0; i < frames; ++i)
            plane[i] = float(std::sin(0.05 * i)) * 0.5f;
        s.channels.push_back(std::move(plane));
    }
    return s;
}

} // namespace

class SpeechRecognitionManagerTest final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<AppSettings> m_settings;
    std::shared_ptr<FakeSpeechEngine> m_engine;
    std::unique_ptr<SpeechRecognitionManager> m_manager;
    int m_settingsFiles = 0;

    // A manager on fresh settings with en-US and fr-FR present; the construction's own log is dropped.
    void makeManager(const QString &language = QStringLiteral("en-US"))
    {
        m_manager.reset();
        m_settings = std::make_unique<AppSettings>(m_dir.filePath(QStringLiteral("s%1.conf").arg(++m_settingsFiles)));
        m_settings->setSelectedLanguage(language);
        m_engine = std::make_shared<FakeSpeechEngine>();
        m_engine->setLocale(QStringLiteral("en-US"));
        m_engine->setLocale(QStringLiteral("fr-FR"));
        m_engine->setLocale(QStringLiteral("de-DE"), FakeSpeechEngine::Presence::unavailable);
        m_manager = std::make_unique<SpeechRecognitionManager>(m_engine, *m_settings);
        clearLog();
    }

    // Lets the deferred settings handler run.
    static void settle() { QCoreApplication::processEvents(); }

private Q_SLOTS:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*.debug=true"));
        qInstallMessageHandler(collect);
    }

    void cleanup()
    {
        m_manager.reset();
        settle();
    }

    void constructionSetsUpTheSelectedLanguageAndLogs()
    {
        m_settings = std::make_unique<AppSettings>(m_dir.filePath(QStringLiteral("construct.conf")));
        m_engine = std::make_shared<FakeSpeechEngine>();
        m_engine->setLocale(QStringLiteral("en-US"));
        clearLog();
        m_manager = std::make_unique<SpeechRecognitionManager>(m_engine, *m_settings);
        QVERIFY(m_manager->recognizer());
        QCOMPARE(m_manager->recognizer()->localeIdentifier(), QStringLiteral("en-US"));
        QCOMPARE(allSpeechLines(),
            (QStringList { QStringLiteral("Setting up recognizer for locale en-US"),
                QStringLiteral("Locale changed from none to en-US"), QStringLiteral("Stopping recognition"),
                QStringLiteral("Speech manager init") }));
        QVERIFY(m_manager->latestError.get().isEmpty());
    }

    void startWhileRunningChangesNothing()
    {
        makeManager();
        QVERIFY(!m_manager->start());
        QCOMPARE(m_engine->taskCount(), 1);
        clearLog();
        QVERIFY(!m_manager->start());
        QCOMPARE(m_engine->taskCount(), 1);
        QCOMPARE(m_engine->lastTask()->cancelCount.load(), 0);
        QCOMPARE(allSpeechLines(), QStringList { QStringLiteral("Start ignored, task already running") });
        QCOMPARE(speechLines(QtDebugMsg), allSpeechLines());
    }

    void startFailures_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("no recognizer") << QStringLiteral("xx-XX") << -1
                                       << QStringLiteral("Speech recognizer not available for selected language")
                                       << QStringLiteral("Recognizer unavailable for selected language");
        QTest::newRow("recognizer offline")
            << QStringLiteral("de-DE") << -2 << QStringLiteral("Speech recognizer not available")
            << QStringLiteral("Recognizer not available, status offline");
    }

    void startFailures()
    {
        QFETCH(QString, language);
        QFETCH(int, code);
        makeManager(language);
        for (int attempt = 0; attempt < 2; ++attempt) {
            clearLog();
            const auto error = m_manager->start();
            QVERIFY(error);
            QCOMPARE(error->domain, QStringLiteral("Speech"));
            QCOMPARE(error->code, code);
            QTEST(error->localizedDescription, "description");
            QFETCH(QString, logLine);
            QCOMPARE(speechLines(QtCriticalMsg), QStringList { logLine });
            // The second start runs the whole sequence again.
            QVERIFY(allSpeechLines().contains(QStringLiteral("Setting up recognizer for locale %1").arg(language)));
        }
        QCOMPARE(m_engine->taskCount(), 0);
        // The request stays in place: buffers are still taken, not ignored.
        clearLog();
        const auto samples = ramp(1, 160);
        m_manager->append(samples.view(16000));
        QVERIFY(!allSpeechLines().contains(QStringLiteral("Append ignored, no active request")));
    }

    void stopWhenIdleStillResets()
    {
        makeManager();
        m_manager->latestError = QStringLiteral("old error");
        m_manager->latestText = QStringLiteral("kept text");
        m_manager->stop();
        QCOMPARE(allSpeechLines(), QStringList { QStringLiteral("Stopping recognition") });
        QVERIFY(m_manager->latestError.get().isEmpty());
        QCOMPARE(m_manager->latestText.get(), QStringLiteral("kept text"));
        QVERIFY(m_manager->recognizer());
    }

    void stopEndsAudioAndCancelsTheTask()
    {
        makeManager();
        QVERIFY(!m_manager->start());
        const auto task = m_engine->lastTask();
        QVERIFY(task->request->requiresOnDeviceRecognition);
        QVERIFY(task->request->shouldReportPartialResults);
        m_manager->stop();
        QVERIFY(task->request->isAudioEnded());
        QCOMPARE(task->cancelCount.load(), 1);
        clearLog();
        const auto samples = ramp(1, 160);
        m_manager->append(samples.view(16000));
        QCOMPARE(allSpeechLines(), QStringList { QStringLiteral("Append ignored, no active request") });
        QCOMPARE(task->request->appendedFrames(), 0u);
    }

    void oneErrorIsSwallowedAfterStop()
    {
        makeManager();
        QVERIFY(!m_manager->start());
        const auto task = m_engine->lastTask();
        m_manager->stop();
        clearLog();
        task->deliverError(QStringLiteral("cancelled"));
        settle();
        QVERIFY(m_manager->latestError.get().isEmpty());
        QVERIFY(speechLines(QtCriticalMsg).isEmpty());

        task->deliverError(QStringLiteral("second failure"));
        QTRY_COMPARE_WITH_TIMEOUT(m_manager->latestError.get(), QStringLiteral("second failure"), 5000);
        QCOMPARE(speechLines(QtCriticalMsg), QStringList { QStringLiteral("Recognition error second failure") });
    }

    void startWithdrawsAPendingSwallow()
    {
        makeManager();
        m_manager->stop();
        QVERIFY(!m_manager->start());
        m_engine->lastTask()->deliverError(QStringLiteral("network down"));
        QTRY_COMPARE_WITH_TIMEOUT(m_manager->latestError.get(), QStringLiteral("network down"), 5000);
    }

    void resultAndErrorInOneCallbackPublishTextFirst()
    {
        makeManager();
        QVERIFY(!m_manager->start());
        QStringList order;
        Cancellables subs;
        subs.push_back(
            m_manager->latestText.subscribe([&](const QString &t) { order << QStringLiteral("text:") + t; }));
        subs.push_back(
            m_manager->latestError.subscribe([&](const QString &e) { order << QStringLiteral("error:") + e; }));
        order.clear();
        m_engine->lastTask()->deliver(QStringLiteral("Hello there."), QStringLiteral("boom"));
        QTRY_COMPARE_WITH_TIMEOUT(order.size(), 2, 5000);
        QCOMPARE(order, (QStringList { QStringLiteral("text:Hello there."), QStringLiteral("error:boom") }));
        QVERIFY(allSpeechLines().contains(QStringLiteral("Recognition update chars 12")));
    }

    void resultsAreAssignedOnTheMainThreadOnly()
    {
        makeManager();
        QVERIFY(!m_manager->start());
        QThread *assignedOn = nullptr;
        auto sub = m_manager->latestText.subscribe([&](const QString &) { assignedOn = QThread::currentThread(); });
        assignedOn = nullptr;
        m_engine->lastTask()->deliverText(QStringLiteral("x"));
        QCOMPARE(assignedOn, nullptr); // posted, not assigned on the worker
        QTRY_COMPARE_WITH_TIMEOUT(m_manager->latestText.get(), QStringLiteral("x"), 5000);
        QCOMPARE(assignedOn, QThread::currentThread());
    }

    void lateResultsAfterDestructionAreDropped()
    {
        makeManager();
        QVERIFY(!m_manager->start());
        const auto task = m_engine->lastTask();
        m_manager.reset();
        task->deliver(QStringLiteral("late"), QStringLiteral("late error"));
        settle(); // the posted assignments find no manager and do nothing
        QVERIFY(task->request);
    }

    void appendIsIgnoredBeforeStart()
    {
        makeManager();
        const auto samples = ramp(1, 320);
        m_manager->append(samples.view(16000));
        QCOMPARE(allSpeechLines(), QStringList { QStringLiteral("Append ignored, no active request") });
    }

    void targetFormatIsAppendedUnchangedAsACopy()
    {
        makeManager();
        QVERIFY(!m_manager->start());
        clearLog();
        auto samples = ramp(1, 480);
        m_manager->append(samples.view(16000));
        const std::vector<float> original = samples.channels[0];
        std::fill(samples.channels[0].begin(), samples.channels[0].end(), 9.0f); // the lender reuses its memory
        QVERIFY(allSpeechLines().isEmpty());
        std::vector<float> queued;
        m_engine->lastTask()->request->take(queued, 10000, std::chrono::milliseconds(0));
        QCOMPARE(queued, original);
    }

    void convertedCapacity_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("expected");
        QTest::newRow("48 kHz x 1024") << 48000.0 << 1 << 1024 << 341;
        QTest::newRow("48 kHz x 960 stereo") << 48000.0 << 2 << 960 << 320;
        QTest::newRow("24 kHz x 512") << 24000.0 << 1 << 512 << 341;
        QTest::newRow("16 kHz stereo") << 16000.0 << 2 << 256 << 256;
    }

    void convertedCapacity()
    {
        QFETCH(double, rate);
        QFETCH(int, channels);
        QFETCH(int, frames);
        QFETCH(int, expected);
        makeManager();
        QVERIFY(!m_manager->start());
        clearLog();
        const auto samples = ramp(std::uint32_t(channels), std::uint32_t(frames));
        m_manager->append(samples.view(rate));
        QCOMPARE(m_engine->lastTask()->request->appendedFrames(), std::uint64_t(expected));
        QCOMPARE(allSpeechLines(), QStringList { QStringLiteral("Appended converted buffer frames %1").arg(expected) });
    }

    void unconvertibleBuffersAreDroppedWithAnError_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<QString>("line");
        QTest::newRow("rate zero") << 0.0 << 1 << QStringLiteral("Failed to allocate output buffer");
        QTest::newRow("tiny rate") << 1e-9 << 1 << QStringLiteral("Failed to allocate output buffer");
        QTest::newRow("no channels") << 48000.0 << 0 << QStringLiteral("Converter unavailable for buffer format");
    }

    void unconvertibleBuffersAreDroppedWithAnError()
    {
        QFETCH(double, rate);
        QFETCH(int, channels);
        makeManager();
        QVERIFY(!m_manager->start());
        clearLog();
        const std::vector<float> plane(1024, 0.25f);
        std::vector<const void *> planes;
        for (int c = 0; c < channels; ++c)
            planes.push_back(plane.data());
        m_manager->append(AudioBuffer::view(
            AudioFormat::standard(rate, std::uint32_t(channels)), planes, std::uint32_t(plane.size())));
        QTEST(speechLines(QtCriticalMsg).value(0), "line");
        QCOMPARE(m_engine->lastTask()->request->appendedFrames(), 0u);
        // The next buffer is processed normally.
        const auto good = ramp(1, 1024);
        m_manager->append(good.view(48000));
        QCOMPARE(m_engine->lastTask()->request->appendedFrames(), 341u);
    }

    void otherSettingChangeKeepsTheTask_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("font size") << 0;
        QTest::newRow("opacity") << 1;
        QTest::newRow("dark mode") << 2;
    }

    void otherSettingChangeKeepsTheTask()
    {
        QFETCH(int, which);
        makeManager();
        QVERIFY(!m_manager->start());
        const auto recognizerBefore = m_manager->recognizer();
        const auto task = m_engine->lastTask();
        clearLog();
        if (which == 0)
            m_settings->setFontSize(30);
        else if (which == 1)
            m_settings->setBackgroundOpacity(0.2);
        else
            m_settings->setDarkMode(false);
        QTRY_VERIFY_WITH_TIMEOUT(
            allSpeechLines().contains(QStringLiteral("Settings changed, reconfiguring recognizer")), 5000);
        QVERIFY(m_manager->recognizer() != recognizerBefore);
        QCOMPARE(m_manager->recognizer()->localeIdentifier(), QStringLiteral("en-US"));
        QCOMPARE(m_engine->taskCount(), 1);
        QCOMPARE(task->cancelCount.load(), 0);
        QVERIFY(!allSpeechLines().contains(QStringLiteral("Stopping recognition")));
        QVERIFY(!m_manager->start()); // still running
        QCOMPARE(m_engine->taskCount(), 1);
    }

    void languageChangeWhileRunningRestartsInTheNewLanguage()
    {
        makeManager();
        QVERIFY(!m_manager->start());
        const auto oldTask = m_engine->lastTask();
        clearLog();
        m_settings->setSelectedLanguage(QStringLiteral("fr-FR"));
        // The new language is picked up by that very change, once the store holds it.
        QTRY_COMPARE_WITH_TIMEOUT(m_engine->taskCount(), 2, 5000);
        QCOMPARE(oldTask->cancelCount.load(), 1);
        QCOMPARE(m_engine->lastTask()->locale, QStringLiteral("fr-FR"));
        const QStringList info = speechLines(QtInfoMsg);
        const qsizetype changed = info.indexOf(QStringLiteral("Locale changed from en-US to fr-FR"));
        QVERIFY(changed >= 0);
        QCOMPARE(info.mid(changed, 4),
            (QStringList { QStringLiteral("Locale changed from en-US to fr-FR"), QStringLiteral("Stopping recognition"),
                QStringLiteral("Restarting task after locale change"),
                QStringLiteral("Starting recognition task locale fr-FR") }));
    }

    void languageChangeWhileIdleStartsNothing()
    {
        makeManager();
        m_settings->setSelectedLanguage(QStringLiteral("fr-FR"));
        QTRY_COMPARE_WITH_TIMEOUT(m_manager->recognizer()->localeIdentifier(), QStringLiteral("fr-FR"), 5000);
        QVERIFY(allSpeechLines().contains(QStringLiteral("Stopping recognition")));
        QCOMPARE(m_engine->taskCount(), 0);
    }

    void languageWithoutRecognizerWhileRunningGoesSilent()
    {
        makeManager();
        QVERIFY(!m_manager->start());
        const auto oldTask = m_engine->lastTask();
        m_settings->setSelectedLanguage(QStringLiteral("xx-XX"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_manager->recognizer(), 5000);
        QCOMPARE(oldTask->cancelCount.load(), 1);
        QCOMPARE(m_engine->taskCount(), 1);
        QVERIFY(allSpeechLines().contains(QStringLiteral("Locale changed from en-US to nil")));
        QVERIFY(allSpeechLines().contains(QStringLiteral("Restarting task after locale change")));
        settle();
        QVERIFY(m_manager->latestError.get().isEmpty());
        // Captions can be started again once a language with a recognizer is chosen.
        m_settings->setSelectedLanguage(QStringLiteral("en-US"));
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->recognizer(), 5000);
        QVERIFY(!m_manager->start());
        QCOMPARE(m_engine->taskCount(), 2);
    }

    // append() on the capture thread while the main thread replaces and clears the request.
    void appendRacesStartAndStopSafely()
    {
        makeManager();
        QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*.debug=false"));
        std::atomic<bool> done { false };
        std::atomic<int> appended { 0 };
        std::unique_ptr<QThread> capture(QThread::create([&] {
            const auto a = ramp(1, 320);
            const auto b = ramp(2, 960);
            while (!done.load()) {
                m_manager->append(a.view(16000));
                m_manager->append(b.view(48000));
                ++appended;
            }
        }));
        capture->start();
        for (int i = 0; i < 300; ++i) {
            QVERIFY(!m_manager->start());
            m_manager->stop();
        }
        QTRY_VERIFY_WITH_TIMEOUT(appended.load() > 10, 10000);
        done = true;
        capture->wait();
        QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*.debug=true"));
        QCOMPARE(m_engine->taskCount(), 300);
        for (const auto &task : m_engine->tasks())
            QCOMPARE(task->cancelCount.load(), 1);
    }
};

QTEST_GUILESS_MAIN(SpeechRecognitionManagerTest)
#include "SpeechRecognitionManagerTest.moc"
