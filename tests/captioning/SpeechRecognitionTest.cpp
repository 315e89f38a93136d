#include "FakeSpeechEngine.h"
#include "captioning/SegmentedRecognitionTask.h"
#include "captioning/SentenceStyle.h"
#include "captioning/SpeechRecognitionManager.h"
#include "settings/AppSettings.h"

#include <QScopeGuard>
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

// Calls an utterance with loud samples `word`, timed from its first loud sample to its last.
class LoudnessDecoder final : public UtteranceDecoder
{
public:
    LoudnessDecoder(bool hears, QString word) : m_hears(hears), m_word(std::move(word)) { }
    bool hearsSpeech() const override { return m_hears; }
    bool writesText() const override { return true; }
    double maxUtteranceSeconds() const override { return 12; }
    std::size_t partialIntervalSamples(std::size_t) const override { return 1600; }
    bool begin() override { return m_first.reset(), m_fed = 0, true; }
    bool feed(const float *samples, std::size_t count) override
    {
        for (std::size_t i = 0; i < count; ++i, ++m_fed)
            if (samples[i] > 0.25f)
                m_first = m_first.value_or(m_fed), m_last = m_fed + 1;
        m_loud = count > 0 && samples[count - 1] > 0.25f;
        return true;
    }
    bool inSpeech() const override { return m_loud; }
    std::optional<QString> partial() override { return std::nullopt; }
    bool end(DecodedUtterance &out) override
    {
        if (m_first)
            out = { m_word, { { m_word, double(*m_first) / 16000, double(m_last) / 16000 } } };
        return true;
    }
    void abandon() override { }
    QString takeError() override { return {}; }

private:
    const bool m_hears;
    const QString m_word;
    std::size_t m_fed = 0, m_last = 0;
    std::optional<std::size_t> m_first;
    bool m_loud = false;
};

// A task on loudness decoders, without the sound front end, and the sentences it reports.
struct Session {
    std::shared_ptr<SpeechAudioRequest> request = std::make_shared<SpeechAudioRequest>();
    std::mutex mutex;
    std::vector<TimedSentence> sentences;
    std::shared_ptr<SpeechRecognitionTask> task;

    explicit Session(bool live = true)
    {
        request->shouldReportPartialResults = live;
        request->sentenceHandler = [this](const TimedSentence &s) {
            std::lock_guard lock(mutex);
            sentences.push_back(s);
        };
    }
    void start(bool hears, const QString &word, UtteranceDecoderSource lighter = {})
    {
        SegmentedRecognitionTask::Options options;
        options.frontEnd = false;
        options.lighter = std::move(lighter);
        task = std::make_shared<SegmentedRecognitionTask>(
            [=](const auto &, QString *) { return std::make_unique<LoudnessDecoder>(hears, word); }, request,
            [](auto &, auto &) {}, u"en-US"_s, options);
    }
    bool finish()
    {
        task->endAudio();
        return QTest::qWaitFor([&] { return request->isFinished(); }, 30000);
    }
    std::size_t append(const std::vector<float> &samples) { return request->append(samples.data(), samples.size()); }
    std::vector<TimedSentence> said()
    {
        std::lock_guard lock(mutex);
        return sentences;
    }
};

// `seconds` of silence, loud from `from` to `to`.
std::vector<float> loudBetween(double seconds, double from, double to)
{
    std::vector<float> samples(std::size_t(seconds * 16000), 0.0f);
    std::fill(samples.begin() + std::ptrdiff_t(from * 16000), samples.begin() + std::ptrdiff_t(to * 16000), 0.5f);
    return samples;
}

} // namespace

class SpeechRecognitionTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<AppSettings> m_settings;
    std::shared_ptr<FakeSpeechEngine> m_engine;
    std::unique_ptr<SpeechRecognitionManager> m_manager;
    int m_files = 0;

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
    // A stopped task takes no audio and nothing it reports after the stop arrives; the next task's results
    // come on the main thread, text before error, and not once the manager is gone.
    void start()
    {
        for (const auto &[language, code] :
            std::vector<std::pair<QString, int>> { { u"xx-XX"_s, -1 }, { u"de-DE"_s, -2 }, { u"en-US"_s, 0 } }) {
            makeManager(language);
            for (int attempt = 0; attempt < 2; ++attempt) { // a second start neither fails differently nor adds a task
                const auto error = m_manager->start();
                QVERIFY2((error ? error->code : 0) == code && (!error || error->domain == u"Speech"_s)
                        && m_engine->taskCount() == (code ? 0 : 1),
                    qPrintable(language));
            }
        }
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

    // The sentence under way comes before the stop; a change of language meanwhile stops at once.
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

    // Buffers are copied (capture reuses its memory) or converted; one that cannot be is dropped alone.
    void append()
    {
        for (const auto &[rate, channels, appended] :
            std::vector<std::tuple<double, uint, uint>> { { 16000, 1, 1024 }, { 48000, 1, 341 }, { 48000, 0, 0 } }) {
            makeManager();
            QVERIFY(!m_manager->start());
            const auto request = m_engine->lastTask()->request;
            Samples samples(rate, channels, 1024);
            m_manager->append(samples.buffer);
            const std::vector<float> original = samples.data;
            std::fill(samples.data.begin(), samples.data.end(), 9.0f);
            QVERIFY2(request->appendedFrames() == appended, qPrintable(QString::number(rate)));
            if (rate == 16000.0) {
                std::vector<float> queued;
                request->take(queued, 10000, std::chrono::milliseconds(0));
                QCOMPARE(queued, original);
            }
            m_manager->append(Samples(48000, 1, 1024).buffer);
            QCOMPARE(request->appendedFrames(), appended + 341);
        }
    }

    // The recognizer is replaced on every settings change; only a new language restarts a running task.
    void settingsChange()
    {
        // The new language, none for a font size; the locale of the new task, none for none.
        for (const auto &[running, language, newTaskLocale] :
            std::vector<std::tuple<bool, QString, QString>> { { true, {}, {} }, { true, u"fr-FR"_s, u"fr-FR"_s },
                { false, u"fr-FR"_s, {} }, { true, u"xx-XX"_s, {} } }) {
            const auto named
                = qScopeGuard([&] { QTest::currentTestFailed() ? qWarning("to %s", qPrintable(language)) : void(); });
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

    // Audio the queue dropped still counts on the clock, and words left open are finished after a long pause.
    void placesAndFinishesUtterances()
    {
        for (const bool hears : { true, false }) {
            Session dropped;
            QCOMPARE(dropped.append(loudBetween(30, 25, 26)), 20u * 16000); // the queue's capacity
            dropped.start(hears, u"Word."_s);
            QVERIFY(dropped.finish());
            const auto said = dropped.said();
            QCOMPARE(said.size(), 1u);
            QVERIFY2(std::abs(said[0].start - 25) < 0.02 && std::abs(said[0].end - 26) < 0.02,
                qPrintable(u"%1-%2"_s.arg(said[0].start).arg(said[0].end)));

            Session open;
            open.start(hears, u"and"_s);
            open.append(loudBetween(4, 0.5, 1.5));
            QVERIFY(QTest::qWaitFor([&] { return open.said().size() == 1; }, 30000));
        }
    }

    // Finishing ends the utterance after the audio queued so far and reports it before answering.
    void finishesTheSentenceUnderWay()
    {
        Session s;
        s.start(true, u"and rather self"_s);
        s.append(loudBetween(2, 1, 2));
        std::atomic<int> reportedBefore = -1;
        s.task->finishSentence([&] { reportedBefore = int(s.said().size()); });
        QVERIFY(QTest::qWaitFor([&] { return reportedBefore >= 0; }, 30000));
        QCOMPARE(reportedBefore.load(), 1);
        QCOMPARE(s.said().at(0).text, u"and rather self"_s);
        QVERIFY2(std::abs(s.said().at(0).end - 2) < 0.05, qPrintable(QString::number(s.said().at(0).end)));
        s.append(loudBetween(2, 1, 2));
        QVERIFY(s.finish());
        QCOMPARE(s.said().size(), 2u);
        std::atomic<bool> answered = false; // an ended task answers at once
        s.task->finishSentence([&] { answered = true; });
        QVERIFY(answered);
    }

    // Live audio piling up hands over to the lighter decoder; a recording always waits, and keeps its own.
    void fallsBackWhenBehind()
    {
        for (const bool live : { true, false }) {
            Session s(live);
            s.start(false, u"Word."_s, [](const auto &, QString *) -> std::unique_ptr<UtteranceDecoder> {
                return std::make_unique<LoudnessDecoder>(true, u"Light."_s);
            });
            s.append(loudBetween(9.5, 8, 9));
            QVERIFY(s.finish());
            QCOMPARE(s.said().at(0).text, live ? u"Light."_s : u"Word."_s);
        }
    }

    // On a row's word list, or the system's; the fragment is the sentence without its closing mark.
    void sentence_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("wordList");
        QTest::addColumn<QString>("hypothesis");
        QTest::addColumn<QString>("sentence");
        const auto row = [](const QString &locale, const char *hypothesis, const char *sentence,
                             const QStringList &wordList = {}) {
            QTest::addRow("%s: %s", qPrintable(locale), hypothesis)
                << locale << wordList << QString::fromUtf8(hypothesis) << QString::fromUtf8(sentence);
        };
        const QString en = u"en-US"_s;
        row(en, "and mister john dashwood had then leisure", "And Mister John Dashwood had then leisure.");
        row(en, "on monday in december we flew to london", "On Monday in December we flew to London.");
        row(en, "i think i'm sure i'll go as i've said i'd", "I think I'm sure I'll go as I've said I'd.");
        row(en, "nasa and mcdonald's on monday's show", "NASA and McDonald's on Monday's show.");
        row(QString(), "we will see may", "We will see may.", { u"May"_s, u"may"_s, u"will"_s, u"Will"_s });
        row(en, "what is your name", "What is your name?");
        row(en, "what's that", "What's that?");
        row(en, "which one do you want", "Which one do you want?");
        row(en, "how many people are there", "How many people are there?");
        row(en, "how about tomorrow", "How about tomorrow?");
        row(en, "what a lovely day", "What a lovely day.");
        row(en, "what he said was true", "What he said was true.");
        row(en, "could you help me", "Could you help me?");
        row(en, "is that so", "Is that so?");
        row(en, "may i come in", "May I come in?");
        row(en, "when i was young we lived here", "When I was young we lived here.");
        row(en, "do it now", "Do it now.");
        row(en, "so do you", "So do you.");
        row(en, "<s> hello <sil> world(2) [noise] </s>", "Hello world.");
        row(en, "", "");
        row(en, "see you at ten a.m.", "See you at ten a.m.");
        row(u"en_GB"_s, "where is london", "Where is London?");
        row(u"fr-FR"_s, "où est londres <sil> i(2)", "Où est londres i.");
    }
    void sentence()
    {
        QFETCH(QString, locale);
        QFETCH(QStringList, wordList);
        QFETCH(QString, hypothesis);
        QFETCH(QString, sentence);
        const auto style = wordList.isEmpty() ? SentenceStyle::forLocale(locale) : SentenceStyle::english(wordList);
        QCOMPARE(style->sentence(hypothesis), sentence);
        QCOMPARE(style->fragment(hypothesis), sentence.chopped(sentence.isEmpty() ? 0 : 1));
    }

    void readsComplete()
    {
        const QString en = u"en-US"_s;
        for (const auto &[locale, hypothesis, complete] :
            std::vector<std::tuple<QString, QString, bool>> { { en, u"in his power to"_s, false },
                { en, u"he gave the <sil>"_s, false }, { en, u"the problem is"_s, false }, { en, u"and so"_s, false },
                { en, u"i saw her"_s, true }, { en, u"yes i can"_s, true }, { en, u"i think so"_s, true },
                { en, QString(), true }, { u"fr-FR"_s, u"in his power to"_s, true } })
            QVERIFY2(SentenceStyle::forLocale(locale)->readsComplete(hypothesis) == complete, qPrintable(hypothesis));
    }
};

QTEST_GUILESS_MAIN(SpeechRecognitionTest)
#include "SpeechRecognitionTest.moc"
