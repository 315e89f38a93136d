#include "AudioFormatConverter.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <numbers>

namespace {

// Frequency of a tone from its rising zero crossings, over the middle of the buffer so that the
// resampler's edges do not count.
double dominantFrequency(const float *samples, std::uint32_t frames, double rate)
{
    const std::uint32_t begin = frames / 8;
    const std::uint32_t end = frames - frames / 8;
    int firstCrossing = -1;
    int lastCrossing = -1;
    int crossings = 0;
    for (std::uint32_t i = begin + 1; i < end; ++i) {
        if (samples[i - 1] < 0.0f && samples[i] >= 0.0f) {
            if (firstCrossing < 0)
                firstCrossing = int(i);
            lastCrossing = int(i);
            ++crossings;
        }
    }
    if (crossings < 2)
        return 0.0;
    return double(crossings - 1) * rate / double(lastCrossing - firstCrossing);
}

double rms(const float *samples, std::uint32_t from, std::uint32_t to)
{
    double sum = 0.0;
    for (std::uint32_t i = from; i < to; ++i)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(to - from));
}

} // namespace

class TestAudioFormatConverter final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void capacity_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<uint>("frames");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<uint>("capacity");
        QTest::newRow("48000 x 1024") << 48000.0 << 1024u << true << 341u;
        QTest::newRow("24000 x 512") << 24000.0 << 512u << true << 341u;
        QTest::newRow("48000 x 960") << 48000.0 << 960u << true << 320u;
        QTest::newRow("44100 x 441") << 44100.0 << 441u << true << 160u;
        QTest::newRow("16000 x 777") << 16000.0 << 777u << true << 777u;
        QTest::newRow("8000 x 100") << 8000.0 << 100u << true << 200u;
        QTest::newRow("48000 x 2") << 48000.0 << 2u << true << 0u;
        QTest::newRow("rate 0") << 0.0 << 1024u << false << 0u;
        QTest::newRow("rate NaN") << std::numeric_limits<double>::quiet_NaN() << 1024u << false << 0u;
        QTest::newRow("rate negative") << -48000.0 << 1024u << false << 0u;
        QTest::newRow("rate tiny") << 1e-9 << 1024u << false << 0u;
    }
    void capacity()
    {
        QFETCH(double, rate);
        QFETCH(uint, frames);
        QFETCH(bool, fits);
        QFETCH(uint, capacity);
        const auto got = AudioFormatConverter::outputCapacity(rate, 16000.0, frames);
        QCOMPARE(got.has_value(), fits);
        if (fits)
            QCOMPARE(*got, capacity);

        // The converter gives a buffer of exactly that many frames, or nothing with an error.
        if (!fits) {
            std::vector<float> left(frames, 0.25f);
            const auto in = AudioBuffer::view(AudioFormat::standard(rate, 1), { left.data() }, frames);
            QString error;
            AudioFormatConverter::Failure failure {};
            const auto out = AudioFormatConverter::convert(in, AudioFormat::recognizerTarget(), &error, &failure);
            QVERIFY(!out);
            QVERIFY(!error.isEmpty());
            QCOMPARE(failure, AudioFormatConverter::Failure::OutputCapacity);
        } else {
            std::vector<float> left(frames, 0.25f), right(frames, 0.25f);
            const auto in = AudioBuffer::view(AudioFormat::standard(rate, 2), { left.data(), right.data() }, frames);
            QString error;
            const auto out = AudioFormatConverter::convert(in, AudioFormat::recognizerTarget(), &error);
            QVERIFY2(out, qPrintable(error));
            QCOMPARE(out->format(), AudioFormat::recognizerTarget());
            QCOMPARE(out->frameCapacity(), capacity);
            QCOMPARE(out->frameLength(), capacity);
            QVERIFY(!out->isView());
        }
    }

    // The tone keeps its pitch and the stereo pair is averaged, whatever the input layout.
    void tone_data()
    {
        QTest::addColumn<int>("sampleType");
        QTest::addColumn<bool>("interleaved");
        QTest::addColumn<double>("rate");
        QTest::newRow("float planar 48000") << int(SampleType::Float32) << false << 48000.0;
        QTest::newRow("int16 interleaved 48000") << int(SampleType::Int16) << true << 48000.0;
        QTest::newRow("int16 interleaved 44100") << int(SampleType::Int16) << true << 44100.0;
        QTest::newRow("float interleaved 16000") << int(SampleType::Float32) << true << 16000.0;
        QTest::newRow("float planar 8000") << int(SampleType::Float32) << false << 8000.0;
    }
    void tone()
    {
        QFETCH(int, sampleType);
        QFETCH(bool, interleaved);
        QFETCH(double, rate);
        const std::uint32_t frames = std::uint32_t(rate / 10); // 100 ms
        const AudioFormat format { SampleType(sampleType), rate, 2, interleaved };
        // Left at 0.8, right at 0.4: the mono average is a 0.6 tone.
        auto value = [&](std::uint32_t i, double amplitude) {
            return amplitude * std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / rate);
        };
        std::vector<float> fl(frames), fr(frames), fi(frames * 2);
        std::vector<std::int16_t> si(frames * 2);
        for (std::uint32_t i = 0; i < frames; ++i) {
            fl[i] = float(value(i, 0.8));
            fr[i] = float(value(i, 0.4));
            fi[2 * i] = fl[i];
            fi[2 * i + 1] = fr[i];
            si[2 * i] = std::int16_t(std::lround(value(i, 0.8) * 32767.0));
            si[2 * i + 1] = std::int16_t(std::lround(value(i, 0.4) * 32767.0));
        }
        std::vector<const void *> planes;
        if (!interleaved)
            planes = { fl.data(), fr.data() };
        else if (format.sampleType == SampleType::Int16)
            planes = { si.data() };
        else
            planes = { fi.data() };
        const auto in = AudioBuffer::view(format, planes, frames);

        QString error;
        const auto out = AudioFormatConverter::convert(in, AudioFormat::recognizerTarget(), &error);
        QVERIFY2(out, qPrintable(error));
        QCOMPARE(out->frameLength(), 1600u);
        const float *mono = out->floatChannelData(0);
        QVERIFY(mono);
        const double frequency = dominantFrequency(mono, out->frameLength(), 16000.0);
        QVERIFY2(std::abs(frequency - 1000.0) < 5.0, qPrintable(QString::number(frequency)));
        const double level = rms(mono, 200, 1400);
        QVERIFY2(std::abs(level - 0.6 / std::sqrt(2.0)) < 0.01, qPrintable(QString::number(level)));
    }

    // Mono to an Int16 interleaved stereo target duplicates the channel and clips at full scale.
    void int16Target()
    {
        std::vector<float> mono { 0.0f, 0.5f, -0.5f, 1.5f, -1.5f };
        const auto in = AudioBuffer::view(AudioFormat::standard(16000.0, 1), { mono.data() }, 5);
        const AudioFormat target { SampleType::Int16, 16000.0, 2, true };
        const auto out = AudioFormatConverter::convert(in, target);
        QVERIFY(out);
        QCOMPARE(out->frameLength(), 5u);
        const auto *s = static_cast<const std::int16_t *>(out->plane(0));
        const std::int16_t expected[] = { 0, 0, 16384, 16384, -16384, -16384, 32767, 32767, -32768, -32768 };
        for (int i = 0; i < 10; ++i)
            QCOMPARE(s[i], expected[i]);
    }

    void unsupportedLayouts()
    {
        std::vector<float> a(16, 0.0f), b(16, 0.0f), c(16, 0.0f);
        QString error;
        AudioFormatConverter::Failure failure {};
        // Three channels to two have no mapping.
        const auto three = AudioBuffer::view(AudioFormat::standard(16000.0, 3), { a.data(), b.data(), c.data() }, 16);
        QVERIFY(!AudioFormatConverter::convert(three, AudioFormat::standard(16000.0, 2), &error, &failure));
        QCOMPARE(failure, AudioFormatConverter::Failure::UnsupportedFormat);
        // A view whose planes do not match its format is refused rather than read out of bounds.
        error.clear();
        const auto missing = AudioBuffer::view(AudioFormat::standard(48000.0, 2), { a.data() }, 16);
        QVERIFY(!AudioFormatConverter::convert(missing, AudioFormat::recognizerTarget(), &error, &failure));
        QVERIFY(!error.isEmpty());
        const auto none = AudioBuffer::view(AudioFormat::standard(48000.0, 0), {}, 16);
        QVERIFY(!AudioFormatConverter::convert(none, AudioFormat::recognizerTarget(), &error, &failure));
        QCOMPARE(failure, AudioFormatConverter::Failure::UnsupportedFormat);
    }
};

QTEST_GUILESS_MAIN(TestAudioFormatConverter)
#include "tst_audioformatconverter.moc"
