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
    void silence(double seconds) { samples.resize(samples.size() + std::size_t(seconds * 100) * frame, 0.0f); }
    void word(double seconds)
    {
        ++words;
        samples.resize(samples.size() + std::size_t(seconds * 100) * frame, 0.5f + float(words) * 1e-4f);
    }
    // Words of 0.3 s with short gaps the decoder does not hear as pauses.
    void talk(double seconds, double gap = 0.06)
    {
        for (double t = 0; t < seconds; t += 0.3 + gap) {
            word(0.3);
            silence(gap);
        }
    }
};

// A stand-in for the decoder: it hears speech in loud frames and keeps hearing it for 0.3 s after
// them, as a voice-activity detector does; it records the utterance each frame went to.
struct Outcome {
    std::map<int, std::set<int>> utterancesOfWord;
    std::map<int, std::size_t> framesOfWord;
    int utterances = 0, pauses = 0, cuts = 0, restarts = 0;
    std::size_t framesDecoded = 0;
};

Outcome segment(const Script &script, UtteranceSegmenter::Options options = {})
{
    UtteranceSegmenter s(options);
    Outcome o;
    int hangover = 0;
    bool open = false, ended = false;
    // Audio arrives in capture-sized pieces while decoding goes on.
    for (std::size_t at = 0;;) {
        const auto step = s.next();
        switch (step.kind) {
        case UtteranceSegmenter::Kind::Decode:
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
            break;
        case UtteranceSegmenter::Kind::EndAtPause:
            ++o.pauses;
            open = false;
            break;
        case UtteranceSegmenter::Kind::Cut:
            ++o.cuts;
            open = false;
            break;
        case UtteranceSegmenter::Kind::RestartIdle:
            ++o.restarts;
            open = false;
            break;
        case UtteranceSegmenter::Kind::None:
            if (at >= script.samples.size()) {
                if (ended)
                    return o;
                s.endOfAudio();
                ended = true;
                break;
            }
            const std::size_t n = std::min<std::size_t>(20 * frame, script.samples.size() - at);
            s.push(script.samples.data() + at, n);
            at += n;
            break;
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
        Script late;
        late.silence(14.5);
        late.talk(8);
        late.silence(1);
        QTest::newRow("late speech after 14.5 s of quiet") << late << 0 << 0;
        Script running;
        running.silence(0.5);
        running.talk(30);
        QTest::newRow("30 s without a pause") << running << 2 << 0;
        Script sentences;
        for (int i = 0; i < 4; ++i) {
            sentences.talk(4.5);
            sentences.silence(0.5);
        }
        QTest::newRow("sentences with pauses") << sentences << 0 << 0;
        Script quiet;
        quiet.silence(300);
        quiet.talk(2);
        quiet.silence(1);
        QTest::newRow("speech after 5 minutes of quiet") << quiet << 0 << 10;
    }
    void keepsEveryWord()
    {
        QFETCH(Script, script);
        QFETCH(int, cuts);
        QFETCH(int, restarts);
        const Outcome o = segment(script);
        QCOMPARE(o.framesDecoded * frame, script.samples.size());
        QCOMPARE(int(o.utterancesOfWord.size()), script.words);
        for (const auto &[word, utterances] : o.utterancesOfWord) {
            QVERIFY2(utterances.size() == 1, qPrintable(QStringLiteral("word %1 split").arg(word)));
            QCOMPARE(o.framesOfWord.at(word), std::size_t(30));
        }
        QCOMPARE(o.cuts, cuts);
        QCOMPARE(o.restarts, restarts);
    }

    // The cut goes at the quietest 50 ms of the last second before the cap.
    void cutsAtQuietestPoint_data()
    {
        QTest::addColumn<std::vector<double>>("levels");
        QTest::addColumn<int>("expected");
        std::vector<double> dip(100, 1.0);
        for (std::size_t i = 60; i < 66; ++i)
            dip[i] = 0.01;
        QTest::newRow("a dip") << dip << 63;
        std::vector<double> two = dip;
        two[20] = two[21] = two[22] = two[23] = two[24] = 0.001;
        QTest::newRow("the deeper of two dips") << two << 22;
        QTest::newRow("flat: nearest the cap") << std::vector<double>(100, 1.0) << 97;
    }
    void cutsAtQuietestPoint()
    {
        QFETCH(std::vector<double>, levels);
        QFETCH(int, expected);
        QCOMPARE(int(UtteranceSegmenter::quietestFrame(levels)), expected);
    }
};

QTEST_GUILESS_MAIN(UtteranceSegmenterTest)
#include "UtteranceSegmenterTest.moc"
