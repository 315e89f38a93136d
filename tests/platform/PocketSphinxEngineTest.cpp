#include "platform/PocketSphinxEngine.h"
#include "RecognitionRun.h"
#include "captioning/RunningTranscript.h"
#include "captioning/SegmentedRecognitionTask.h"

#include <QDir>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

const QString debianModel = u"/usr/share/pocketsphinx/model/en-us"_s;

std::shared_ptr<PocketSphinxEngine> engineOn(const QString &modelRoot)
{
    PocketSphinxEngine::Options options;
    options.modelRoots = { modelRoot };
    return std::make_shared<PocketSphinxEngine>(options);
}

// A model folder made of links to Debian's model's files.
bool linkModel(const QString &folder, bool withDictionary = true)
{
    QStringList files { u"en-us"_s, u"en-us.lm.bin"_s };
    if (withDictionary)
        files << u"cmudict-en-us.dict"_s;
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
        QLoggingCategory::setFilterRules(u"com.ambrite.sonorel.Speech.debug=true"_s);
        m_engine = engineOn(debianModel.section(u'/', 0, -2));
    }

    // Models come from $SONOREL_MODEL_PATH, then the user's folder, then Debian's; a folder is a locale
    // when its name is one and it holds a dictionary.
    void findsModels()
    {
        QCOMPARE(m_engine->supportedLocales(), QStringList { u"en-US"_s });
        QVERIFY(!m_engine->recognizer(u"en-us"_s)); // identifiers are exact
        const QString env = m_dir.filePath(u"env"_s), home = m_dir.filePath(u"home"_s);
        QVERIFY(linkModel(env + u"/fr_fr"_s) && linkModel(env + u"/it-it"_s, false) && linkModel(env + u"/models"_s));
        QVERIFY(linkModel(home + u"/.local/share/sonorel/models/de-DE"_s));
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", home.toUtf8());
        qputenv("SONOREL_MODEL_PATH", (env + u":/nonexistent"_s).toUtf8());
        const QStringList roots = PocketSphinxEngine::defaultModelRoots();
        qputenv("HOME", oldHome);
        qunsetenv("SONOREL_MODEL_PATH");
        QCOMPARE(PocketSphinxEngine::localesIn(roots), (QStringList { u"fr-FR"_s, u"de-DE"_s, u"en-US"_s }));
    }

    // Cancel ends a task at once with nothing more delivered; the kept decoder recognises a sentence after it.
    void cancel()
    {
        auto recognizer = m_engine->recognizer(u"en-US"_s);
        const auto samples = recording(u"0870"_s);
        for (int round = 0; round < 20; ++round) {
            Run run(*recognizer);
            run.request->append(samples.data(), samples.size());
            run.task->cancel();
            const QStringList seen = run.results();
            run.task.reset(); // joins the worker
            QCOMPARE(run.results(), seen);
            QVERIFY(run.errors.isEmpty() && !run.request->isFinished());
        }
        Run run(*recognizer); // most words, written as sentences, each result new, all off the main thread
        QVERIFY(run.recognise(samples));
        const QStringList texts = run.results();
        QVERIFY(!texts.isEmpty() && run.errors.isEmpty() && !run.onThisThread);
        for (qsizetype i = 1; i < texts.size(); ++i)
            QVERIFY(texts[i] != texts[i - 1]);
        QVERIFY2(QRegularExpression(u"^([A-Z][^.]*\\.)( [A-Z][^.]*\\.)*$"_s).match(texts.last()).hasMatch(),
            qPrintable(texts.last()));
        QVERIFY2(recall(u"0870"_s, texts.last()) >= 0.6, qPrintable(texts.last()));
        QCOMPARE(run.request->droppedFrames(), 0u);
    }

    // Twenty seconds of warbling noise without a pause are cut into utterances of at most 12 s of speech; a
    // recognizer that falls behind keeps about 10 s and drops the oldest audio.
    void boundsUtterancesAndQueue()
    {
        std::vector<float> noise(20 * 16000);
        QRandomGenerator random(7);
        for (std::size_t i = 0; i < noise.size(); ++i) {
            const double t = double(i) / 16000.0;
            noise[i] = float(0.3 * std::sin(2 * M_PI * (300 + 100 * std::sin(2 * M_PI * 3 * t)) * t)
                + 0.2 * (random.generateDouble() - 0.5));
        }
        Run run(*m_engine->recognizer(u"en-US"_s));
        QVERIFY(run.recognise(noise));
        const auto *task = dynamic_cast<SegmentedRecognitionTask *>(run.task.get());
        QCOMPARE(task->decodedFrames(), std::uint64_t(noise.size()));
        QVERIFY(task->forcedCuts() >= 1);
        QVERIFY2(
            task->longestUtteranceFrames() <= 12 * 16000, qPrintable(QString::number(task->longestUtteranceFrames())));

        Run behind(*m_engine->recognizer(u"en-US"_s));
        for (int i = 0; i < 30; ++i)
            behind.request->append(noise.data(), 16000);
        QVERIFY(behind.request->queuedFrames() <= behind.request->capacityFrames());
        QVERIFY(behind.request->capacityFrames() <= 11 * 16000 && behind.request->droppedFrames() > 0);
    }

    // Music is not captioned: at most two words in any text. (A model of its own, not to adapt the shared one.)
    void musicIsNotSpeech()
    {
        Run run(*engineOn(debianModel.section(u'/', 0, -2))->recognizer(u"en-US"_s), true);
        QVERIFY(run.recognise(music(20)));
        for (const QString &text : run.results())
            QVERIFY2(text.split(u' ', Qt::SkipEmptyParts).size() <= 2, qPrintable(text));
    }

    // Finalised utterances are sentences, a partial is not yet one; only changes are reported; text is bounded.
    void transcript()
    {
        RunningTranscript t;
        t.setPartial(u"hello"_s);
        QCOMPARE(t.takeIfChanged(), u"Hello"_s);
        t.setPartial(u"hello"_s);
        QCOMPARE(t.takeIfChanged(), std::nullopt);
        t.finaliseUtterance(u"hello world"_s);
        t.finaliseUtterance(QString());
        QCOMPARE(t.takeIfChanged(), u"Hello world."_s);
        for (int i = 0; i < 2000; ++i)
            t.finaliseUtterance(u"one more sentence"_s);
        QVERIFY(t.text().size() <= RunningTranscript::maxFinalisedChars && t.text().size() > 4000);
        QVERIFY(t.text().endsWith(u"One more sentence."_s));
    }

    // A sentence stays open for the next utterance, up to a bound and unless a long pause comes, and spans its
    // utterances. Steps: "~" partial, else final, heard 2 s after 1 s (with "/", 1.5 s) of pause; "_" 1.5 s silence.
    void transcriptSentences_data()
    {
        QTest::addColumn<QString>("steps"); // separated by "|"
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("times");
        const auto words = [](const char *word, int n) { return (QLatin1String(word) + u' ').repeated(n).trimmed(); };
        QTest::newRow("open sentence shown without mark")
            << u"he had then leisure to"_s << u"He had then leisure to"_s << u"open 0-2"_s;
        QTest::newRow("continued by the next utterance")
            << u"he had then leisure to|consider it"_s << u"He had then leisure to consider it."_s << u"0-5"_s;
        QTest::newRow("partial continues it")
            << u"it was in his|~power to do"_s << u"It was in his power to do"_s << u"open 0-2"_s;
        QTest::newRow("question judged on the whole sentence")
            << u"do you think that|it will rain"_s << u"Do you think that it will rain?"_s << u"0-5"_s;
        QTest::newRow("closed beyond the open bound")
            << words("on", 31) + u"|~more"_s << u"On %1. More"_s.arg(words("on", 30)) << u"0-2"_s;
        QTest::newRow("closed before an utterance takes it beyond the maximum")
            << words("to", 25) + u'|' + words("go", 16) << u"To %1. Go %2."_s.arg(words("to", 24), words("go", 15))
            << u"0-2 3-5"_s;
        QTest::newRow("closed by a long pause") << u"in his power to do for|/he was not ill"_s
                                                << u"In his power to do for. He was not ill."_s << u"0-2 3.5-5.5"_s;
        QTest::newRow("closed while the pause lasts")
            << u"in his power to do for|_"_s << u"In his power to do for."_s << u"0-2"_s;
    }
    void transcriptSentences()
    {
        QFETCH(QString, steps);
        RunningTranscript t(SentenceStyle::forLocale(u"en-US"_s));
        double clock = -1;
        for (const QString &step : steps.split(u'|')) {
            if (step.startsWith(u'~')) {
                t.setPartial(step.mid(1));
            } else if (step == u"_"_s) {
                t.silentUntil(clock + 1.5);
            } else {
                clock += step.startsWith(u'/') ? 1.5 : 1;
                t.finaliseUtterance(step.startsWith(u'/') ? step.mid(1) : step, { clock, clock + 2, {} });
                clock += 2;
            }
        }
        QTEST(t.text(), "text");
        QStringList spans;
        for (const TimedSentence &s : t.takeFinishedSentences())
            spans << u"%1-%2"_s.arg(s.start).arg(s.end);
        if (const auto open = t.openSentence())
            spans << u"open %1-%2"_s.arg(open->start).arg(open->end);
        QTEST(spans.join(u' '), "times");
    }
    // Sentences said with pauses between them, at known times: each is reported from its first word to its
    // last within 0.3 s, with its words inside it, as subtitle files show them.
    void sentenceTimes()
    {
        std::vector<float> samples;
        std::vector<std::pair<double, double>> truth;
        QRandomGenerator random(3);
        const auto pause = [&](double seconds) { // the hiss of a quiet room, not digital silence
            for (int i = 0; i < int(seconds * 16000); ++i)
                samples.push_back(float(random.generateDouble() - 0.5) * 2e-3f);
        };
        pause(1.5);
        for (const QString &id : { u"0870"_s, u"0890"_s, u"0930"_s }) {
            const QString trimmed = m_dir.filePath(id + u"-speech.wav"_s); // the silence at either end cut away
            QProcess sox;
            sox.start(u"sox"_s,
                u"%1 %2 silence 1 0.05 2% reverse silence 1 0.05 2% reverse"_s.arg(librivoxFile(id), trimmed)
                    .split(u' '));
            QVERIFY(sox.waitForFinished() && sox.exitCode() == 0);
            const auto speech = FfmpegAudioDecoder::readMonoFloat(trimmed, nullptr);
            QVERIFY(speech && !speech->empty());
            truth.emplace_back(double(samples.size()) / 16000, double(samples.size() + speech->size()) / 16000);
            samples.insert(samples.end(), speech->begin(), speech->end());
            pause(2.5);
        }
        Run run(*m_engine->recognizer(u"en-US"_s));
        QVERIFY(run.recognise(samples));
        QString report;
        for (const TimedSentence &s : run.sentenceList())
            report += u"%1-%2 %3\n"_s.arg(s.start).arg(s.end).arg(s.text);
        for (const auto &[start, end] : truth) {
            double first = 1e9, last = -1;
            for (const TimedSentence &s : run.sentenceList()) {
                if (s.end > start - 1 && s.start < end + 1)
                    first = std::min(first, s.start), last = std::max(last, s.end);
                for (const TimedWord &w : s.words)
                    QVERIFY2(w.start >= s.start && w.end <= s.end && w.start < w.end, qPrintable(report));
            }
            QVERIFY2(std::abs(first - start) <= 0.3 && std::abs(last - end) <= 0.3,
                qPrintable(u"said %1-%2, heard\n%3"_s.arg(start).arg(end).arg(report)));
        }
    }
};

QTEST_GUILESS_MAIN(PocketSphinxEngineTest)
#include "PocketSphinxEngineTest.moc"
