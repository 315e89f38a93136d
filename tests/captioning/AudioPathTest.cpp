#include "captioning/AudioFormatConverter.h"
#include "captioning/SoundFrontEnd.h"
#include "captioning/UtteranceSegmenter.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <map>
#include <set>

using namespace Qt::StringLiterals;

// The audio on its way to a decoder (conversion, level treatment, utterances), fed made-up signals.
namespace {

using Failure = AudioFormatConverter::Failure;

// Speech-like bursts: 200 ms of a 440 Hz tone, 100 ms of nothing, at `dbfs` RMS inside a burst.
std::vector<float> bursts(double seconds, double dbfs, double offset = 0)
{
    std::vector<float> out(std::size_t(seconds * 16000));
    const double amplitude = std::sqrt(2.0) * std::pow(10.0, dbfs / 20.0);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = float(offset + ((i % 4800) < 3200 ? amplitude * std::sin(2 * M_PI * 440 * double(i) / 16000) : 0.0));
    return out;
}

// The burst level of the last `seconds` of `in` through the front end, fed in capture's odd-sized pieces.
double levelAfter(SoundFrontEnd &fe, const std::vector<float> &in, double seconds, std::vector<float> &out)
{
    for (std::size_t i = 0; i < in.size(); i += 333)
        fe.process(in.data() + i, std::min<std::size_t>(333, in.size() - i), out);
    if (out.size() != in.size() / 160 * 160)
        return NAN;
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = out.size() - std::size_t(seconds * 16000); i < out.size(); ++i)
        if ((i % 4800) >= 400 && (i % 4800) < 2800)
            sum += double(out[i]) * out[i], ++n;
    return 10 * std::log10(sum / double(n));
}

constexpr std::size_t frame = UtteranceSegmenter::frameSamples;

// A made-up recording whose loud frames carry their word's number, read back on the decoder's side.
struct Script {
    std::vector<float> samples;
    int words = 0;
    void add(double seconds, float value)
    {
        samples.resize(samples.size() + std::size_t(seconds * 100) * frame, value);
    }
    // Parts of quiet then talk: words of 0.3 s with gaps the decoder does not hear as pauses.
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

// A stand-in decoder that hears speech until 0.3 s after loud frames, as a voice-activity detector does.
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

class AudioPathTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // outRate / inRate x frames, truncated; a rate with no finite 32-bit count is refused, not allocated.
    void conversionCapacity()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (const auto &[rate, frames, capacity] : std::vector<std::tuple<double, uint, int>> { { 48000, 1024, 341 },
                 { 8000, 100, 200 }, { 48000, 2, 0 }, { nan, 1024, -1 }, { -48000, 1024, -1 }, { 1e-9, 1024, -1 } }) {
            std::vector<float> left(frames, 0.25f), right(frames, 0.25f);
            const auto in = AudioBuffer::view(AudioFormat::standard(rate, 2), { left.data(), right.data() }, frames);
            Failure failure {};
            const auto out = AudioFormatConverter::convert(in, AudioFormat::recognizerTarget(), nullptr, &failure);
            QVERIFY2((out ? int(out->frameLength()) : -1) == capacity && (out || failure == Failure::OutputCapacity),
                qPrintable(QString::number(rate)));
        }
    }

    // Layouts without a mapping, or views whose planes do not match their format, are refused, not read.
    void conversionRefusesLayouts()
    {
        std::vector<float> a(16);
        for (const AudioBuffer &in :
            { AudioBuffer::view(AudioFormat::standard(16000.0, 3), { a.data(), a.data(), a.data() }, 16),
                AudioBuffer::view(AudioFormat::standard(48000.0, 2), { a.data() }, 16),
                AudioBuffer::view(AudioFormat::standard(48000.0, 0), {}, 16) }) {
            QString error;
            Failure failure {};
            QVERIFY(!AudioFormatConverter::convert(in, AudioFormat::standard(16000.0, 2), &error, &failure));
            QVERIFY(failure == Failure::UnsupportedFormat && !error.isEmpty());
        }
    }

    // Quiet and loud sources reach the edge of the band around the target, within the gain's limits.
    void gainConverges()
    {
        const SoundFrontEnd::Options o;
        for (const auto &[input, expected] : std::vector<std::pair<double, double>> {
                 { o.targetDbfs + 4, o.targetDbfs + 4 }, { o.targetDbfs - 30, o.targetDbfs - o.bandDb },
                 { -75, -75 + o.maxGainDb }, { -10, o.targetDbfs + o.bandDb } }) {
            SoundFrontEnd fe(nullptr);
            std::vector<float> out;
            const double level = levelAfter(fe, bursts(10, input), 5, out);
            QVERIFY2(std::abs(level - expected) < 2.5 && fe.gainDb() <= o.maxGainDb + 1e-9,
                qPrintable(QStringLiteral("%1 dBFS in, %2 out").arg(input).arg(level)));
        }
    }

    // Hostile input: only finite samples under the ceiling come out, and later speech reaches the target.
    void survivesBadInput()
    {
        std::vector<float> nan(16000, std::numeric_limits<float>::quiet_NaN()), square(3 * 16000),
            jump = bursts(5, -50);
        for (std::size_t i = 0; i < nan.size(); i += 3)
            nan[i] = i % 2 ? std::numeric_limits<float>::infinity() : 1e30f;
        for (std::size_t i = 0; i < square.size(); ++i)
            square[i] = (i / 40) % 2 ? 1.0f : -1.0f;
        const auto loud = bursts(2, -10); // +40 dB
        jump.insert(jump.end(), loud.begin(), loud.end());
        for (const auto &bad : { nan, bursts(5, -30, 0.5), square, jump }) {
            SoundFrontEnd fe(nullptr);
            auto in = bursts(3, -30);
            in.insert(in.end(), bad.begin(), bad.end());
            in.resize(in.size() / 4800 * 4800 + 4800, 0.0f);
            const auto speech = bursts(20, -30); // after a loud stretch the gain comes back slowly
            in.insert(in.end(), speech.begin(), speech.end());
            std::vector<float> out;
            const double level = levelAfter(fe, in, 2.5, out);
            const SoundFrontEnd::Options o;
            QVERIFY(std::all_of(
                out.begin(), out.end(), [&](float x) { return std::isfinite(x) && std::abs(x) <= o.ceiling; }));
            QVERIFY2(std::abs(level - o.targetDbfs) <= o.bandDb + 1.5, qPrintable(QString::number(level)));
        }
    }

    // Every word reaches the decoder whole, in one utterance; the cap counts from the first speech, and a
    // decoder that hears nothing is restarted now and then without cutting.
    void segmentsKeepEveryWord()
    {
        for (const auto &[name, script, cuts, restarts] : std::vector<std::tuple<QString, Script, int, int>> {
                 { u"late speech after 14.5 s of quiet"_s, Script::of({ { 14.5, 8 }, { 1, 0 } }), 0, 0 },
                 { u"30 s without a pause"_s, Script::of({ { 0.5, 30 } }), 2, 0 },
                 { u"sentences with pauses"_s,
                     Script::of({ { 0, 4.5 }, { 0.5, 4.5 }, { 0.5, 4.5 }, { 0.5, 4.5 }, { 0.5, 0 } }), 0, 0 },
                 { u"speech after 5 minutes of quiet"_s, Script::of({ { 300, 2 }, { 1, 0 } }), 0, 10 } }) {
            const Outcome o = segment(script);
            bool whole
                = o.framesDecoded * frame == script.samples.size() && int(o.utterancesOfWord.size()) == script.words;
            for (const auto &[word, utterances] : o.utterancesOfWord)
                whole &= utterances.size() == 1 && o.framesOfWord.at(word) == 30;
            QVERIFY2(whole && o.cuts == cuts && o.restarts == restarts,
                qPrintable(u"%1: %2 cuts, %3 restarts"_s.arg(name).arg(o.cuts).arg(o.restarts)));
        }
    }
};

QTEST_GUILESS_MAIN(AudioPathTest)
#include "AudioPathTest.moc"
