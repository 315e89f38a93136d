#include "platform/PocketSphinxEngine.h"
#include "LogCapture.h"
#include "RecognitionRun.h"
#include "captioning/RunningTranscript.h"
#include "captioning/SegmentedRecognitionTask.h"
#include "platform/FfmpegAudioDecoder.h"

#include <QDir>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

const QString debianModel = QStringLiteral("/usr/share/pocketsphinx/model/en-us");

std::shared_ptr<PocketSphinxEngine> engineOn(const QString &modelRoot)
{
    PocketSphinxEngine::Options options;
    options.modelRoots = { modelRoot };
    return std::make_shared<PocketSphinxEngine>(options);
}

// A model folder made of links to Debian's model's files.
bool linkModel(const QString &folder, bool withDictionary = true)
{
    QStringList files { QStringLiteral("en-us"), QStringLiteral("en-us.lm.bin") };
    if (withDictionary)
        files << QStringLiteral("cmudict-en-us.dict");
    return QDir().mkpath(folder) && std::all_of(files.begin(), files.end(), [&](const QString &f) {
        return QFile::link(debianModel + u'/' + f, folder + u'/' + f);
    });
}

} // namespace

class PocketSphinxEngineTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::shared_ptr<PocketSphinxEngine> m_engine;

private Q_SLOTS:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.Speech.debug=true"));
        m_engine = engineOn(debianModel.section(u'/', 0, -2));
    }

    // Models come from $SONOREL_MODEL_PATH, then the user's folder, then Debian's; a folder is a locale
    // when its name is one and it holds a dictionary. The locales feed the settings' language list.
    void findsModels()
    {
        QCOMPARE(m_engine->supportedLocales(), QStringList { QStringLiteral("en-US") });
        QVERIFY(!m_engine->recognizer(QStringLiteral("en-us"))); // identifiers are exact
        const QString env = m_dir.filePath(QStringLiteral("env")), home = m_dir.filePath(QStringLiteral("home"));
        QVERIFY(linkModel(env + QStringLiteral("/fr_fr")));
        QVERIFY(linkModel(env + QStringLiteral("/it-it"), false));
        QVERIFY(linkModel(env + QStringLiteral("/models")));
        QVERIFY(linkModel(home + QStringLiteral("/.local/share/sonorel/models/de-DE")));
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", home.toUtf8());
        qputenv("SONOREL_MODEL_PATH", (env + QStringLiteral(":/nonexistent")).toUtf8());
        const QStringList roots = PocketSphinxEngine::defaultModelRoots();
        qputenv("HOME", oldHome);
        qunsetenv("SONOREL_MODEL_PATH");
        QCOMPARE(PocketSphinxEngine::localesIn(roots),
            (QStringList { QStringLiteral("fr-FR"), QStringLiteral("de-DE"), QStringLiteral("en-US") }));
    }

    // Every LibriVox sentence: most words, written as sentences, each result new, all off the main thread.
    void recognisesLibriVox_data()
    {
        QTest::addColumn<QString>("id");
        for (const char *id : { "0870", "0880", "0890", "0920", "0930" })
            QTest::newRow(id) << QString::fromLatin1(id);
    }
    void recognisesLibriVox()
    {
        QFETCH(QString, id);
        Run run(*m_engine->recognizer(QStringLiteral("en-US")));
        QVERIFY(run.recognise(recording(id)));
        const QStringList texts = run.results();
        QVERIFY(!texts.isEmpty() && run.errors.isEmpty() && !run.onThisThread);
        for (qsizetype i = 1; i < texts.size(); ++i)
            QVERIFY(texts[i] != texts[i - 1]);
        QVERIFY2(
            QRegularExpression(QStringLiteral("^([A-Z][^.]*\\.)( [A-Z][^.]*\\.)*$")).match(texts.last()).hasMatch(),
            qPrintable(texts.last()));
        QVERIFY2(recall(id, texts.last()) >= 0.6, qPrintable(texts.last()));
        QCOMPARE(run.request->droppedFrames(), 0u);
    }

    // Recognizers are handles: a model is loaded once and kept while selected or held, and let go when
    // another locale is selected.
    void loadsEachModelOnce()
    {
        const QString roots = m_dir.filePath(QStringLiteral("switch"));
        QVERIFY(linkModel(roots + QStringLiteral("/en-us")) && linkModel(roots + QStringLiteral("/fr-fr")));
        auto engine = engineOn(roots);
        LogCapture log;
        auto loads = [&] { return log.count(QStringLiteral("Speech: Loading speech model")); };
        auto english = engine->recognizer(QStringLiteral("en-US"));
        english = engine->recognizer(QStringLiteral("en-US"));
        QCOMPARE(loads(), 1);
        english.reset();
        auto french = engine->recognizer(QStringLiteral("fr-FR"));
        english = engine->recognizer(QStringLiteral("en-US"));
        QCOMPARE(loads(), 3);
        french = engine->recognizer(QStringLiteral("fr-FR")); // while held, a model stays
        english = engine->recognizer(QStringLiteral("en-US"));
        QCOMPARE(loads(), 3);
    }

    // Cancel ends a task at once with nothing more delivered, and the kept decoder still works after it.
    void cancel()
    {
        auto recognizer = m_engine->recognizer(QStringLiteral("en-US"));
        const auto samples = recording(QStringLiteral("0870"));
        for (int round = 0; round < 20; ++round) {
            Run run(*recognizer);
            run.request->append(samples.data(), samples.size());
            run.task->cancel();
            const QStringList seen = run.results();
            run.task.reset(); // joins the worker
            QCOMPARE(run.results(), seen);
            QVERIFY(run.errors.isEmpty() && !run.request->isFinished());
        }
        Run run(*recognizer);
        QVERIFY(run.recognise(samples));
        const QStringList texts = run.results();
        QVERIFY(!texts.isEmpty() && recall(QStringLiteral("0870"), texts.last()) >= 0.6);
    }

    // Twenty seconds of warbling noise without a pause are cut into utterances of at most 12 s of speech.
    void cutsLongUtterances()
    {
        std::vector<float> noise(20 * 16000);
        QRandomGenerator random(7);
        for (std::size_t i = 0; i < noise.size(); ++i) {
            const double t = double(i) / 16000.0;
            noise[i] = float(0.3 * std::sin(2 * M_PI * (300 + 100 * std::sin(2 * M_PI * 3 * t)) * t)
                + 0.2 * (random.generateDouble() - 0.5));
        }
        Run run(*m_engine->recognizer(QStringLiteral("en-US")));
        QVERIFY(run.recognise(noise));
        const auto *task = dynamic_cast<SegmentedRecognitionTask *>(run.task.get());
        QCOMPARE(task->decodedFrames(), std::uint64_t(noise.size()));
        QVERIFY(task->forcedCuts() >= 1);
        QVERIFY2(
            task->longestUtteranceFrames() <= 12 * 16000, qPrintable(QString::number(task->longestUtteranceFrames())));
    }

    // Twenty seconds of music (a chord a bar, a plucked tune, a kick drum) is not captioned: at most two words,
    // in the final text and in every partial one.
    void musicIsNotSpeech()
    {
        static const double chords[][3] = { { 261.63, 329.63, 392.00 }, { 220.00, 261.63, 329.63 },
            { 174.61, 220.00, 261.63 }, { 196.00, 246.94, 293.66 } };
        static const double tune[] = { 523.25, 587.33, 659.25, 783.99, 880.00, 783.99, 659.25, 587.33 };
        std::vector<float> music(20 * 16000);
        for (std::size_t i = 0; i < music.size(); ++i) {
            const double t = double(i) / 16000, beat = std::fmod(t, 0.5), half = std::fmod(t, 1.0);
            const auto &chord = chords[std::size_t(t / 2) % 4];
            double v = 0;
            for (double f : chord)
                v += 0.06 * std::sin(2 * M_PI * f * t) * (1 + 0.4 * std::sin(2 * M_PI * 5 * t));
            const double note = tune[std::size_t(t / 0.5) % 8];
            for (int h = 1; h <= 3; ++h)
                v += 0.15 / h * std::exp(-6 * beat) * std::sin(2 * M_PI * note * h * t);
            v += 0.3 * std::exp(-25 * half) * std::sin(2 * M_PI * (90 - 45 * std::min(half, 0.15) / 0.15) * half);
            music[i] = float(v);
        }
        // A model of its own: what the decoder adapted to here must not carry into the other cases.
        Run run(*engineOn(debianModel.section(u'/', 0, -2))->recognizer(QStringLiteral("en-US")), true);
        QVERIFY(run.recognise(music));
        const auto words = [](const QString &text) { return text.split(u' ', Qt::SkipEmptyParts).size(); };
        for (const QString &text : run.results())
            QVERIFY2(words(text) <= 2, qPrintable(text));
    }

    // A recognizer that falls behind keeps about 10 s and drops the oldest audio, with an error line.
    void boundsTheQueue()
    {
        LogCapture log;
        Run run(*m_engine->recognizer(QStringLiteral("en-US")));
        const std::vector<float> second(16000, 0.01f);
        for (int i = 0; i < 30; ++i)
            run.request->append(second.data(), second.size());
        QVERIFY(run.request->queuedFrames() <= run.request->capacityFrames());
        QVERIFY(run.request->capacityFrames() <= 11 * 16000);
        QVERIFY(run.request->droppedFrames() > 0);
        QVERIFY(log.count(QStringLiteral("Speech: Recognizer behind")) > 0);
    }

    // Finalised utterances are sentences; a partial is not yet one; only changes are reported; the
    // finalised text is bounded.
    void transcript()
    {
        RunningTranscript t;
        t.setPartial(QStringLiteral("hello"));
        QCOMPARE(t.takeIfChanged(), QStringLiteral("Hello"));
        t.setPartial(QStringLiteral("hello"));
        QCOMPARE(t.takeIfChanged(), std::nullopt);
        t.finaliseUtterance(QStringLiteral("hello world"));
        t.finaliseUtterance(QString());
        QCOMPARE(t.takeIfChanged(), QStringLiteral("Hello world."));
        for (int i = 0; i < 2000; ++i)
            t.finaliseUtterance(QStringLiteral("one more sentence"));
        QVERIFY(t.text().size() <= RunningTranscript::maxFinalisedChars && t.text().size() > 4000);
        QVERIFY(t.text().endsWith(QStringLiteral("One more sentence.")));
    }

    // English utterances that stop mid-sentence stay open for the next one, up to a bound and unless a long
    // pause comes between. Steps are final hypotheses, or partial ones when they start with "~"; each is
    // heard for 2 s after a pause of 1 s, or of 1.5 s when it starts with "/"; "_" is 1.5 s of silence.
    // Each finished sentence, and the one left open at the end, spans its utterances.
    void transcriptSentences_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("times");
        const auto words = [](const char *word, int n) {
            return (QString::fromLatin1(word) + QLatin1Char(' ')).repeated(n).trimmed();
        };
        QTest::newRow("open sentence shown without mark")
            << QStringList { QStringLiteral("and mister john dashwood had then leisure to") }
            << QStringLiteral("And Mister John Dashwood had then leisure to") << QStringLiteral("open 0-2");
        QTest::newRow("continued by the next utterance")
            << QStringList { QStringLiteral("he had then leisure to"), QStringLiteral("consider it") }
            << QStringLiteral("He had then leisure to consider it.") << QStringLiteral("0-5");
        QTest::newRow("partial continues it")
            << QStringList { QStringLiteral("it was in his"), QStringLiteral("~power to do") }
            << QStringLiteral("It was in his power to do") << QStringLiteral("open 0-2");
        QTest::newRow("question judged on the whole sentence")
            << QStringList { QStringLiteral("do you think that"), QStringLiteral("it will rain") }
            << QStringLiteral("Do you think that it will rain?") << QStringLiteral("0-5");
        QTest::newRow("closed beyond the open bound")
            << QStringList { words("on", 31), QStringLiteral("~more") }
            << QStringLiteral("%1. More").arg(QStringLiteral("On ") + words("on", 30)) << QStringLiteral("0-2");
        QTest::newRow("closed before an utterance takes it beyond the maximum")
            << QStringList { words("to", 25), words("go", 16) }
            << QStringLiteral("To %1. Go %2.").arg(words("to", 24), words("go", 15)) << QStringLiteral("0-2 3-5");
        QTest::newRow("closed by a long pause")
            << QStringList { QStringLiteral("in his power to do for"),
                   QStringLiteral("/he was not an ill disposed man") }
            << QStringLiteral("In his power to do for. He was not an ill disposed man.")
            << QStringLiteral("0-2 3.5-5.5");
        QTest::newRow("closed while the pause lasts")
            << QStringList { QStringLiteral("in his power to do for"), QStringLiteral("_") }
            << QStringLiteral("In his power to do for.") << QStringLiteral("0-2");
    }
    void transcriptSentences()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, text);
        QFETCH(QString, times);
        RunningTranscript t(SentenceStyle::forLocale(QStringLiteral("en-US")));
        double clock = -1;
        for (const QString &step : steps) {
            if (step.startsWith(QLatin1Char('~'))) {
                t.setPartial(step.mid(1));
                continue;
            }
            if (step == QLatin1String("_")) {
                t.silentUntil(clock + 1.5);
                continue;
            }
            clock += step.startsWith(u'/') ? 1.5 : 1;
            t.finaliseUtterance(step.startsWith(u'/') ? step.mid(1) : step, { clock, clock + 2, {} });
            clock += 2;
        }
        QCOMPARE(t.text(), text);
        QStringList spans;
        for (const TimedSentence &s : t.takeFinishedSentences())
            spans << QStringLiteral("%1-%2").arg(s.start).arg(s.end);
        if (const auto open = t.openSentence())
            spans << QStringLiteral("open %1-%2").arg(open->start).arg(open->end);
        QCOMPARE(spans.join(u' '), times);
    }

    // Sentences said with pauses between them, at known times: each is reported from its first word to its
    // last within 0.3 s, with its words inside it.
    void sentenceTimes()
    {
        const QStringList ids { QStringLiteral("0870"), QStringLiteral("0890"), QStringLiteral("0930") };
        std::vector<float> samples;
        std::vector<std::pair<double, double>> truth;
        QRandomGenerator random(3);
        const auto pause = [&](double seconds) { // the hiss of a quiet room, not digital silence
            for (int i = 0; i < int(seconds * 16000); ++i)
                samples.push_back(float(random.generateDouble() - 0.5) * 2e-3f);
        };
        pause(1.5);
        for (const QString &id : ids) {
            const QString trimmed = m_dir.filePath(id + QStringLiteral("-speech.wav"));
            // Only the speech: the silence at either end of the recording is cut away.
            QProcess sox;
            sox.start(QStringLiteral("sox"),
                QStringLiteral("%1 %2 silence 1 0.05 2% reverse silence 1 0.05 2% reverse")
                    .arg(librivoxFile(id), trimmed)
                    .split(u' '));
            QVERIFY(sox.waitForFinished() && sox.exitCode() == 0);
            const auto speech = FfmpegAudioDecoder::readMonoFloat(trimmed, nullptr);
            QVERIFY(speech && !speech->empty());
            truth.emplace_back(double(samples.size()) / 16000, double(samples.size() + speech->size()) / 16000);
            samples.insert(samples.end(), speech->begin(), speech->end());
            pause(2.5);
        }
        Run run(*m_engine->recognizer(QStringLiteral("en-US")));
        QVERIFY(run.recognise(samples));
        const std::vector<TimedSentence> heard = run.sentenceList();
        QString report;
        for (const TimedSentence &s : heard)
            report += QStringLiteral("%1-%2 %3\n").arg(s.start).arg(s.end).arg(s.text);
        for (const auto &[start, end] : truth) {
            double first = 1e9, last = -1;
            for (const TimedSentence &s : heard) {
                if (s.end > start - 1 && s.start < end + 1) {
                    first = std::min(first, s.start);
                    last = std::max(last, s.end);
                }
                for (const TimedWord &w : s.words)
                    QVERIFY2(w.start >= s.start && w.end <= s.end && w.start < w.end, qPrintable(report));
            }
            QVERIFY2(std::abs(first - start) <= 0.3 && std::abs(last - end) <= 0.3,
                qPrintable(QStringLiteral("said %1-%2, heard\n%3").arg(start).arg(end).arg(report)));
        }
    }
};

QTEST_GUILESS_MAIN(PocketSphinxEngineTest)
#include "PocketSphinxEngineTest.moc"
