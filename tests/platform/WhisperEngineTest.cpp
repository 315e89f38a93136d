#include "platform/WhisperEngine.h"
#include "RecognitionRun.h"
#include "captioning/RunningTranscript.h"
#include "captioning/SpeechEngineChooser.h"
#include "captioning/SpeechRecognitionManager.h"
#include "platform/PocketSphinxEngine.h"
#include "platform/WhisperDecoder.h"
#include "settings/AppSettings.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cmath>

namespace {

// The quantized model the install step makes, named by the test's environment.
const QString modelFile = qEnvironmentVariable("SONOREL_WHISPER_MODEL");

std::shared_ptr<PocketSphinxEngine> pocketSphinx()
{
    PocketSphinxEngine::Options options;
    options.modelRoots = { QStringLiteral("/usr/share/pocketsphinx/model") };
    return std::make_shared<PocketSphinxEngine>(options);
}

std::shared_ptr<WhisperEngine> whisperOn(
    const QString &file, const QByteArray &sha256, const std::shared_ptr<PocketSphinxEngine> &fallback = nullptr)
{
    WhisperEngine::Options options;
    options.modelFiles = { file };
    options.sha256 = sha256;
    if (fallback)
        options.fallback = [fallback](const QString &locale) { return fallback->decoderSource(locale); };
    return std::make_shared<WhisperEngine>(options);
}

// A minute of a plucked melody over chords with a hi-hat, or of pink-ish noise: no words in either.
std::vector<float> musicOrNoise(bool music)
{
    std::vector<float> out(60 * 16000);
    QRandomGenerator random(5);
    double brown = 0;
    const double scale[] { 261.6, 293.7, 329.6, 392.0, 440.0, 523.3, 587.3, 659.3 };
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / 16000, noise = random.generateDouble() - 0.5;
        if (!music) {
            brown = 0.98 * brown + noise;
            out[i] = float(0.05 * brown + 0.1 * noise);
            continue;
        }
        const int k = int(t * 4);
        const double f = scale[(k * 5 + k / 3) % 8], envelope = std::exp(-(t - k / 4.0) * 6);
        double v = 0;
        for (int h = 1; h <= 4; ++h)
            v += std::sin(2 * M_PI * f * h * t) / h * envelope * 0.25;
        const double bass[] { 130.8, 174.6, 196.0, 220.0 };
        const double base = bass[int(t / 2) % 4];
        for (double m : { 1.0, 1.25, 1.5 })
            v += std::sin(2 * M_PI * base * m * t) * 0.08;
        v += noise * 0.3 * std::exp(-(t * 2 - int(t * 2)) * 40);
        out[i] = float(std::clamp(v, -1.0, 1.0));
    }
    return out;
}

int wordCount(const std::vector<TimedSentence> &sentences)
{
    int words = 0;
    for (const TimedSentence &s : sentences)
        words += int(s.text.split(u' ', Qt::SkipEmptyParts).size());
    return words;
}

} // namespace

class WhisperEngineTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::shared_ptr<WhisperEngine> m_engine;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(modelFile).isFile(), "run scripts/install-whisper-model");
        m_engine = whisperOn(modelFile, WhisperEngine::defaultModelSha256());
    }

    // The quantized model on two LibriVox sentences said with a pause between them, at the pace they were
    // spoken, partial text along the way: the words as the reader said them, written with capitals and
    // marks, each sentence placed on the audio clock where it was said. One task decodes them all, so that
    // what one decode leaves behind cannot change the next.
    void recognisesLibriVox()
    {
        std::vector<float> samples;
        std::vector<double> starts;
        for (const char *id : { "0870", "0890" }) {
            starts.push_back(double(samples.size()) / 16000);
            const auto clip = recording(QString::fromLatin1(id));
            samples.insert(samples.end(), clip.begin(), clip.end());
            samples.resize(samples.size() + 16000 * 5 / 2, 0.0f); // a pause that ends a sentence however it is written
        }
        Run run(*m_engine->recognizer(QStringLiteral("en-US")), true);
        QVERIFY(run.recognise(samples, true));
        const QStringList texts = run.results();
        // Two finished sentences, and partial text before them.
        QVERIFY2(texts.size() >= 3 && run.errors.isEmpty() && !run.onThisThread, qPrintable(texts.join(u'\n')));
        const auto sentences = run.sentenceList();
        QStringList report;
        for (const TimedSentence &s : sentences)
            report << QStringLiteral("%1-%2 %3").arg(s.start).arg(s.end).arg(s.text);
        QCOMPARE(sentences.size(), std::size_t(2)); // "Mr." ends no sentence
        const QStringList expected { QStringLiteral("And Mr. John Dashwood had then leisure"),
            QStringLiteral("rather selfish is to be ill-disposed.") };
        for (std::size_t i = 0; i < 2; ++i) {
            QVERIFY2(sentences[i].text.contains(expected[qsizetype(i)]), qPrintable(report.join(u'\n')));
            // Whisper's word times are good to a few tenths of a second.
            QVERIFY2(
                std::abs(sentences[i].start - starts[i]) < 0.5 && sentences[i].end < (i == 0 ? starts[1] + 0.3 : 1e9),
                qPrintable(report.join(u'\n')));
            for (const TimedWord &w : sentences[i].words)
                QVERIFY(w.start >= sentences[i].start && w.end <= sentences[i].end && w.start < w.end);
        }
    }

    // A minute of music or of noise alone: hardly a word, and none of Whisper's "Thank you." over music.
    void inventsNothing_data()
    {
        QTest::addColumn<bool>("music");
        QTest::newRow("music") << true;
        QTest::newRow("noise") << false;
    }
    void inventsNothing()
    {
        QFETCH(bool, music);
        Run run(*m_engine->recognizer(QStringLiteral("en-US")));
        QVERIFY(run.recognise(musicOrNoise(music)));
        QString heard;
        for (const TimedSentence &s : run.sentenceList())
            heard += s.text + u'\n';
        QVERIFY2(wordCount(run.sentenceList()) <= 2, qPrintable(heard));
    }

    // What Whisper wrote passes guards: loops are found before they are shown, sound descriptions go, and
    // partial text keeps the words two decodes agreed on.
    void guards()
    {
        const auto repetitive = [](const char *text) { return WhisperDecoder::isRepetitive(QString::fromUtf8(text)); };
        QVERIFY(
            repetitive("I'm going to go to the store. I'm going to go to the store. I'm going to go to the store."));
        QVERIFY(repetitive("tall tall tall tall tall years"));
        QVERIFY(repetitive(QString(QStringLiteral("la ")).repeated(40).toUtf8().constData()));
        QVERIFY(!repetitive("No, no, no, he said."));
        QVERIFY(!repetitive("He might have been made still more respectable than he was, had he married a more "
                            "amiable woman; and he might even have been made amiable himself."));

        const auto described = [](const QStringList &words) {
            std::vector<TimedWord> timed;
            for (const QString &w : words)
                timed.push_back({ w, 0, 1 });
            QStringList kept;
            for (const TimedWord &w : WhisperDecoder::withoutSoundDescriptions(timed))
                kept << w.text;
            return kept.join(u' ');
        };
        QCOMPARE(described({ QStringLiteral("[Music]") }), QString());
        QCOMPARE(described(QStringLiteral("(upbeat music) Hello there ♪").split(u' ')), QStringLiteral("Hello there"));
        QCOMPARE(
            described(QStringLiteral("So *laughs* we [BLANK_AUDIO] went.").split(u' ')), QStringLiteral("So we went."));

        QStringList settled;
        const QStringList first = QStringLiteral("And mister John").split(u' ');
        const QStringList second = QStringLiteral("And Mr. John Dashwood had").split(u' ');
        QCOMPARE(WhisperDecoder::settle(settled, {}, first), first);
        QCOMPARE(
            WhisperDecoder::settle(settled, first, second), QStringLiteral("And Mr. John Dashwood had").split(u' '));
        QCOMPARE(settled, QStringList { QStringLiteral("And") });
        // A settled word stays as it was shown, whatever a later decode makes of it.
        const QStringList third = QStringLiteral("Then Mr. John Dashwood had then").split(u' ');
        QCOMPARE(WhisperDecoder::settle(settled, second, third),
            QStringLiteral("And Mr. John Dashwood had then").split(u' '));
    }

    // Written text keeps the engine's capitals and marks and splits at them, a title's full stop aside;
    // words after the last mark wait for the next utterance unless a long pause comes first.
    void writtenTranscript()
    {
        RunningTranscript t(SentenceStyle::forLocale(QStringLiteral("en-US")));
        t.setWrittenText(true);
        const auto words = [](std::initializer_list<std::pair<const char *, double>> list) {
            UtteranceTiming timing;
            for (const auto &[w, at] : list)
                timing.words.push_back({ QString::fromUtf8(w), at, at + 0.3 });
            timing.start = timing.words.front().start;
            timing.end = timing.words.back().end;
            return timing;
        };
        t.finaliseUtterance(QStringLiteral("And Mr. Dashwood left. He was"),
            words(
                { { "And", 0 }, { "Mr.", 0.4 }, { "Dashwood", 0.8 }, { "left.", 1.2 }, { "He", 2 }, { "was", 2.4 } }));
        t.setPartial(QStringLiteral("not ill-disposed."));
        QCOMPARE(t.text(), QStringLiteral("And Mr. Dashwood left. He was not ill-disposed."));
        t.finaliseUtterance(QStringLiteral("not ill-disposed."), words({ { "not", 3 }, { "ill-disposed.", 3.4 } }));
        t.finaliseUtterance(QStringLiteral("Unless"), words({ { "Unless", 5 } }));
        t.finaliseUtterance(QStringLiteral("to be"), words({ { "to", 9 }, { "be", 9.4 } }));
        QStringList spans;
        for (const TimedSentence &s : t.takeFinishedSentences())
            spans << QStringLiteral("%1 %2-%3").arg(s.text).arg(s.start).arg(s.end);
        QCOMPARE(spans,
            (QStringList { QStringLiteral("And Mr. Dashwood left. 0-1.5"),
                QStringLiteral("He was not ill-disposed. 2-3.7"), QStringLiteral("Unless 5-5.3") }));
        QCOMPARE(t.openSentence()->text, QStringLiteral("to be"));
    }

    // A model that cannot be used gives one notice, and the light engine captions in its stead; from then
    // on the chooser goes to the light engine directly. A missing model offers no accurate engine at all.
    void unusableModel_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("damaged") << QStringLiteral("damaged");
        QTest::newRow("missing") << QStringLiteral("missing");
    }
    void unusableModel()
    {
        QFETCH(QString, kind);
        const QString file = m_dir.filePath(kind + QStringLiteral(".bin"));
        QFile source(modelFile);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QFile copy(file);
        if (kind != QStringLiteral("missing")) { // its first megabyte, one byte changed
            QVERIFY(copy.open(QIODevice::WriteOnly));
            QByteArray head = source.read(1 << 20);
            head[head.size() / 2] = char(head[head.size() / 2] ^ 0x55);
            QVERIFY(copy.write(head) == head.size());
            copy.close();
        }
        const auto light = pocketSphinx();
        const auto accurate = whisperOn(file, WhisperEngine::defaultModelSha256(), light);
        SpeechEngineChooser chooser(accurate, light, [] { return AppSettings::accurateEngine; });
        if (kind == QStringLiteral("missing")) {
            QVERIFY(accurate->supportedLocales().isEmpty());
            QCOMPARE(chooser.engineFor(QStringLiteral("en-US")), AppSettings::lightEngine);
            QVERIFY(chooser.engineFor(QStringLiteral("es-ES")).isEmpty());
            return;
        }
        QCOMPARE(chooser.engineFor(QStringLiteral("en-US")), AppSettings::accurateEngine);
        const QString id = QStringLiteral("0870");
        Run run(*chooser.recognizer(QStringLiteral("en-US")));
        QVERIFY(run.recognise(recording(id)));
        QCOMPARE(run.notices.size(), 1);
        QVERIFY2(run.notices[0].contains(QStringLiteral("light speech engine")), qPrintable(run.notices[0]));
        QVERIFY(run.errors.isEmpty() && recall(id, run.results().value(run.results().size() - 1)) >= 0.6);
        QCOMPARE(chooser.engineFor(QStringLiteral("en-US")), AppSettings::lightEngine);
        QCOMPARE(chooser.recognizer(QStringLiteral("en-US"))->engineName(), AppSettings::lightEngine);
    }

    // While captions run, a change of engine or language restarts recognition on the new one, and captions
    // go on, in the chosen language: the model's own, so that a Spanish sentence (espeak-ng's voice) comes out in
    // Spanish.
    void switchesWhileCaptioning()
    {
        const QString wav = m_dir.filePath(QStringLiteral("es.wav")),
                      resampled = m_dir.filePath(QStringLiteral("es16.wav"));
        QVERIFY(QProcess::execute(QStringLiteral("espeak-ng"),
                    { QStringLiteral("-v"), QStringLiteral("es"), QStringLiteral("-w"), wav,
                        QStringLiteral("El perro corre por el parque mientras los niños juegan con una pelota roja.") })
            == 0);
        QVERIFY(
            QProcess::execute(QStringLiteral("sox"), { wav, QStringLiteral("-r"), QStringLiteral("16000"), resampled })
            == 0);
        const auto spanish = FfmpegAudioDecoder::readMonoFloat(resampled, nullptr);
        QVERIFY(spanish && !spanish->empty());
        AppSettings settings(m_dir.filePath(QStringLiteral("switch.conf")));
        const auto chooser = std::make_shared<SpeechEngineChooser>(
            m_engine, pocketSphinx(), [&settings] { return settings.recognitionEngine(); });
        SpeechRecognitionManager manager(chooser, settings);
        QVERIFY(!manager.start());
        const auto speak = [&](const QString &engine, std::vector<float> audio, const QStringList &words, int atLeast) {
            QTRY_COMPARE_WITH_TIMEOUT(manager.recognizer()->engineName(), engine, 10000);
            manager.latestText = QString();
            // Fed as capture would, at about twice real time, then a pause that ends the sentence.
            audio.resize(audio.size() + 2 * 16000, 0.0f);
            for (std::size_t i = 0; i < audio.size(); i += 1600) {
                const void *plane = audio.data() + i;
                manager.append(AudioBuffer::view(AudioFormat::recognizerTarget(), { plane },
                    std::uint32_t(std::min<std::size_t>(1600, audio.size() - i))));
                QTest::qWait(50);
            }
            const auto heard = [&] {
                return std::count_if(words.begin(), words.end(),
                    [&](const QString &w) { return manager.latestText.get().contains(w, Qt::CaseInsensitive); });
            };
            QTRY_VERIFY2_WITH_TIMEOUT(heard() >= atLeast, qPrintable(manager.latestText.get()), 60000);
        };
        QTRY_COMPARE_WITH_TIMEOUT(manager.recognizer()->engineName(), AppSettings::accurateEngine, 10000);
        settings.setRecognitionEngine(AppSettings::lightEngine);
        speak(AppSettings::lightEngine, recording(QStringLiteral("0880")), { QStringLiteral("young man") }, 1);
        settings.setRecognitionEngine(AppSettings::accurateEngine);
        settings.setSelectedLanguage(QStringLiteral("es-ES")); // only the accurate engine serves it
        speak(AppSettings::accurateEngine, *spanish,
            QStringLiteral("perro corre parque mientras niños pelota").split(u' '), 4);
        QCOMPARE(manager.recognizer()->localeIdentifier(), QStringLiteral("es-ES"));
        QVERIFY(manager.latestError.get().isEmpty());
        manager.stop();
    }
};

QTEST_GUILESS_MAIN(WhisperEngineTest)
#include "WhisperEngineTest.moc"
