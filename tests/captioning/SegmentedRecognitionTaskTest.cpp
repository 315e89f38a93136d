#include "captioning/SegmentedRecognitionTask.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Calls each utterance with loud samples in it `word`, from its first loud sample to its last: enough to
// follow where the task puts utterances on the clock. It hears speech itself where the samples are loud, or
// leaves that to the task's detector.
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

class SegmentedRecognitionTaskTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // With the decoder's voice detection or the task's: audio the queue had to drop still counts on the clock
    // (speech said at 25 s is placed at 25 s, not at the 5 s of audio the task was given before it), and
    // words left open by an utterance are finished once a long pause has passed, not only when more words or
    // the end of the audio come.
    void placesAndFinishesUtterances()
    {
        for (const bool hears : { true, false }) {
            Session dropped;
            QCOMPARE(dropped.append(loudBetween(30, 25, 26)), 20u * 16000); // the queue's capacity
            dropped.request->endAudio();
            dropped.start(hears, u"Word."_s);
            QVERIFY(QTest::qWaitFor([&] { return dropped.request->isFinished(); }, 30000));
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

    // Asked to finish the sentence, the task ends the utterance under way after the audio queued so far, even
    // without a closing mark, and reports the sentence before it answers; then it goes on recognising.
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
        s.task->endAudio();
        QVERIFY(QTest::qWaitFor([&] { return s.request->isFinished(); }, 30000));
        QCOMPARE(s.said().size(), 2u);
        std::atomic<bool> answered = false; // an ended task answers at once
        s.task->finishSentence([&] { answered = true; });
        QVERIFY(answered);
    }

    // Live audio piling up: between utterances, the lighter decoder takes over. A recording fed faster than
    // real time is always waiting, and keeps its decoder.
    void fallsBackWhenBehind()
    {
        for (const bool live : { true, false }) {
            Session s(live);
            std::atomic<int> lighterMade = 0;
            s.start(false, u"Word."_s, [&](const auto &, QString *) -> std::unique_ptr<UtteranceDecoder> {
                ++lighterMade;
                return std::make_unique<LoudnessDecoder>(true, u"Light."_s);
            });
            s.append(loudBetween(9.5, 8, 9));
            s.task->endAudio();
            QVERIFY(QTest::qWaitFor([&] { return s.request->isFinished(); }, 30000));
            QCOMPARE(lighterMade.load(), live ? 1 : 0);
            QCOMPARE(s.said().at(0).text, live ? u"Light."_s : u"Word."_s);
        }
    }
};

QTEST_GUILESS_MAIN(SegmentedRecognitionTaskTest)
#include "SegmentedRecognitionTaskTest.moc"
