#include "platform/WhisperEngine.h"
#include "RecognitionRun.h"
#include "captioning/SpeechEngineChooser.h"
#include "platform/PocketSphinxEngine.h"
#include "platform/WhisperDecoder.h"
#include "settings/AppSettings.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

// The quantized model the install step makes, named by the test's environment.
const QString modelFile = qEnvironmentVariable("SONOREL_WHISPER_MODEL");

std::shared_ptr<PocketSphinxEngine> pocketSphinx()
{
    PocketSphinxEngine::Options options;
    options.modelRoots = { u"/usr/share/pocketsphinx/model"_s };
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

// A minute of a plucked melody over chords with a hi-hat.
std::vector<float> music()
{
    std::vector<float> out(60 * 16000);
    QRandomGenerator random(5);
    const double scale[] { 261.6, 293.7, 329.6, 392.0, 440.0, 523.3, 587.3, 659.3 },
        bass[] { 130.8, 174.6, 196.0, 220.0 };
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / 16000, noise = random.generateDouble() - 0.5;
        const int k = int(t * 4);
        const double f = scale[(k * 5 + k / 3) % 8], envelope = std::exp(-(t - k / 4.0) * 6);
        double v = noise * 0.3 * std::exp(-(t * 2 - int(t * 2)) * 40);
        for (int h = 1; h <= 4; ++h)
            v += std::sin(2 * M_PI * f * h * t) / h * envelope * 0.25;
        for (double m : { 1.0, 1.25, 1.5 })
            v += std::sin(2 * M_PI * bass[int(t / 2) % 4] * m * t) * 0.08;
        out[i] = float(std::clamp(v, -1.0, 1.0));
    }
    return out;
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

    // Two LibriVox sentences with a pause between, at their spoken pace in one task: partial text, then the
    // words as said, with capitals and marks, each sentence placed on the audio clock where it was said.
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
        Run run(*m_engine->recognizer(u"en-US"_s), true);
        QVERIFY(run.recognise(samples, true));
        const QStringList texts = run.results();
        QVERIFY2(texts.size() >= 3 && run.errors.isEmpty() && !run.onThisThread, qPrintable(texts.join(u'\n')));
        const auto sentences = run.sentenceList();
        QStringList report;
        for (const TimedSentence &s : sentences)
            report << u"%1-%2 %3"_s.arg(s.start).arg(s.end).arg(s.text);
        QCOMPARE(sentences.size(), std::size_t(2)); // "Mr." ends no sentence
        const QStringList expected { u"And Mr. John Dashwood had then leisure"_s,
            u"rather selfish is to be ill-disposed."_s };
        for (std::size_t i = 0; i < 2; ++i) {
            QVERIFY2(sentences[i].text.contains(expected[qsizetype(i)]), qPrintable(report.join(u'\n')));
            QVERIFY2(
                std::abs(sentences[i].start - starts[i]) < 0.5 && sentences[i].end < (i == 0 ? starts[1] + 0.3 : 1e9),
                qPrintable(report.join(u'\n')));
            for (const TimedWord &w : sentences[i].words)
                QVERIFY(w.start >= sentences[i].start && w.end <= sentences[i].end && w.start < w.end);
        }
    }

    // A minute of music: hardly a word, and none of Whisper's "Thank you." over music.
    void inventsNothing()
    {
        Run run(*m_engine->recognizer(u"en-US"_s));
        QVERIFY(run.recognise(music()));
        QString heard;
        for (const TimedSentence &s : run.sentenceList())
            heard += s.text + u' ';
        QVERIFY2(heard.split(u' ', Qt::SkipEmptyParts).size() <= 2, qPrintable(heard));
    }

    // Guards: loops are found, sound descriptions go, partial text keeps the words two decodes agreed on.
    void guards()
    {
        for (const auto &[loops, text] : std::initializer_list<std::pair<bool, QString>> {
                 { true, u"I'm going to the store. I'm going to the store. I'm going to the store."_s },
                 { true, u"tall tall tall tall tall years"_s }, { true, u"la "_s.repeated(40) },
                 { false, u"No, no, no, he said."_s },
                 { false, u"He might have been made respectable; he might even have been made amiable himself."_s } })
            QVERIFY2(WhisperDecoder::isRepetitive(text) == loops, qPrintable(text));
        for (const auto &[said, kept] : std::initializer_list<std::pair<QString, QString>> { { u"[Music]"_s, {} },
                 { u"(upbeat music) Hello there ♪"_s, u"Hello there"_s },
                 { u"So *laughs* we [BLANK_AUDIO] went."_s, u"So we went."_s } }) {
            std::vector<TimedWord> timed;
            for (const QString &w : said.split(u' '))
                timed.push_back({ w, 0, 1 });
            QStringList words;
            for (const TimedWord &w : WhisperDecoder::withoutSoundDescriptions(timed))
                words << w.text;
            QCOMPARE(words.join(u' '), kept);
        }
        QStringList settled;
        const QStringList first = u"And mister John"_s.split(u' '), second = u"And Mr. John Dashwood had"_s.split(u' ');
        QCOMPARE(WhisperDecoder::settle(settled, {}, first), first);
        QCOMPARE(WhisperDecoder::settle(settled, first, second), second);
        QCOMPARE(settled, QStringList { u"And"_s });
        QCOMPARE(WhisperDecoder::settle(settled, second, u"Then Mr. John Dashwood had then"_s.split(u' ')),
            u"And Mr. John Dashwood had then"_s.split(u' '));
    }

    // A missing model offers no accurate engine; a damaged one gives one notice, and the light engine instead.
    void unusableModel()
    {
        const auto light = pocketSphinx();
        const QString file = m_dir.filePath(u"damaged.bin"_s);
        const auto missing = whisperOn(file, WhisperEngine::defaultModelSha256(), light);
        const SpeechEngineChooser without(missing, light, [] { return AppSettings::accurateEngine; });
        QVERIFY(missing->supportedLocales().isEmpty() && without.engineFor(u"es-ES"_s).isEmpty());
        QCOMPARE(without.engineFor(u"en-US"_s), AppSettings::lightEngine);
        QFile source(modelFile), copy(file);
        QVERIFY(source.open(QIODevice::ReadOnly) && copy.open(QIODevice::WriteOnly));
        QByteArray head = source.read(1 << 20);
        head[head.size() / 2] = char(head[head.size() / 2] ^ 0x55);
        QVERIFY(copy.write(head) == head.size());
        copy.close();
        SpeechEngineChooser chooser(whisperOn(file, WhisperEngine::defaultModelSha256(), light), light,
            [] { return AppSettings::accurateEngine; });
        QCOMPARE(chooser.engineFor(u"en-US"_s), AppSettings::accurateEngine);
        Run run(*chooser.recognizer(u"en-US"_s));
        QVERIFY(run.recognise(recording(u"0870"_s)));
        QCOMPARE(run.notices.size(), 1);
        QVERIFY2(run.notices[0].contains(u"light speech engine"_s), qPrintable(run.notices[0]));
        QVERIFY(run.errors.isEmpty() && recall(u"0870"_s, run.results().value(run.results().size() - 1)) >= 0.6);
        QCOMPARE(chooser.engineFor(u"en-US"_s), AppSettings::lightEngine);
        QCOMPARE(chooser.recognizer(u"en-US"_s)->engineName(), AppSettings::lightEngine);
    }

    // Captions come in the chosen language, the model's own: a Spanish sentence (espeak-ng's voice) in Spanish.
    void recognisesSpanish()
    {
        const QString wav = m_dir.filePath(u"es.wav"_s), resampled = m_dir.filePath(u"es16.wav"_s);
        const QString said = u"El perro corre por el parque mientras los niños juegan con una pelota roja."_s;
        QVERIFY(QProcess::execute(u"espeak-ng"_s, { u"-v"_s, u"es"_s, u"-w"_s, wav, said }) == 0);
        QVERIFY(QProcess::execute(u"sox"_s, { wav, u"-r"_s, u"16000"_s, resampled }) == 0);
        Run run(*m_engine->recognizer(u"es-ES"_s));
        QVERIFY(run.recognise(FfmpegAudioDecoder::readMonoFloat(resampled, nullptr).value_or(std::vector<float>())));
        const QString heard = run.results().join(u' ');
        const QStringList words = u"perro corre parque mientras niños pelota"_s.split(u' ');
        QVERIFY2(std::count_if(words.begin(), words.end(),
                     [&](const QString &w) { return heard.contains(w, Qt::CaseInsensitive); })
                >= 4,
            qPrintable(heard));
    }
};

QTEST_GUILESS_MAIN(WhisperEngineTest)
#include "WhisperEngineTest.moc"
