#include "captioning/SegmentedRecognitionTask.h"
#include "LogCapture.h"
#include "RecognitionRun.h"

namespace {

// A decoder that calls each utterance with loud samples in it "Word.", from its first loud sample to its
// last: enough to follow where the task puts utterances on the clock. It hears speech itself where the
// samples are loud, or leaves that to the task's detector.
class LoudnessDecoder final : public UtteranceDecoder
{
public:
    explicit LoudnessDecoder(bool hears, QString word = QStringLiteral("Word."))
        : m_hears(hears), m_word(std::move(word))
    { }
    bool hearsSpeech() const override { return m_hears; }
    bool writesText() const override { return true; }
    double maxUtteranceSeconds() const override { return 12; }
    std::size_t partialIntervalSamples(std::size_t) const override { return 1600; }
    bool begin() override
    {
        m_fed = 0;
        m_first.reset();
        return true;
    }
    bool feed(const float *samples, std::size_t count) override
    {
        for (std::size_t i = 0; i < count; ++i, ++m_fed) {
            if (samples[i] > 0.25f) {
                m_first = m_first.value_or(m_fed);
                m_last = m_fed + 1;
            }
        }
        m_loud = count > 0 && samples[count - 1] > 0.25f;
        return true;
    }
    bool inSpeech() const override { return m_loud; }
    std::optional<QString> partial() override { return std::nullopt; }
    bool end(DecodedUtterance &out) override
    {
        if (m_first) {
            out.text = m_word;
            out.words = { { m_word, double(*m_first) / 16000, double(m_last) / 16000 } };
        }
        return true;
    }
    void abandon() override { }
    QString takeError() override { return QString(); }

private:
    const bool m_hears;
    const QString m_word;
    std::size_t m_fed = 0, m_last = 0;
    std::optional<std::size_t> m_first;
    bool m_loud = false;
};

// Recognises with loudness decoders, without the sound front end, and the light source given.
class LoudnessRecognizer final : public SpeechRecognizer
{
public:
    UtteranceDecoderSource lighter;
    bool hears = true;
    QString word = QStringLiteral("Word.");
    QString localeIdentifier() const override { return QStringLiteral("en-US"); }
    bool isAvailable() const override { return true; }
    bool supportsOnDeviceRecognition() const override { return true; }
    std::shared_ptr<SpeechRecognitionTask> recognitionTask(
        std::shared_ptr<SpeechAudioRequest> request, ResultHandler handler) override
    {
        SegmentedRecognitionTask::Options options;
        options.frontEnd = false;
        options.lighter = lighter;
        return std::make_shared<SegmentedRecognitionTask>(
            [hears = hears, word = word](
                const std::atomic<bool> &, QString *) { return std::make_unique<LoudnessDecoder>(hears, word); },
            std::move(request), std::move(handler), localeIdentifier(), options);
    }
};

std::vector<float> loudBetween(double seconds, double from, double to)
{
    std::vector<float> samples(std::size_t(seconds * 16000), 0.0f);
    for (std::size_t i = std::size_t(from * 16000); i < std::size_t(to * 16000); ++i)
        samples[i] = 0.5f;
    return samples;
}

} // namespace

class SegmentedRecognitionTaskTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // With the decoder's voice detection or the task's: audio the queue had to drop still counts on the clock
    // (speech said at 25 s is placed at 25 s, not at the 5 s of audio the task was given before it), and
    // words left open by an utterance are finished once a long pause has passed, not only when more words or
    // the end of the audio come.
    void placesAndFinishesUtterances_data()
    {
        QTest::addColumn<bool>("hears");
        QTest::newRow("decoder hears speech") << true;
        QTest::newRow("task detects speech") << false;
    }
    void placesAndFinishesUtterances()
    {
        QFETCH(bool, hears);
        LoudnessRecognizer recognizer;
        recognizer.hears = hears;
        auto request = std::make_shared<SpeechAudioRequest>();
        const std::vector<float> audio = loudBetween(30, 25, 26);
        QVERIFY(request->append(audio.data(), audio.size()) == 20 * 16000);
        request->endAudio();
        std::vector<TimedSentence> sentences;
        std::mutex mutex;
        request->sentenceHandler = [&](const TimedSentence &s) {
            std::lock_guard lock(mutex);
            sentences.push_back(s);
        };
        auto task = recognizer.recognitionTask(request, [](auto &, auto &) {});
        QVERIFY(QTest::qWaitFor([&] { return request->isFinished(); }, 30000));
        {
            std::lock_guard lock(mutex);
            QCOMPARE(sentences.size(), std::size_t(1));
            QVERIFY2(std::abs(sentences[0].start - 25) < 0.02 && std::abs(sentences[0].end - 26) < 0.02,
                qPrintable(QStringLiteral("%1-%2").arg(sentences[0].start).arg(sentences[0].end)));
        }

        recognizer.word = QStringLiteral("and");
        Run run(recognizer);
        const std::vector<float> pause = loudBetween(4, 0.5, 1.5);
        run.request->append(pause.data(), pause.size());
        QVERIFY(QTest::qWaitFor([&] { return run.sentenceList().size() == 1; }, 30000));
    }

    // Asked to finish the sentence, the task ends the utterance under way after the audio queued so far, even
    // without a closing mark, and reports the sentence before it answers; then it goes on recognising.
    void finishesTheSentenceUnderWay()
    {
        LoudnessRecognizer recognizer;
        recognizer.word = QStringLiteral("and rather self");
        Run run(recognizer, true);
        const std::vector<float> speaking = loudBetween(2, 1, 2);
        run.request->append(speaking.data(), speaking.size());
        std::atomic<int> reportedBefore = -1;
        run.task->finishSentence([&] { reportedBefore = int(run.sentenceList().size()); });
        QVERIFY(QTest::qWaitFor([&] { return reportedBefore >= 0; }, 30000));
        QCOMPARE(reportedBefore.load(), 1);
        const TimedSentence said = run.sentenceList().at(0);
        QCOMPARE(said.text, QStringLiteral("and rather self"));
        QVERIFY2(std::abs(said.end - 2) < 0.05, qPrintable(QString::number(said.end)));
        QVERIFY(run.recognise(loudBetween(2, 1, 2)));
        QCOMPARE(run.sentenceList().size(), std::size_t(2));
        std::atomic<bool> answered = false; // an ended task answers at once
        run.task->finishSentence([&] { answered = true; });
        QVERIFY(answered);
    }

    // Live audio piling up: partial text comes less often, then, between utterances, the lighter decoder
    // takes over; each step is logged. A recording fed faster than real time is always waiting, and keeps
    // its decoder.
    void fallsBackWhenBehind()
    {
        for (const bool live : { true, false }) {
            LogCapture log;
            LoudnessRecognizer recognizer;
            recognizer.hears = false; // between utterances while the detector hears nothing
            std::atomic<int> lighterMade = 0;
            recognizer.lighter = [&](const std::atomic<bool> &, QString *) -> std::unique_ptr<UtteranceDecoder> {
                ++lighterMade;
                return std::make_unique<LoudnessDecoder>(true, QStringLiteral("Light."));
            };
            Run run(recognizer, live);
            const std::vector<float> audio = loudBetween(9.5, 8, 9);
            run.request->append(audio.data(), audio.size());
            run.task->endAudio();
            QVERIFY(QTest::qWaitFor([&] { return run.request->isFinished(); }, 30000));
            QCOMPARE(log.count(QStringLiteral("Speech: Recognizer behind by")) >= 2, live);
            QCOMPARE(lighterMade.load(), live ? 1 : 0);
            QCOMPARE(run.sentenceList().at(0).text, live ? QStringLiteral("Light.") : QStringLiteral("Word."));
        }
    }
};

QTEST_GUILESS_MAIN(SegmentedRecognitionTaskTest)
#include "SegmentedRecognitionTaskTest.moc"
