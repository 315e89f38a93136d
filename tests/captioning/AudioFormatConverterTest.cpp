#include "captioning/AudioFormatConverter.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <numbers>

using Failure = AudioFormatConverter::Failure;

class AudioFormatConverterTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The output holds outRate / inRate x frames frames, truncated; a rate that gives no finite 32-bit count
    // is refused rather than allocated.
    void capacity_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<uint>("frames");
        QTest::addColumn<int>("capacity"); // -1: refused
        QTest::newRow("48000 x 1024") << 48000.0 << 1024u << 341;
        QTest::newRow("8000 x 100, upsampled") << 8000.0 << 100u << 200;
        QTest::newRow("48000 x 2, nothing left") << 48000.0 << 2u << 0;
        QTest::newRow("rate NaN") << std::numeric_limits<double>::quiet_NaN() << 1024u << -1;
        QTest::newRow("rate negative") << -48000.0 << 1024u << -1;
        QTest::newRow("rate tiny, count beyond 32 bits") << 1e-9 << 1024u << -1;
    }
    void capacity()
    {
        QFETCH(double, rate);
        QFETCH(uint, frames);
        QFETCH(int, capacity);
        std::vector<float> left(frames, 0.25f), right(frames, 0.25f);
        const auto in = AudioBuffer::view(AudioFormat::standard(rate, 2), { left.data(), right.data() }, frames);
        Failure failure {};
        const auto out = AudioFormatConverter::convert(in, AudioFormat::recognizerTarget(), nullptr, &failure);
        QCOMPARE(out ? int(out->frameLength()) : -1, capacity);
        QVERIFY(out || failure == Failure::OutputCapacity);
    }

    // A 1 kHz tone keeps its pitch and the stereo pair is averaged, resampled or not (interleaved and 16-bit
    // input are covered end to end by the caption tool's WAV files).
    void tone()
    {
        for (const double rate : { 48000.0, 16000.0, 8000.0 }) {
            const std::uint32_t frames = std::uint32_t(rate / 10); // 100 ms
            std::vector<float> left(frames), right(frames); // the mono average is a 0.6 tone
            for (std::uint32_t i = 0; i < frames; ++i) {
                right[i] = float(0.4 * std::sin(2 * std::numbers::pi * 1000.0 * i / rate));
                left[i] = 2 * right[i];
            }
            const auto in = AudioBuffer::view(AudioFormat::standard(rate, 2), { left.data(), right.data() }, frames);
            const auto out = AudioFormatConverter::convert(in, AudioFormat::recognizerTarget());
            QVERIFY(out && out->frameLength() == 1600u);
            // Rising zero crossings and the level, away from the resampler's edges.
            const float *mono = out->floatChannelData(0);
            int crossings = 0, first = -1, last = -1;
            double energy = 0;
            for (int i = 200; i < 1400; ++i) {
                energy += mono[i] * mono[i];
                if (mono[i - 1] < 0 && mono[i] >= 0) {
                    crossings++;
                    last = i;
                    first = first < 0 ? i : first;
                }
            }
            const double frequency = (crossings - 1) * 16000.0 / (last - first), level = std::sqrt(energy / 1200);
            QVERIFY2(std::abs(frequency - 1000.0) < 5.0 && std::abs(level - 0.6 / std::sqrt(2.0)) < 0.01,
                qPrintable(QStringLiteral("at %1 Hz: %2 Hz, level %3").arg(rate).arg(frequency).arg(level)));
        }
    }

    // Layouts without a mapping, or views whose planes do not match their format, are refused, not read.
    void unsupportedLayouts()
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
};

QTEST_GUILESS_MAIN(AudioFormatConverterTest)
#include "AudioFormatConverterTest.moc"
