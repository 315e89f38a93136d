#include "captioning/SoundFrontEnd.h"

#include <QTest>

#include <cmath>
#include <limits>

namespace {

// Speech-like bursts: 200 ms of a 440 Hz tone, 100 ms of nothing, at `dbfs` RMS inside a burst.
std::vector<float> bursts(double seconds, double dbfs, double offset = 0)
{
    std::vector<float> out(std::size_t(seconds * 16000));
    const double amplitude = std::sqrt(2.0) * std::pow(10.0, dbfs / 20.0);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = float(offset + ((i % 4800) < 3200 ? amplitude * std::sin(2 * M_PI * 440 * double(i) / 16000) : 0.0));
    return out;
}

// The level inside the bursts, from sample `from` on.
double burstLevelDbfs(const std::vector<float> &s, std::size_t from)
{
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = from; i < s.size(); ++i)
        if ((i % 4800) >= 400 && (i % 4800) < 2800)
            sum += double(s[i]) * s[i], ++n;
    return 10 * std::log10(sum / double(n));
}

// Within the band the front end leaves alone (and a little over, for the measuring).
bool nearTarget(double dbfs)
{
    const SoundFrontEnd::Options o;
    return std::abs(dbfs - o.targetDbfs) <= o.bandDb + 1.5;
}

std::vector<float> run(SoundFrontEnd &fe, const std::vector<float> &in)
{
    std::vector<float> out;
    // Odd-sized pieces, as capture delivers them: frames are whole across calls.
    for (std::size_t i = 0; i < in.size(); i += 333)
        fe.process(in.data() + i, std::min<std::size_t>(333, in.size() - i), out);
    return out;
}

class CountingSuppressor final : public NoiseSuppressor
{
public:
    explicit CountingSuppressor(int *frames) : m_frames(frames) { }
    void process(float *) override { ++*m_frames; }
    int *m_frames;
};

} // namespace

class SoundFrontEndTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Quiet and loud sources are brought to the edge of the band around the target level, within the
    // gain's limits (a source too quiet for the ceiling gets exactly the ceiling); ordinary ones pass.
    void gainConverges_data()
    {
        QTest::addColumn<double>("inputDbfs");
        QTest::addColumn<double>("expectedDbfs");
        const SoundFrontEnd::Options o;
        QTest::newRow("ordinary") << o.targetDbfs + 4 << o.targetDbfs + 4;
        QTest::newRow("30 dB quieter") << o.targetDbfs - 30 << o.targetDbfs - o.bandDb;
        QTest::newRow("below the ceiling") << -75.0 << -75.0 + o.maxGainDb;
        QTest::newRow("loud") << -10.0 << o.targetDbfs + o.bandDb;
    }
    void gainConverges()
    {
        QFETCH(double, inputDbfs);
        QFETCH(double, expectedDbfs);
        int suppressed = 0;
        SoundFrontEnd fe(std::make_unique<CountingSuppressor>(&suppressed));
        const auto in = bursts(10, inputDbfs);
        const auto out = run(fe, in);
        QCOMPARE(out.size(), in.size() / 160 * 160);
        std::size_t sounding = 0; // the suppressor hears every frame but digital silence
        for (std::size_t f = 0; f + 160 <= in.size(); f += 160)
            sounding += std::any_of(in.begin() + f, in.begin() + f + 160, [](float x) { return x != 0; }) ? 1 : 0;
        QCOMPARE(std::size_t(suppressed), sounding);
        const double level = burstLevelDbfs(out, out.size() - 16 * 4800);
        QVERIFY2(std::abs(level - expectedDbfs) < 2.5, qPrintable(QString::number(level)));
        QVERIFY(fe.gainDb() <= SoundFrontEnd::Options {}.maxGainDb + 1e-9);
    }

    // Hostile input: nothing that is not a finite sample comes out, peaks stay under the ceiling, no audio
    // is lost, and speech that follows is brought to the target level again.
    void survivesBadInput_data()
    {
        QTest::addColumn<std::vector<float>>("bad");
        std::vector<float> nan(16000, std::numeric_limits<float>::quiet_NaN()), square(3 * 16000);
        for (std::size_t i = 0; i < nan.size(); i += 3)
            nan[i] = i % 2 ? std::numeric_limits<float>::infinity() : 1e30f;
        for (std::size_t i = 0; i < square.size(); ++i)
            square[i] = (i / 40) % 2 ? 1.0f : -1.0f;
        auto jump = bursts(5, -50);
        const auto loud = bursts(2, -10);
        jump.insert(jump.end(), loud.begin(), loud.end());
        QTest::newRow("NaN and infinite") << nan;
        QTest::newRow("DC offset") << bursts(5, -30, 0.5);
        QTest::newRow("full-scale square wave") << square;
        QTest::newRow("+40 dB jump") << jump;
    }
    void survivesBadInput()
    {
        QFETCH(std::vector<float>, bad);
        SoundFrontEnd fe(nullptr);
        auto in = bursts(3, -30);
        in.insert(in.end(), bad.begin(), bad.end());
        in.resize(in.size() / 4800 * 4800 + 4800, 0.0f);
        const auto speech = bursts(20, -30); // after a loud stretch the gain comes back slowly
        in.insert(in.end(), speech.begin(), speech.end());
        const auto out = run(fe, in);
        QCOMPARE(out.size(), in.size() / 160 * 160);
        const float ceiling = SoundFrontEnd::Options {}.ceiling;
        QVERIFY(
            std::all_of(out.begin(), out.end(), [&](float x) { return std::isfinite(x) && std::abs(x) <= ceiling; }));
        QVERIFY(nearTarget(burstLevelDbfs(out, out.size() - 8 * 4800)));
    }

    // Digital silence is never amplified and leaves the gain where it was, however long it lasts (a minute
    // here, long enough for any drift to show), and speech after it still gets the gain it needs at once.
    void leavesSilenceSilent()
    {
        SoundFrontEnd fe(nullptr);
        run(fe, bursts(4, -50)); // a quiet source: the gain is high
        const double gain = fe.gainDb();
        QVERIFY(gain > 10);
        const std::vector<float> minute(60 * 16000, 0.0f);
        std::vector<float> out;
        fe.process(minute.data(), minute.size(), out);
        QVERIFY(std::all_of(out.begin(), out.end(), [](float x) { return x == 0.0f; }));
        QCOMPARE(fe.gainDb(), gain);
        QVERIFY(nearTarget(burstLevelDbfs(run(fe, bursts(1, -50)), 0)));
    }
};

QTEST_GUILESS_MAIN(SoundFrontEndTest)
#include "SoundFrontEndTest.moc"
