#include "captioning/UtteranceSegmenter.h"

#include <QTest>

#include <map>
#include <set>

namespace {

constexpr std::size_t frame = UtteranceSegmenter::frameSamples;

// A made-up recording: words are stretches of loud frames, each frame carrying its word's number in
// its samples, so that where every word went can be read back from the decoder's side.
struct Script {
    std::vector<float> samples;
    int words = 0;
    void add(double seconds, float value)
    {
        samples.resize(samples.size() + std::size_t(seconds * 100) * frame, value);
    }
    // Each part is a stretch of quiet, then one of talk: words of 0.3 s with gaps of 0.06 s that the decoder
    // does not hear as pauses.
    static Script of(std::initializer_list<std::pair<double, double>> parts)
    {
        Script s;
        for (const auto &[quiet, talk] : parts) {
            s.add(quiet, 0.0f);
            for (double t = 0; t < talk; t += 0.36) {
                s.add(0.3, 0.5f + float(++s.words) * 1e-4f);
                s.add(0.06, 0.0f);
            }
        }
        return s;
    }
};

// A stand-in for the decoder: it hears speech in loud frames and keeps hearing it for 0.3 s after
// them, as a voice-activity detector does; it records the utterance each frame went to.
struct Outcome {
    std::map<int, std::set<int>> utterancesOfWord;
    std::map<int, std::size_t> framesOfWord;
    int utterances = 0, cuts = 0, restarts = 0;
    std::size_t framesDecoded = 0;
};

Outcome segment(const Script &script)
{
    UtteranceSegmenter s;
    Outcome o;
    int hangover = 0;
    bool open = false, ended = false;
    for (std::size_t at = 0;;) { // audio arrives in capture-sized pieces while decoding goes on
        const auto step = s.next();
        using Kind = UtteranceSegmenter::Kind;
        o.cuts += step.kind == Kind::Cut;
        o.restarts += step.kind == Kind::RestartIdle;
        if (step.kind == Kind::Decode) {
            o.utterances += open ? 0 : 1;
            open = true;
            for (std::size_t i = 0; i < step.samples.size(); i += frame) {
                const float v = step.samples[i];
                const int word = v > 0 ? int(std::lround((v - 0.5f) * 1e4f)) : 0;
                hangover = v > 0 ? 30 : std::max(0, hangover - 1);
                if (word > 0) {
                    o.utterancesOfWord[word].insert(o.utterances);
                    ++o.framesOfWord[word];
                }
            }
            o.framesDecoded += step.samples.size() / frame;
            s.report(hangover > 0);
        } else if (step.kind != Kind::None) {
            open = false;
        } else if (at < script.samples.size()) {
            const std::size_t n = std::min<std::size_t>(20 * frame, script.samples.size() - at);
            s.push(script.samples.data() + at, n);
            at += n;
        } else if (!std::exchange(ended, true)) {
            s.endOfAudio();
        } else {
            return o;
        }
    }
}

} // namespace

Q_DECLARE_METATYPE(Script)

class UtteranceSegmenterTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Every word reaches the decoder whole, in one utterance, and all the audio is decoded; the cap counts
    // speech from its first frame, never the silence before it. A decoder that hears nothing is restarted
    // now and then, which produces no utterance end and no cut.
    void keepsEveryWord_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<int>("cuts");
        QTest::addColumn<int>("restarts");
        QTest::newRow("late speech after 14.5 s of quiet") << Script::of({ { 14.5, 8 }, { 1, 0 } }) << 0 << 0;
        QTest::newRow("30 s without a pause") << Script::of({ { 0.5, 30 } }) << 2 << 0;
        QTest::newRow("sentences with pauses")
            << Script::of({ { 0, 4.5 }, { 0.5, 4.5 }, { 0.5, 4.5 }, { 0.5, 4.5 }, { 0.5, 0 } }) << 0 << 0;
        QTest::newRow("speech after 5 minutes of quiet") << Script::of({ { 300, 2 }, { 1, 0 } }) << 0 << 10;
    }
    void keepsEveryWord()
    {
        QFETCH(Script, script);
        const Outcome o = segment(script);
        QCOMPARE(o.framesDecoded * frame, script.samples.size());
        QCOMPARE(int(o.utterancesOfWord.size()), script.words);
        for (const auto &[word, utterances] : o.utterancesOfWord) {
            QVERIFY2(utterances.size() == 1, qPrintable(QStringLiteral("word %1 split").arg(word)));
            QCOMPARE(o.framesOfWord.at(word), std::size_t(30));
        }
        QTEST(o.cuts, "cuts");
        QTEST(o.restarts, "restarts");
    }

    // The cut goes at the quietest 50 ms of the last second before the cap.
    void cutsAtQuietestPoint()
    {
        std::vector<double> levels(100, 1.0);
        QCOMPARE(UtteranceSegmenter::quietestFrame(levels), 97u); // flat: nearest the cap
        std::fill(levels.begin() + 60, levels.begin() + 66, 0.01);
        QCOMPARE(UtteranceSegmenter::quietestFrame(levels), 63u);
        std::fill(levels.begin() + 20, levels.begin() + 25, 0.001); // the deeper of two dips
        QCOMPARE(UtteranceSegmenter::quietestFrame(levels), 22u);
    }
};

QTEST_GUILESS_MAIN(UtteranceSegmenterTest)
#include "UtteranceSegmenterTest.moc"
