#include "captioning/SpeechRecognitionManager.h"
#include "FakeSpeechEngine.h"
#include "settings/AppSettings.h"

#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

// `frames` frames of a quiet ramp on each of `channels` planes, kept alive with the view.
struct Samples {
    std::vector<float> data;
    AudioBuffer buffer;
    Samples(double rate, std::uint32_t channels, std::uint32_t frames) : data(std::size_t(channels) * frames)
    {
        std::vector<const void *> planes;
        for (std::uint32_t c = 0; c < channels; ++c)
            planes.push_back(data.data() + std::size_t(c) * frames);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = float(i % 100) / 200.0f;
        buffer = AudioBuffer::view(AudioFormat::standard(rate, channels), planes, frames);
    }
};

} // namespace

class SpeechRecognitionManagerTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<AppSettings> m_settings;
    std::shared_ptr<FakeSpeechEngine> m_engine;
    std::unique_ptr<SpeechRecognitionManager> m_manager;
    int m_files = 0;

    // en-US and fr-FR have recognizers, de-DE's is offline, any other language has none.
    void makeManager(const QString &language = u"en-US"_s)
    {
        m_manager.reset();
        m_settings = std::make_unique<AppSettings>(m_dir.filePath(QString::number(++m_files) + u".conf"_s));
        m_settings->setSelectedLanguage(language);
        m_engine = std::make_shared<FakeSpeechEngine>();
        m_engine->setLocale(u"en-US"_s);
        m_engine->setLocale(u"fr-FR"_s);
        m_engine->setLocale(u"de-DE"_s, FakeSpeechEngine::Presence::unavailable);
        m_manager = std::make_unique<SpeechRecognitionManager>(m_engine, *m_settings);
    }

private Q_SLOTS:
    void cleanup() { m_manager.reset(); }

    // A language without a recognizer, or whose recognizer is offline, fails to start. A started task stops
    // at once and takes no more audio; it may still be finishing on another thread, but nothing it reports
    // after the stop reaches the manager (its cancellation error included), while a task started after it
    // reports its own: posted to the main thread, text before error; a manager gone by then drops them.
    void start_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<int>("code"); // 0: starts
        QTest::newRow("recognizer") << u"en-US"_s << 0;
        QTest::newRow("no recognizer") << u"xx-XX"_s << -1;
        QTest::newRow("recognizer offline") << u"de-DE"_s << -2;
    }
    void start()
    {
        QFETCH(QString, language);
        QFETCH(int, code);
        makeManager(language);
        for (int attempt = 0; attempt < 2; ++attempt) { // a second start neither fails differently nor adds a task
            const auto error = m_manager->start();
            QCOMPARE(error ? error->code : 0, code);
            QCOMPARE(error ? error->domain : u"Speech"_s, u"Speech"_s);
            QCOMPARE(m_engine->taskCount(), code ? 0 : 1);
        }
        if (code)
            return;
        const auto stopped = m_engine->lastTask();
        QVERIFY(stopped->request->requiresOnDeviceRecognition && stopped->request->shouldReportPartialResults);
        QCOMPARE(stopped->cancelCount.load(), 0);
        m_manager->stop();
        QVERIFY(stopped->request->isAudioEnded());
        QCOMPARE(stopped->cancelCount.load(), 1);
        m_manager->append(Samples(16000, 1, 160).buffer); // no request any more
        QCOMPARE(stopped->request->appendedFrames(), 0u);

        QStringList order;
        Cancellables subs;
        subs.push_back(m_manager->latestText.subscribe([&](const QString &t) {
            QCOMPARE(QThread::currentThread(), qApp->thread());
            order << t;
        }));
        subs.push_back(m_manager->latestError.subscribe([&](const QString &e) { order << e; }));
        order.clear();
        stopped->deliverError(u"cancelled"_s);
        QVERIFY(!m_manager->start());
        m_engine->lastTask()->deliver(u"Hello there."_s, u"boom"_s);
        stopped->deliver(u"late words"_s, u"late farewell"_s);
        QVERIFY(order.isEmpty());
        QTRY_COMPARE(order, (QStringList { u"Hello there."_s, u"boom"_s }));
        QCoreApplication::processEvents();
        QCOMPARE(order.size(), 2);

        const auto task = m_engine->lastTask();
        subs.clear();
        m_manager.reset();
        task->deliver(u"late"_s, u"late error"_s);
        QCoreApplication::processEvents();
    }

    // A stop that waits for the sentence under way: the sentence comes first, then the task stops. A change
    // of language meanwhile stops it at once and starts no task in the new one.
    void stopAfterSentence()
    {
        for (const bool languageChanges : { false, true }) {
            makeManager();
            QVERIFY(!m_manager->start());
            const auto task = m_engine->lastTask();
            task->holdFinish = true;
            task->sentenceUnderWay = TimedSentence { u"Kept."_s, 0, 1, {} };
            QStringList order;
            connect(m_manager.get(), &SpeechRecognitionManager::sentenceFinished, this,
                [&](const TimedSentence &sentence) { order << sentence.text; });
            m_manager->stopAfterSentence([&] { order << u"stopped"_s; });
            QVERIFY(m_manager->isStopping() && !task->isCancelled());
            if (languageChanges)
                m_settings->setSelectedLanguage(u"fr-FR"_s);
            else
                task->answerFinish();
            const QStringList kept { u"Kept."_s, u"stopped"_s };
            QTRY_COMPARE(order, languageChanges ? kept.mid(1) : kept);
            QVERIFY(task->isCancelled() && !m_manager->isStopping());
            QCOMPARE(m_engine->taskCount(), 1);
        }
    }

    // Buffers are copied (the capture thread reuses its memory) or converted to 16 kHz mono; a buffer that
    // cannot be converted is dropped and the next one goes through.
    void append_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<uint>("channels");
        QTest::addColumn<uint>("appended"); // of 1024 frames
        QTest::newRow("target format") << 16000.0 << 1u << 1024u;
        QTest::newRow("48 kHz") << 48000.0 << 1u << 341u;
        QTest::newRow("no channels") << 48000.0 << 0u << 0u;
    }
    void append()
    {
        QFETCH(double, rate);
        QFETCH(uint, channels);
        QFETCH(uint, appended);
        makeManager();
        QVERIFY(!m_manager->start());
        const auto request = m_engine->lastTask()->request;
        Samples samples(rate, channels, 1024);
        m_manager->append(samples.buffer);
        const std::vector<float> original = samples.data;
        std::fill(samples.data.begin(), samples.data.end(), 9.0f);
        QCOMPARE(request->appendedFrames(), appended);
        if (rate == 16000.0) {
            std::vector<float> queued;
            request->take(queued, 10000, std::chrono::milliseconds(0));
            QCOMPARE(queued, original);
        }
        m_manager->append(Samples(48000, 1, 1024).buffer);
        QCOMPARE(request->appendedFrames(), appended + 341);
    }

    // The recognizer is replaced on every settings change; only a new language restarts a running task.
    void settingsChange_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<QString>("language"); // empty: the font size changes
        QTest::addColumn<QString>("newTaskLocale"); // empty: no new task
        QTest::newRow("font size while running") << true << QString() << QString();
        QTest::newRow("language while running") << true << u"fr-FR"_s << u"fr-FR"_s;
        QTest::newRow("language while idle") << false << u"fr-FR"_s << QString();
        QTest::newRow("language without a model while running") << true << u"xx-XX"_s << QString();
    }
    void settingsChange()
    {
        QFETCH(bool, running);
        QFETCH(QString, language);
        QFETCH(QString, newTaskLocale);
        makeManager();
        if (running)
            QVERIFY(!m_manager->start());
        const auto before = m_manager->recognizer();
        if (language.isEmpty())
            m_settings->setFontSize(30);
        else
            m_settings->setSelectedLanguage(language);
        QTRY_VERIFY(m_manager->recognizer() != before);
        QCOMPARE(m_manager->recognizer() ? m_manager->recognizer()->localeIdentifier() : u"xx-XX"_s,
            language.isEmpty() ? u"en-US"_s : language);
        QCOMPARE(m_engine->taskCount(), int(running) + int(!newTaskLocale.isEmpty()));
        if (running)
            QCOMPARE(m_engine->tasks().front()->cancelCount.load(), language.isEmpty() ? 0 : 1);
        if (!newTaskLocale.isEmpty())
            QCOMPARE(m_engine->lastTask()->locale, newTaskLocale);
        QCoreApplication::processEvents();
        QCOMPARE(m_manager->latestError.get(), QString()); // a language without a model goes silent
    }

    // append() on the capture thread while the main thread replaces and clears the request.
    void appendRacesStartAndStop()
    {
        makeManager();
        std::atomic<bool> done { false };
        std::atomic<int> rounds { 0 };
        std::unique_ptr<QThread> capture(QThread::create([&] {
            const Samples a(16000, 1, 320), b(48000, 2, 960);
            for (; !done; ++rounds) {
                m_manager->append(a.buffer);
                m_manager->append(b.buffer);
            }
        }));
        capture->start();
        for (int i = 0; i < 300; ++i) {
            QVERIFY(!m_manager->start());
            m_manager->stop();
        }
        QTRY_VERIFY(rounds > 10);
        done = true;
        capture->wait();
        const auto tasks = m_engine->tasks();
        QCOMPARE(tasks.size(), 300u);
        QVERIFY(std::all_of(tasks.begin(), tasks.end(), [](const auto &t) { return t->cancelCount == 1; }));
    }
};

QTEST_GUILESS_MAIN(SpeechRecognitionManagerTest)
#include "SpeechRecognitionManagerTest.moc"
