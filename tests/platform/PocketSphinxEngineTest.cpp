#include "PocketSphinxEngine.h"
#include "AppSettings.h"
#include "PocketSphinxModel.h"
#include "PocketSphinxTask.h"
#include "PocketSphinxTranscript.h"
#include "WavFile.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cmath>

namespace {

const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox");
const QString debianModels = QStringLiteral("/usr/share/pocketsphinx/model");

QMutex logMutex;
QStringList speechLog;

void collect(QtMsgType, const QMessageLogContext &context, const QString &text)
{
    if (context.category && QByteArray(context.category) == "com.ambrite.sonorel.Speech") {
        QMutexLocker lock(&logMutex);
        speechLog << text;
    }
}

int logCount(const QString &prefix)
{
    QMutexLocker lock(&logMutex);
    return int(
        std::count_if(speechLog.begin(), speechLog.end(), [&](const QString &l) { return l.startsWith(prefix); }));
}

// What a task reported, collected from its worker thread.
struct Results {
    QMutex mutex;
    QStringList texts;
    QStringList errors;
    QSet<QThread *> threads;

    SpeechRecognizer::ResultHandler handler()
    {
        return [this](const std::optional<QString> &text, const std::optional<QString> &error) {
            QMutexLocker lock(&mutex);
            threads.insert(QThread::currentThread());
            if (text)
                texts << *text;
            if (error)
                errors << *error;
        };
    }
    QStringList textsNow()
    {
        QMutexLocker lock(&mutex);
        return texts;
    }
    QStringList errorsNow()
    {
        QMutexLocker lock(&mutex);
        return errors;
    }
};

QStringList words(QString text)
{
    text = text.toLower();
    text.remove(QRegularExpression(QStringLiteral("[^a-z' ]")));
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QMap<QString, QString> transcripts()
{
    QMap<QString, QString> out;
    QFile f(librivox + QStringLiteral("/transcription"));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    static const QRegularExpression line(QStringLiteral("^<s> (.*) </s> \\((.*)\\)$"));
    for (const QByteArray &raw : f.readAll().split('\n')) {
        const auto m = line.match(QString::fromUtf8(raw).trimmed());
        if (m.hasMatch())
            out[m.captured(2)] = m.captured(1);
    }
    return out;
}

// Share of the reference words that the hypothesis contains (each hypothesis word used once).
double recall(const QStringList &reference, QStringList hypothesis)
{
    int found = 0;
    for (const QString &w : reference) {
        if (const auto i = hypothesis.indexOf(w); i >= 0) {
            ++found;
            hypothesis.removeAt(i);
        }
    }
    return reference.isEmpty() ? 1.0 : double(found) / double(reference.size());
}

// Feeds `samples` to `request` as fast as the queue allows without dropping anything.
void feed(SpeechAudioRequest &request, const std::vector<float> &samples)
{
    constexpr std::size_t chunk = 1600;
    for (std::size_t i = 0; i < samples.size(); i += chunk) {
        QTRY_VERIFY_WITH_TIMEOUT(request.queuedFrames() + chunk <= request.capacityFrames(), 30000);
        request.append(samples.data() + i, std::min(chunk, samples.size() - i));
    }
}

bool linkModel(const QString &from, const QString &to, bool withDictionary = true)
{
    if (!QDir().mkpath(to))
        return false;
    bool ok = QFile::link(from + QStringLiteral("/en-us"), to + QStringLiteral("/en-us"))
        && QFile::link(from + QStringLiteral("/en-us.lm.bin"), to + QStringLiteral("/en-us.lm.bin"));
    if (withDictionary)
        ok = ok
            && QFile::link(from + QStringLiteral("/cmudict-en-us.dict"), to + QStringLiteral("/cmudict-en-us.dict"));
    return ok;
}

} // namespace

class PocketSphinxEngineTest final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::shared_ptr<PocketSphinxEngine> m_engine;

private Q_SLOTS:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*.debug=true"));
        qInstallMessageHandler(collect);
        if (!QFileInfo::exists(debianModels + QStringLiteral("/en-us/en-us/mdef")))
            QSKIP("Debian's en-US model (pocketsphinx-en-us) is not installed");
        PocketSphinxEngine::Options options;
        options.modelRoots = { debianModels };
        m_engine = std::make_shared<PocketSphinxEngine>(options);
    }

    void folderNamesMapToLocales_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("locale");
        QTest::newRow("debian") << QStringLiteral("en-us") << QStringLiteral("en-US");
        QTest::newRow("underscore") << QStringLiteral("fr_fr") << QStringLiteral("fr-FR");
        QTest::newRow("canonical") << QStringLiteral("de-DE") << QStringLiteral("de-DE");
        QTest::newRow("region number") << QStringLiteral("es-419") << QStringLiteral("es-419");
        QTest::newRow("not a locale") << QStringLiteral("models") << QString();
        QTest::newRow("language only") << QStringLiteral("en") << QString();
    }

    void folderNamesMapToLocales()
    {
        QFETCH(QString, folder);
        QTEST(PocketSphinxModelFiles::localeIdentifierForFolderName(folder), "locale");
    }

    void debianModelIsEnUsAndFeedsTheSettings()
    {
        QCOMPARE(m_engine->supportedLocales(), QStringList { QStringLiteral("en-US") });
        const auto files = PocketSphinxModelFiles::inspect(debianModels + QStringLiteral("/en-us"));
        QVERIFY(files);
        QVERIFY(files->languageModel.endsWith(QStringLiteral("/en-us.lm.bin"))); // not the phone model
        QVERIFY(files->dictionary.endsWith(QStringLiteral(".dict")));
        const auto recognizer = m_engine->recognizer(QStringLiteral("en-US"));
        QVERIFY(recognizer);
        QCOMPARE(recognizer->localeIdentifier(), QStringLiteral("en-US"));
        QVERIFY(recognizer->isAvailable());
        QVERIFY(recognizer->supportsOnDeviceRecognition());
        QVERIFY(!m_engine->recognizer(QStringLiteral("fr-FR")));
        QVERIFY(!m_engine->recognizer(QStringLiteral("en-us"))); // identifiers are exact
        QCOMPARE(AppSettings::availableLanguages(),
            (QList<LanguageEntry> { { QStringLiteral("en-US"), QStringLiteral("English (US)") } }));
    }

    void userAndEnvironmentFoldersAddLocales()
    {
        const QString home = m_dir.filePath(QStringLiteral("home"));
        const QString env = m_dir.filePath(QStringLiteral("env"));
        QVERIFY(linkModel(debianModels + QStringLiteral("/en-us"), env + QStringLiteral("/fr-fr")));
        QVERIFY(linkModel(
            debianModels + QStringLiteral("/en-us"), home + QStringLiteral("/.local/share/sonorel/models/de_de")));
        // A folder without a dictionary is not a model.
        QVERIFY(linkModel(debianModels + QStringLiteral("/en-us"), env + QStringLiteral("/it-it"), false));
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", home.toUtf8());
        qputenv("SONOREL_MODEL_PATH", (env + QStringLiteral(":/nonexistent")).toUtf8());
        const QStringList roots = PocketSphinxEngine::defaultModelRoots();
        qputenv("HOME", oldHome);
        qunsetenv("SONOREL_MODEL_PATH");
        QCOMPARE(roots.first(), env);
        QCOMPARE(roots.last(), debianModels);
        const QStringList locales = PocketSphinxEngine::localesIn(roots);
        QCOMPARE(locales, (QStringList { QStringLiteral("fr-FR"), QStringLiteral("de-DE"), QStringLiteral("en-US") }));
    }

    void recognisesLibriVoxSentences_data()
    {
        QTest::addColumn<QString>("id");
        const auto all = transcripts();
        if (all.isEmpty())
            QSKIP("pocketsphinx-testdata is not installed");
        for (auto it = all.begin(); it != all.end(); ++it)
            QTest::newRow(qPrintable(it.key())) << it.key();
    }

    void recognisesLibriVoxSentences()
    {
        QFETCH(QString, id);
        QString error;
        const auto wav = WavFile::read(librivox + QLatin1Char('/') + id + QStringLiteral(".wav"), &error);
        QVERIFY2(wav, qPrintable(error));
        const auto recognizer = m_engine->recognizer(QStringLiteral("en-US"));
        auto request = std::make_shared<SpeechAudioRequest>();
        Results results;
        auto task = recognizer->recognitionTask(request, results.handler());
        feed(*request, wav->monoFloat());
        task->endAudio();
        QTRY_VERIFY_WITH_TIMEOUT(request->isFinished(), 60000);

        const QStringList texts = results.textsNow();
        QVERIFY(results.errorsNow().isEmpty());
        QVERIFY(!texts.isEmpty());
        for (qsizetype i = 1; i < texts.size(); ++i)
            QVERIFY2(texts[i] != texts[i - 1], "a result repeated the previous text");
        QVERIFY(!results.threads.contains(QThread::currentThread()));
        QVERIFY(!results.threads.contains(qApp->thread()));

        const QString final = texts.last();
        static const QRegularExpression sentences(QStringLiteral("^([A-Z][^.]*\\.)( [A-Z][^.]*\\.)*$"));
        QVERIFY2(sentences.match(final).hasMatch(), qPrintable(final));
        const double r = recall(words(transcripts().value(id)), words(final));
        QVERIFY2(r >= 0.6, qPrintable(QStringLiteral("%1 of the words in: %2").arg(r).arg(final)));
        QCOMPARE(request->droppedFrames(), 0u);
    }

    void theModelIsLoadedOnceAndTheDecoderKept()
    {
        // Every recognizer above was a new handle onto the same model.
        QCOMPARE(logCount(QStringLiteral("Loading speech model")), 1);
        QCOMPARE(logCount(QStringLiteral("Speech model loaded")), 1);
    }

    void aLocaleNoLongerSelectedIsReleased()
    {
        const QString roots = m_dir.filePath(QStringLiteral("switch"));
        QVERIFY(linkModel(debianModels + QStringLiteral("/en-us"), roots + QStringLiteral("/en-us")));
        QVERIFY(linkModel(debianModels + QStringLiteral("/en-us"), roots + QStringLiteral("/fr-fr")));
        PocketSphinxEngine::Options options;
        options.modelRoots = { roots };
        PocketSphinxEngine engine(options);
        const int loadsBefore = logCount(QStringLiteral("Loading speech model"));
        auto english = engine.recognizer(QStringLiteral("en-US"));
        auto again = engine.recognizer(QStringLiteral("en-US")); // a new handle, the same model
        QCOMPARE(logCount(QStringLiteral("Loading speech model")), loadsBefore + 1);
        english.reset();
        again.reset();
        auto french = engine.recognizer(QStringLiteral("fr-FR"));
        QCOMPARE(french->localeIdentifier(), QStringLiteral("fr-FR"));
        QCOMPARE(logCount(QStringLiteral("Loading speech model")), loadsBefore + 2);
        // English was let go when French was selected: selecting it again loads it again.
        english = engine.recognizer(QStringLiteral("en-US"));
        QCOMPARE(logCount(QStringLiteral("Loading speech model")), loadsBefore + 3);
        // While a recognizer holds it, a model stays loaded even when another locale is selected.
        french = engine.recognizer(QStringLiteral("fr-FR"));
        english = engine.recognizer(QStringLiteral("en-US"));
        QCOMPARE(logCount(QStringLiteral("Loading speech model")), loadsBefore + 3);
        QVERIFY(french->isAvailable() && english->isAvailable());
    }

    void longNoiseIsCutIntoBoundedUtterances()
    {
        auto recognizer = m_engine->recognizer(QStringLiteral("en-US"));
        auto request = std::make_shared<SpeechAudioRequest>();
        Results results;
        auto task = recognizer->recognitionTask(request, results.handler());
        // 40 s of a warbling tone in noise, without a single pause.
        std::vector<float> samples(40 * 16000);
        auto *random = QRandomGenerator::global();
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double t = double(i) / 16000.0;
            samples[i] = float(0.3 * std::sin(2 * M_PI * (300 + 100 * std::sin(2 * M_PI * 3 * t)) * t)
                + 0.2 * (random->generateDouble() - 0.5));
        }
        feed(*request, samples);
        task->endAudio();
        QTRY_VERIFY_WITH_TIMEOUT(request->isFinished(), 120000);
        const auto *sphinx = dynamic_cast<PocketSphinxTask *>(task.get());
        QVERIFY(sphinx);
        QCOMPARE(sphinx->decodedFrames(), std::uint64_t(samples.size()));
        QVERIFY2(sphinx->forcedCuts() >= 1, qPrintable(QString::number(sphinx->forcedCuts())));
        // No utterance was given more than 15 s of audio (plus the one decoding step that crossed it).
        QVERIFY2(sphinx->longestUtteranceFrames() <= 15 * 16000 + 4096,
            qPrintable(QString::number(sphinx->longestUtteranceFrames())));
    }

    void aRecognizerBehindDropsTheOldestAudio()
    {
        auto recognizer = m_engine->recognizer(QStringLiteral("en-US"));
        auto request = std::make_shared<SpeechAudioRequest>();
        Results results;
        auto task = recognizer->recognitionTask(request, results.handler());
        const int before = logCount(QStringLiteral("Recognizer behind, dropped oldest audio frames"));
        const std::vector<float> second(16000, 0.01f);
        for (int i = 0; i < 30; ++i) {
            request->append(second.data(), second.size());
            QVERIFY(request->queuedFrames() <= request->capacityFrames());
        }
        QVERIFY(request->droppedFrames() > 0);
        QVERIFY(logCount(QStringLiteral("Recognizer behind, dropped oldest audio frames")) > before);
        task->cancel();
    }

    void cancelStopsPromptlyAndDeliversNothingMore()
    {
        auto recognizer = m_engine->recognizer(QStringLiteral("en-US"));
        QString error;
        const auto wav
            = WavFile::read(librivox + QStringLiteral("/sense_and_sensibility_01_austen_64kb-0870.wav"), &error);
        QVERIFY2(wav, qPrintable(error));
        const auto samples = wav->monoFloat();
        for (int round = 0; round < 20; ++round) {
            auto request = std::make_shared<SpeechAudioRequest>();
            Results results;
            auto task = recognizer->recognitionTask(request, results.handler());
            request->append(samples.data(), samples.size());
            if (round % 2)
                QThread::yieldCurrentThread();
            task->cancel();
            const qsizetype seen = results.textsNow().size();
            task.reset(); // joins the worker
            QCOMPARE(results.textsNow().size(), seen);
            QVERIFY(results.errorsNow().isEmpty());
            QVERIFY(!request->isFinished());
        }
        // The decoder is still good for the next task.
        auto request = std::make_shared<SpeechAudioRequest>();
        Results results;
        auto task = recognizer->recognitionTask(request, results.handler());
        feed(*request, samples);
        task->endAudio();
        QTRY_VERIFY_WITH_TIMEOUT(request->isFinished(), 60000);
        QVERIFY(!results.textsNow().isEmpty());
        QVERIFY2(recall(words(transcripts().value(QStringLiteral("sense_and_sensibility_01_austen_64kb-0870"))),
                     words(results.textsNow().last()))
                >= 0.6,
            qPrintable(results.textsNow().last()));
    }

    void engineErrorsBecomeTheTaskErrorText()
    {
        // A model folder whose language model is not a language model.
        const QString broken = m_dir.filePath(QStringLiteral("broken/en-gb"));
        QVERIFY(QDir().mkpath(broken));
        QVERIFY(QFile::link(debianModels + QStringLiteral("/en-us/en-us"), broken + QStringLiteral("/acoustic")));
        QVERIFY(QFile::link(
            debianModels + QStringLiteral("/en-us/cmudict-en-us.dict"), broken + QStringLiteral("/words.dict")));
        QFile lm(broken + QStringLiteral("/en-gb.lm"));
        QVERIFY(lm.open(QIODevice::WriteOnly));
        lm.write("this is not an ARPA language model\n");
        lm.close();

        PocketSphinxEngine::Options options;
        options.modelRoots = { m_dir.filePath(QStringLiteral("broken")) };
        PocketSphinxEngine engine(options);
        const auto recognizer = engine.recognizer(QStringLiteral("en-GB"));
        QVERIFY(recognizer);
        auto request = std::make_shared<SpeechAudioRequest>();
        Results results;
        auto task = recognizer->recognitionTask(request, results.handler());
        QTRY_COMPARE_WITH_TIMEOUT(results.errorsNow().size(), 1, 60000);
        QVERIFY(!results.errorsNow().first().trimmed().isEmpty());
        QVERIFY(results.textsNow().isEmpty());
        QVERIFY(!recognizer->isAvailable());
        AppSettings::setSupportedLocalesSource({});
    }

    void transcriptWritesSentencesAndReportsOnlyChanges()
    {
        PocketSphinxTranscript t;
        QCOMPARE(t.takeIfChanged(), std::nullopt);
        t.setPartial(QStringLiteral("hello"));
        QCOMPARE(t.takeIfChanged(), QStringLiteral("Hello"));
        t.setPartial(QStringLiteral("hello"));
        QCOMPARE(t.takeIfChanged(), std::nullopt);
        t.finaliseUtterance(QStringLiteral("hello world"));
        t.finaliseUtterance(QString()); // noise without words adds nothing
        t.setPartial(QStringLiteral("it is nine a.m."));
        // Only a finished sentence ends with a full stop.
        QCOMPARE(t.takeIfChanged(), QStringLiteral("Hello world. It is nine a.m"));
        t.finaliseUtterance(QStringLiteral("it is nine a.m."));
        QCOMPARE(t.takeIfChanged(), QStringLiteral("Hello world. It is nine a.m."));
        QCOMPARE(t.takeIfChanged(), std::nullopt);
        for (int i = 0; i < 2000; ++i)
            t.finaliseUtterance(QStringLiteral("one more sentence"));
        QVERIFY(t.text().size() <= PocketSphinxTranscript::maxFinalisedChars);
        QVERIFY(t.text().size() > 4000);
        QVERIFY(t.text().endsWith(QStringLiteral("One more sentence.")));
    }
};

QTEST_GUILESS_MAIN(PocketSphinxEngineTest)
#include "PocketSphinxEngineTest.moc"
