#include "RecognitionRun.h"
#include "SoundServer.h"
#include "captioning/CaptionViewModel.h"
#include "platform/FfmpegAudioDecoder.h"
#include "settings/AppSettings.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <thread>
#include <unistd.h>

namespace {

const QString speech = librivoxFile(QStringLiteral("0870"));

std::unique_ptr<QProcess> start(const QString &program, const QStringList &args, const QStringList &environment = {})
{
    auto process = std::make_unique<QProcess>();
    auto env = QProcessEnvironment::systemEnvironment();
    for (const QString &setting : environment)
        env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
    process->setProcessEnvironment(env);
    process->start(program, args);
    process->waitForStarted();
    return process;
}
std::unique_ptr<QProcess> tool(const QStringList &args, const QStringList &environment = {})
{
    return start(qEnvironmentVariable("SONOREL_CAPTIONS"), args, environment);
}
QString readOut(QProcess &process)
{
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Waits until every thread of the process has slept through half a second: it has done all it can with
// its input so far. (Processor time would not tell: on a busy machine a working process gets little.)
bool becameIdle(qint64 pid)
{
    const auto sleeping = [pid] {
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
        const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        return !threads.isEmpty() && std::all_of(threads.begin(), threads.end(), [&](const QString &thread) {
            QFile stat(tasks.filePath(thread + QStringLiteral("/stat")));
            const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
            const qsizetype state = text.lastIndexOf(')') + 2;
            return state > 1 && state < text.size() && (text[state] == 'S' || text[state] == 'D');
        });
    };
    QElapsedTimer timer;
    timer.start();
    for (int asleep = 0; timer.elapsed() < 120000;) {
        asleep = sleeping() ? asleep + 1 : 0;
        if (asleep == 10)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Waits until the process has taken `signalNumber` off its pending signals: its handler has it.
bool signalTaken(qint64 pid, int signalNumber)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return false;
        quint64 pending = 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("SigPnd:") || line.startsWith("ShdPnd:"))
                pending |= line.mid(7).trimmed().toULongLong(nullptr, 16);
        }
        if (!(pending & (quint64(1) << (signalNumber - 1))))
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

// The tool ended well and printed sentences holding most words of the recording; on standard error, at most
// the line `notice`, as often as it came.
void verifyCaptions(QProcess &process, const QString &out, const QString &notice = QString())
{
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QString err = QString::fromUtf8(process.readAllStandardError());
    if (!notice.isEmpty())
        err.remove(notice + u'\n');
    QVERIFY2(err.isEmpty(), qPrintable(err)); // nothing from the engine reaches the terminal
    QVERIFY2(QRegularExpression(QStringLiteral("^([A-Z][^\\n]*[.?!]\\n)+$")).match(out).hasMatch(), qPrintable(out));
    QVERIFY2(recall(QStringLiteral("0870"), out) >= 0.5, qPrintable(out));
}

// The fewest substitutions, deletions and insertions that turn one list of words into the other.
qsizetype wordDistance(const QStringList &from, const QStringList &to)
{
    std::vector<qsizetype> row(to.size() + 1), next(row.size());
    std::iota(row.begin(), row.end(), 0);
    for (qsizetype i = 1; i <= from.size(); ++i) {
        next[0] = i;
        for (qsizetype j = 1; j <= to.size(); ++j)
            next[j] = std::min({ row[j] + 1, next[j - 1] + 1, row[j - 1] + (from[i - 1] == to[j - 1] ? 0 : 1) });
        std::swap(row, next);
    }
    return row.back();
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

// A mono 16-bit WAV file of a tenth of a second of silence; with `headerOnly`, the header of a stream of
// unknown length and no samples.
QString writeWav(const QString &path, std::uint32_t rate, bool headerOnly = false)
{
    QByteArray wav;
    QDataStream out(&wav, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const quint32 data = headerOnly ? 0xFFFFFFFF : rate / 10 * 2;
    out.writeRawData("RIFF", 4);
    out << quint32(headerOnly ? 36 : 36 + data);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(rate) << quint32(rate * 2) << quint16(2) << quint16(16);
    out.writeRawData("data", 4);
    out << data;
    return writeFile(path, wav + QByteArray(headerOnly ? 0 : int(data), '\0'));
}

// The recording's samples: 16-bit mono after a 44-byte header.
std::vector<qint16> speechSamples()
{
    QFile file(speech);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll().mid(44) : QByteArray();
    std::vector<qint16> samples(std::size_t(bytes.size() / 2));
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 2);
    return samples;
}

// A FLAC stream of silent frames built by hand, to declare what no encoder would: frames of `length` samples
// at a rate of their own (0: the stream's), each with the stream's channels.
struct FlacFrame {
    int rate = 0;
    int length = 0;
};

template <typename T> T crc(const QByteArray &data, int polynomial)
{
    constexpr int top = sizeof(T) * 8 - 8;
    T crc = 0;
    for (const char byte : data) {
        crc ^= T(quint8(byte) << top);
        for (int bit = 0; bit < 8; ++bit)
            crc = T(crc & (1 << (top + 7)) ? (crc << 1) ^ polynomial : crc << 1);
    }
    return crc;
}

QString writeFlac(const QString &path, quint32 rate, int channels, const std::vector<FlacFrame> &frames)
{
    quint64 total = 0;
    for (const FlacFrame &frame : frames)
        total += quint64(frame.length);
    QByteArray file("fLaC\x80\0\0\x22", 8); // the last (and only) metadata block: stream info
    QDataStream info(&file, QIODevice::Append);
    info << quint16(16) << quint16(65535) << quint8(0) << quint16(0) << quint8(0) << quint16(0)
         << (quint64(rate) << 44 | quint64(channels - 1) << 41 | quint64(15) << 36 | total);
    file.append(QByteArray(16, '\0')); // no MD5
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const int length = frames[i].length - 1, frameRate = frames[i].rate;
        QByteArray out("\xff\xf8", 2); // fixed block sizes
        out.append(char(0x70 | (frameRate ? 0x0d : 0))); // a 16-bit block size, and a rate in Hz, follow
        out.append(char((channels - 1) << 4 | 4 << 1)); // channels stored apart, 16 bits each
        out.append(char(i)).append(char(length >> 8)).append(char(length & 0xff)); // frame numbers below 128
        if (frameRate)
            out.append(char(frameRate >> 8)).append(char(frameRate & 0xff));
        out.append(char(crc<quint8>(out, 0x07)));
        out.append(QByteArray(3 * channels, '\0')); // a constant subframe of zero for each channel
        const auto sum = crc<quint16>(out, 0x8005);
        file.append(out.append(char(sum >> 8)).append(char(sum & 0xff)));
    }
    return writeFile(path, file);
}

// What the decoder makes of a whole input, read as the tool reads it (from standard input with
// `viaStdin`): its format, how many frames, its error, and the first channel's samples.
struct Decoded {
    AudioFormat format;
    quint64 frames = 0;
    QString error;
    std::vector<float> first;
};
Decoded decode(const QString &path, bool viaStdin)
{
    Decoded out;
    std::unique_ptr<FfmpegAudioDecoder> decoder;
    if (viaStdin) { // the decoder takes its own copy of the descriptor
        const int saved = ::dup(STDIN_FILENO), fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        ::dup2(fd, STDIN_FILENO);
        decoder = FfmpegAudioDecoder::open(QStringLiteral("-"), &out.error);
        ::dup2(saved, STDIN_FILENO);
        ::close(fd);
        ::close(saved);
    } else {
        decoder = FfmpegAudioDecoder::open(path, &out.error);
    }
    if (!decoder)
        return out;
    out.format = decoder->format();
    const auto rate = std::uint32_t(out.format.sampleRate), channels = out.format.channelCount;
    // A minute at most: a fault that made the input endless ends here.
    for (AudioBuffer block; out.frames < 60u * rate && (block = decoder->next(rate / 10)).frameLength() > 0;) {
        const auto *samples = static_cast<const float *>(block.plane(0));
        for (std::uint32_t i = 0; rate < 100000 && i < block.frameLength(); ++i)
            out.first.push_back(samples[std::size_t(i) * channels]);
        out.frames += block.frameLength();
    }
    out.error = decoder->error();
    return out;
}

// How closely the loudness of the first channel follows that of the recording, in twentieths of a second.
double loudnessMatch(const Decoded &decoded, const std::vector<qint16> &reference)
{
    const std::size_t n = reference.size() / 800, perWindow = std::size_t(decoded.format.sampleRate) / 20;
    std::vector<double> a(n), b(n);
    for (std::size_t i = 0; i < n * 800; ++i)
        b[i / 800] += std::pow(reference[i] / 32768.0, 2);
    for (std::size_t i = 0; i < std::min(decoded.first.size(), n * perWindow); ++i)
        a[i / perWindow] += std::pow(decoded.first[i], 2);
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (std::size_t i = 0; i < n; ++i)
        sa += a[i], sb += b[i], saa += a[i] * a[i], sbb += b[i] * b[i], sab += a[i] * b[i];
    return (double(n) * sab - sa * sb) / std::sqrt((double(n) * saa - sa * sa) * (double(n) * sbb - sb * sb));
}

} // namespace

class CaptionsToolTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // A file made from the recording by `command` ("sox %1 ... %2").
    QString made(const QString &name, const QString &command)
    {
        const QString file = m_dir.filePath(name);
        auto converter = start(command.section(u' ', 0, 0), command.section(u' ', 1).arg(speech, file).split(u' '));
        converter->waitForFinished(60000);
        return file;
    }
    // The recording twice, in a WAV file whose header says 14.2 s over `bytes` of sound.
    QString cutWav(const QString &name, qint64 bytes)
    {
        const QString file = m_dir.filePath(name);
        start(QStringLiteral("sox"), { speech, speech, file })->waitForFinished();
        QFile::resize(file, 44 + bytes);
        return file;
    }

private Q_SLOTS:
    // The tool keeps a hang-up ignored when started under nohup; the tool started here must see it.
    void initTestCase() { ::signal(SIGHUP, SIG_DFL); }

    // The decoder the tool reads --input with. A recording of any container, codec, rate, channel count and
    // sample type comes out whole, at its own rate and channels: losslessly stored, sample for sample; through
    // a lossy codec or another rate, as loud where the recording is. Input that is not a recording, that is
    // cut short, or that would have the tool read other files or grow without bound is refused in plain words.
    void decodesAnyRecording_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("viaStdin");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<double>("seconds"); // the length decoded
        QTest::addColumn<bool>("exact"); // sample for sample; else as loud where the recording is
        QTest::addColumn<QString>("error"); // part of the error; empty: none
        const auto ok = [](const char *name, const QString &file, int rate = 16000, int channels = 1, bool exact = true,
                            bool viaStdin = false) {
            QTest::newRow(name) << file << viaStdin << rate << channels << 7.1 << exact << QString();
        };
        const auto bad = [](const char *name, const QString &file, const QString &error, bool viaStdin = false) {
            QTest::newRow(name) << file << viaStdin << 0 << 0 << 0.0 << false << error;
        };
        const QString ffmpeg = QStringLiteral("ffmpeg -v error -y -i %1 ");
        ok("16 kHz mono 16-bit", speech);
        ok("24-bit", made(QStringLiteral("24.wav"), QStringLiteral("sox %1 -b 24 %2")));
        ok("44.1 kHz stereo float",
            made(QStringLiteral("44k.wav"), QStringLiteral("sox %1 -r 44100 -c 2 -e floating-point -b 32 %2")), 44100,
            2, false);
        ok("48 kHz 6 channels", made(QStringLiteral("48k.wav"), QStringLiteral("sox %1 -r 48000 -c 6 %2")), 48000, 6,
            false);
        const QString flac = made(QStringLiteral("a.flac"), ffmpeg + QStringLiteral("%2"));
        ok("FLAC", flac);
        const QString mp3 = made(QStringLiteral("a.mp3"), ffmpeg + QStringLiteral("-b:a 128k %2"));
        ok("MP3", mp3, 16000, 1, false);
        ok("MP4 video, AAC sound",
            made(QStringLiteral("a.mp4"),
                QStringLiteral(
                    "ffmpeg -v error -f lavfi -i color=size=64x64:rate=5 -i %1 -shortest -c:v mpeg4 -c:a aac "
                    "-b:a 128k %2")),
            16000, 1, false);
        // A stream's WAV header, which gives no length: its end is no cut.
        const QString stream = made(QStringLiteral("stream.wav"), ffmpeg + QStringLiteral("-seekable 0 %2"));
        ok("WAV of unknown length", stream);
        ok("standard input, WAV of unknown length", stream, 16000, 1, true, true);

        const auto path = [this](const char *name) { return m_dir.filePath(QLatin1String(name)); };
        bad("text", librivox + QStringLiteral("fileids"), QStringLiteral("fileids is damaged or is not an audio"));
        start(QStringLiteral("ffmpeg"),
            QStringLiteral("-v error -f lavfi -i color=size=64x64:duration=1 -c:v mpeg4 %1")
                .arg(path("silent.mkv"))
                .split(u' '))
            ->waitForFinished();
        bad("no audio stream", path("silent.mkv"), QStringLiteral("silent.mkv has no audio stream"));
        // Cut off partway, to two thirds: what comes before the cut is decoded, then the error.
        for (const QString &file : { flac, mp3 }) {
            const QString cut = path("cut.") + QFileInfo(file).suffix();
            QFile::copy(file, cut);
            QFile::resize(cut, QFileInfo(cut).size() * 2 / 3);
        }
        bad("truncated FLAC", path("cut.flac"), QStringLiteral("cut.flac is damaged at 4."));
        bad("truncated MP3", path("cut.mp3"),
            QStringLiteral("cut.mp3 ends after 4.7 of its 7.2 seconds: the file is cut short or damaged"));
        // A WAV header that says 14.2 s over a file holding less: FFmpeg forgets such a length.
        bad("WAV cut at a packet's end", cutWav(QStringLiteral("cut-at-packet.wav"), 50 * 4096),
            QStringLiteral("cut-at-packet.wav ends after 6.4 of its 14.2 seconds"));
        bad("rate below 4 kHz", writeWav(path("slow.wav"), 3999),
            QStringLiteral("sample rate 3999 Hz is outside 4000 to 768000 Hz"));
        bad("rate above 768 kHz", writeWav(path("fast.wav"), 768001),
            QStringLiteral("sample rate 768001 Hz is outside"));
        // FLAC frames that each declare their own rate: 65535 samples at 1 Hz are 18 hours.
        bad("FLAC frames at 1 Hz", writeFlac(path("1hz.flac"), 16000, 1, { { 0, 4096 }, { 0, 4096 }, { 1, 65535 } }),
            QStringLiteral("1hz.flac is damaged at 0.5 s: part of it declares a sample rate of 1 Hz, outside 4000 to "
                           "768000 Hz"));
        // A rate that recordings use, 192 times below the stream's, and 8 channels: 400 MB for one frame
        // if converted at once. It is converted a piece at a time, to the end.
        QTest::newRow("FLAC frame at 4 kHz, 768 kHz 8-channel stream")
            << writeFlac(path("4k-768k.flac"), 768000, 8, { { 0, 4096 }, { 4000, 65535 } }) << false << 768000 << 8
            << (4096 + 65535 * 192) / 768000.0 << false << QString();
        // Playlists and lists of files, even of a recording: --input is one recording.
        QDir().mkpath(path("other"));
        QFile::copy(flac, path("other/secret.flac"));
        const QString playlist = QStringLiteral("playlist or a list of other files (%1), not a recording");
        writeFile(path("other.m3u8"),
            "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + path("other/secret.flac").toUtf8()
                + "\n#EXT-X-ENDLIST\n");
        bad("HLS playlist of a file elsewhere", path("other.m3u8"), playlist.arg(QStringLiteral("hls")));
        bad("ffconcat including itself",
            writeFile(path("self.ffconcat"), "ffconcat version 1.0\nfile other/secret.flac\nfile self.ffconcat\n"),
            playlist.arg(QStringLiteral("concat")));
        bad("HLS playlist through standard input", path("other.m3u8"), playlist.arg(QStringLiteral("hls")), true);
    }
    void decodesAnyRecording()
    {
        QFETCH(QString, file);
        QFETCH(bool, viaStdin);
        QFETCH(double, seconds);
        QFETCH(bool, exact);
        QFETCH(QString, error);
        const Decoded decoded = decode(file, viaStdin);
        QVERIFY2(error.isEmpty() ? decoded.error.isEmpty() : decoded.error.contains(error), qPrintable(decoded.error));
        if (!error.isEmpty())
            return;
        QTEST(int(decoded.format.sampleRate), "rate");
        QTEST(int(decoded.format.channelCount), "channels");
        const double decodedSeconds = double(decoded.frames) / decoded.format.sampleRate;
        QVERIFY2(std::abs(decodedSeconds - seconds) < 0.15, qPrintable(QString::number(decodedSeconds)));
        const std::vector<qint16> reference = speechSamples();
        if (exact) {
            QCOMPARE(decoded.first.size(), reference.size());
            for (std::size_t i = 0; i < reference.size(); ++i)
                QVERIFY2(decoded.first[i] == float(reference[i]) / 32768, qPrintable(QString::number(i)));
        } else if (decoded.format.sampleRate < 100000) {
            const double correlation = loudnessMatch(decoded, reference);
            QVERIFY2(correlation > 0.95, qPrintable(QString::number(correlation)));
        }
    }

    // Runs of the tool that end by themselves: bad input exits 2, a failure of the sound server or the speech
    // model exits 1 and says what to do, a file read to its end or for --duration, and live captions for
    // --duration, exit 0.
    void endsWithStatus_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message"); // part of standard error; empty: nothing there
        QTest::addColumn<QString>("heard"); // a word printed; empty: nothing is printed
        QTest::addColumn<QString>("environment");
        const auto row = [](const char *name, const QString &args, int exitCode, const QString &message,
                             const QString &heard = {}, const QString &environment = {}) {
            QTest::newRow(name) << args << exitCode << message << heard << environment;
        };
        const QString input = QStringLiteral("--input ") + speech;
        row("missing file", QStringLiteral("--input /nonexistent/a.wav"), 2,
            QStringLiteral("Cannot open /nonexistent/a.wav"));
        // Words before a cut are printed, then the error.
        const QString cut = QStringLiteral("--input ") + cutWav(QStringLiteral("cut.wav"), 7 * 32000 + 1000);
        row("WAV cut short", cut, 2,
            QStringLiteral("cut.wav ends after 7.0 of its 14.2 seconds: the file is cut short or damaged"),
            QStringLiteral("leisure"));
        row("--duration within a file", QStringLiteral("--duration 3.5 ") + cut, 0, {}, QStringLiteral("dashwood"));
        row("no such language", QStringLiteral("--language xx-XX ") + input, 2,
            QStringLiteral("no speech model for language xx-XX"));
        row("bad duration", QStringLiteral("--duration soon"), 2, QStringLiteral("--duration"));
        row("bad engine", QStringLiteral("--engine fast"), 2, QStringLiteral("--engine must be accurate or light"));
        row("bad format", QStringLiteral("--format doc"), 2, QStringLiteral("--format must be txt, srt, vtt or json"));
        row("missing input device", QStringLiteral("--source input:no_such_mic --duration 5"), 2,
            QStringLiteral("sonorel-captions: there is no input device no_such_mic (see --list-sources)\n"));
        row("no sound server", QStringLiteral("--duration 20"), 1,
            QStringLiteral("sonorel-captions: Sonorel could not connect to the sound server"), {},
            QStringLiteral("PULSE_SERVER=unix:") + m_dir.filePath(QStringLiteral("nowhere")));
        // A model folder for en-GB whose language model is not one: found, but it cannot be loaded.
        const QString models = m_dir.filePath(QStringLiteral("models/en-gb/")),
                      debian = QStringLiteral("/usr/share/pocketsphinx/model/en-us/");
        QDir().mkpath(models);
        QFile::link(debian + QStringLiteral("en-us"), models + QStringLiteral("acoustic"));
        QFile::link(debian + QStringLiteral("cmudict-en-us.dict"), models + QStringLiteral("words.dict"));
        writeFile(models + QStringLiteral("en-gb.lm"), "this is not an ARPA language model\n");
        row("model cannot be loaded", QStringLiteral("--language en-GB ") + input, 1,
            QStringLiteral("sonorel-captions: ") + CaptionViewModel::siriHelpMessage() + QStringLiteral(" (Speech: "),
            {}, QStringLiteral("SONOREL_MODEL_PATH=") + m_dir.filePath(QStringLiteral("models")));
        row("live, for --duration", QStringLiteral("--duration 1"), 0, {});
    }
    void endsWithStatus()
    {
        QFETCH(QString, args);
        QFETCH(QString, message);
        QFETCH(QString, heard);
        QFETCH(QString, environment);
        auto process = tool(args.split(u' '), environment.split(u' ', Qt::SkipEmptyParts));
        QVERIFY(process->waitForFinished(60000));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QTEST(process->exitCode(), "exitCode");
        const QString out = readOut(*process);
        QVERIFY2(
            heard.isEmpty() ? out.isEmpty() : out.toLower().contains(heard) && out.endsWith(u'\n'), qPrintable(out));
        const QString err = QString::fromUtf8(process->readAllStandardError());
        QVERIFY2(message.isEmpty() ? err.isEmpty() : err.contains(message), qPrintable(err));
    }

    // Sound as people play it, at another rate and in stereo: the recording under steady noise 15 dB below
    // it, and 30 dB too quiet.
    void captionsDegradedSound_data()
    {
        QTest::addColumn<QString>("sox"); // makes degraded.wav from the recording (and noise.wav)
        QTest::addColumn<double>("maxErrorRate");
        QTest::newRow("under pink noise")
            << QStringLiteral("-m -v 1 %1 -v 0.073 noise.wav -r 44100 -c 2 degraded.wav") << 0.6;
        QTest::newRow("30 dB quieter") << QStringLiteral("%1 degraded.wav gain -30") << 0.35;
    }
    void captionsDegradedSound()
    {
        QFETCH(QString, sox);
        QFETCH(double, maxErrorRate);
        const auto run = [this](QStringList args) {
            for (QString &a : args)
                a = a.endsWith(QStringLiteral(".wav")) && !a.startsWith(u'/') ? m_dir.filePath(a) : a;
            return start(QStringLiteral("sox"), args)->waitForFinished();
        };
        QVERIFY(run(QStringLiteral("-R -n -r 16000 -c 1 -b 16 noise.wav synth 7.1 pinknoise").split(u' ')));
        QVERIFY(run(sox.arg(speech).split(u' ')));
        auto process = tool({ QStringLiteral("--input"), m_dir.filePath(QStringLiteral("degraded.wav")) });
        QVERIFY(process->waitForFinished(120000));
        QCOMPARE(process->exitCode(), 0);
        const QString out = readOut(*process);
        const QStringList reference = referenceWords(QStringLiteral("0870"));
        const double errorRate = double(wordDistance(reference, wordsOf(out))) / double(reference.size());
        QVERIFY2(errorRate <= maxErrorRate, qPrintable(QStringLiteral("%1: %2").arg(errorRate).arg(out)));
    }

    // Sentences as JSON, from either engine: each sentence and its words, and no time goes back. Whisper's
    // decodes are not repeatable to the comma on a busy machine, so its run is held to sentences, not to a count.
    void timedSentences_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QStringList>("ids"); // the recordings said one after the other
        QTest::addColumn<int>("sentences"); // at least
        QTest::addColumn<double>("seconds"); // of the recordings
        QTest::newRow("light") << AppSettings::lightEngine
                               << QStringList { QStringLiteral("0870"), QStringLiteral("0880"), QStringLiteral("0890") }
                               << 3 << 15.4;
        QTest::newRow("accurate") << AppSettings::accurateEngine << QStringList { QStringLiteral("0870") } << 1 << 7.1;
    }
    void timedSentences()
    {
        QFETCH(QString, engine);
        QFETCH(QStringList, ids);
        QFETCH(int, sentences);
        QFETCH(double, seconds);
        QStringList parts;
        for (const QString &id : ids)
            parts << librivoxFile(id);
        const QString file = m_dir.filePath(engine + QStringLiteral(".wav"));
        QVERIFY(start(QStringLiteral("sox"), parts << file)->waitForFinished());
        auto process = tool({ QStringLiteral("--input"), file, QStringLiteral("--format"), QStringLiteral("json"),
                                QStringLiteral("--engine"), engine },
            { QStringLiteral("SONOREL_WHISPER_MODEL=") + qEnvironmentVariable("SONOREL_WHISPER_MODEL_FILE") });
        QVERIFY(process->waitForFinished(120000));
        QCOMPARE(process->exitCode(), 0);
        const QByteArray out = process->readAllStandardOutput();
        QJsonParseError error;
        const QJsonArray array = QJsonDocument::fromJson(out, &error).array();
        QVERIFY2(error.error == QJsonParseError::NoError && array.size() >= sentences, out.constData());
        QList<double> times;
        QString said;
        for (const QJsonValue &sentence : array) {
            const QJsonArray words = sentence[u"words"].toArray();
            QVERIFY(!sentence[u"text"].toString().isEmpty() && !words.isEmpty());
            said += sentence[u"text"].toString() + u' ';
            times << sentence[u"start"].toDouble() << words.first()[u"start"].toDouble()
                  << words.last()[u"end"].toDouble() << sentence[u"end"].toDouble();
        }
        QVERIFY2(std::is_sorted(times.begin(), times.end()) && times.first() >= 0 && times.last() <= seconds,
            out.constData());
        QVERIFY2(recall(ids.first(), said) >= 0.5, out.constData());
    }

    // A signal ends the tool at once even while its input stalls, and the sentence in progress is printed: a
    // stream of unknown length on standard input, as a recorder writes it, holds the speech and then nothing
    // more, and the input stays open.
    void signalEndsAStalledInput()
    {
        auto process = tool({ QStringLiteral("--input"), QStringLiteral("-") });
        const std::vector<qint16> samples = speechSamples();
        QFile header(writeWav(m_dir.filePath(QStringLiteral("stream-header.wav")), 16000, true));
        QVERIFY(header.open(QIODevice::ReadOnly));
        process->write(header.readAll()
            + QByteArray(reinterpret_cast<const char *>(samples.data()), qsizetype(samples.size() * 2)));
        while (process->bytesToWrite() > 0) // all of it is in the pipe, not in QProcess's buffer
            QVERIFY(process->waitForBytesWritten(60000));
        QVERIFY(becameIdle(process->processId())); // the speech is heard; the tool waits on its input
        QElapsedTimer timer;
        timer.start();
        ::kill(pid_t(process->processId()), SIGTERM);
        // The sentence comes at once, the exit after the engine's teardown: 5 ms and 0.4 s under the
        // sanitizers on an idle machine. The bounds leave room for a busy one; before, the tool waited for
        // its input for good.
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += readOut(*process)).contains(u'\n'), 5000);
        const qint64 printed = timer.elapsed();
        QVERIFY(process->waitForFinished(10000));
        const qint64 ended = timer.elapsed();
        out += readOut(*process);
        verifyCaptions(*process, out);
        QVERIFY2(printed < 2000 && ended < 5000,
            qPrintable(QStringLiteral("printed %1 ms and ended %2 ms after the signal").arg(printed).arg(ended)));
    }

    // SIGTERM, SIGINT or SIGHUP finishes the current utterance, prints it and exits 0 without captioning the
    // rest. The same request sent twice at once (`timeout` signals the tool and then its process group;
    // systemd sends SIGTERM and then SIGHUP) lets the tool finish its sentence; a signal more than two seconds
    // later, a person pressing Ctrl+C again, ends it at once with status 130. The tool is stopped between the
    // two, to hold it at that moment.
    void repeatedSignalIsOneRequest_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::addColumn<int>("gapMs");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("SIGTERM then SIGHUP, as systemd sends them") << SIGTERM << SIGHUP << 0 << 0;
        QTest::newRow("SIGINT again after two seconds") << SIGINT << SIGINT << 2200 << 130;
    }
    void repeatedSignalIsOneRequest()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        QFETCH(int, gapMs);
        QFETCH(int, exitCode);
        const QString longFile = m_dir.filePath(QStringLiteral("long.wav"));
        if (!QFileInfo::exists(longFile))
            QVERIFY(start(QStringLiteral("sox"), { speech, longFile, QStringLiteral("repeat"), QStringLiteral("20") })
                        ->waitForFinished());
        auto process = tool({ QStringLiteral("--input"), longFile });
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += readOut(*process)).contains(u'\n'), 120000);
        const auto pid = pid_t(process->processId());
        ::kill(pid, first);
        QVERIFY(signalTaken(pid, first));
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the handler has run
        ::kill(pid, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        ::kill(pid, second);
        ::kill(pid, SIGCONT);
        QVERIFY(process->waitForFinished(30000));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        out += readOut(*process);
        if (exitCode != 0) {
            QCOMPARE(process->exitCode(), exitCode);
            return;
        }
        verifyCaptions(*process, out);
        QVERIFY2(out.split(u' ').size() < 250, qPrintable(out)); // of the recording's 420 words
    }

    // Live captions of one application: while it is silent the tool waits for it, saying so on standard error;
    // what it plays is captioned, and SIGTERM prints the last sentence and ends the tool.
    void captionsOneApplicationLive()
    {
        SoundServer server;
        auto process = tool({ QStringLiteral("--source"), QStringLiteral("app:Ghost") });
        // While Ghost is silent the tool keeps a listener on the output device: it is connected.
        QTRY_VERIFY_WITH_TIMEOUT(!server.recordingSources().isEmpty(), 60000);
        QVERIFY(server.play(speech, { QStringLiteral("--client-name=Ghost") })->waitForFinished(60000));
        ::kill(pid_t(process->processId()), SIGTERM);
        QVERIFY(process->waitForFinished(60000));
        verifyCaptions(*process, readOut(*process), QStringLiteral("Waiting for Ghost\u2026"));
    }

    // The languages, and the sources to listen to: any program names itself, and a name with escape codes, a
    // tab and a line break is listed as one line of two columns, its control characters shown as symbols.
    void lists()
    {
        auto process = tool({ QStringLiteral("--list-languages") });
        QVERIFY(process->waitForFinished());
        QCOMPARE(process->readAllStandardOutput(), QByteArray("en-US\tEnglish (US)\tlight\n"));
        SoundServer server;
        auto player = server.play(speech, { QStringLiteral("--client-name=Ghost\x1b[31m\tapp:Forged\nsystem") });
        QTRY_VERIFY_WITH_TIMEOUT(!server.pactl(QStringLiteral("list short sink-inputs")).trimmed().isEmpty(), 30000);
        process = tool({ QStringLiteral("--list-sources") });
        QVERIFY(process->waitForFinished(60000));
        QCOMPARE(process->exitCode(), 0);
        player->kill();
        player->waitForFinished();
        const QString ghost = QStringLiteral("Ghost\u241b[31m\u2409app:Forged\u240asystem");
        QCOMPARE(readOut(*process), QStringLiteral("system\tAll System Sound\napp:%1\t%1\n").arg(ghost));
    }
};

QTEST_GUILESS_MAIN(CaptionsToolTest)
#include "CaptionsToolTest.moc"
