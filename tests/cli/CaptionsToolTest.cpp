#include "RecognitionRun.h"
#include "SoundServer.h"
#include "captioning/CaptionViewModel.h"
#include "settings/AppSettings.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString speech = librivoxFile(u"0870"_s);

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
// Waits until every thread of the process has slept through half a second: it has done all it can so far.
bool becameIdle(qint64 pid)
{
    QElapsedTimer timer;
    timer.start();
    for (int asleep = 0; timer.elapsed() < 120000; std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        const QDir tasks(u"/proc/%1/task"_s.arg(pid));
        const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        const bool all = !threads.isEmpty() && std::all_of(threads.begin(), threads.end(), [&](const QString &t) {
            QFile stat(tasks.filePath(t + u"/stat"_s));
            const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
            const qsizetype state = text.lastIndexOf(')') + 2;
            return state > 1 && state < text.size() && (text[state] == 'S' || text[state] == 'D');
        });
        if ((asleep = all ? asleep + 1 : 0) == 10)
            return true;
    }
    return false;
}

// Waits until the process has taken signal `number`: it is no longer pending.
bool signalTaken(qint64 pid, int number)
{
    for (int i = 0; i < 50000; ++i, std::this_thread::sleep_for(std::chrono::microseconds(200))) {
        QFile status(u"/proc/%1/status"_s.arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return false;
        quint64 pending = 0;
        for (const QByteArray &line : status.readAll().split('\n'))
            pending |= line.startsWith("SigPnd:") || line.startsWith("ShdPnd:")
                ? line.mid(7).trimmed().toULongLong(nullptr, 16)
                : 0;
        if (!(pending & (quint64(1) << (number - 1))))
            return true;
    }
    return false;
}

// The tool ended well and printed sentences of most words of the recording; on standard error, `notice` at most.
void verifyCaptions(QProcess &process, const QString &out, const QString &notice = QString())
{
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QString err = QString::fromUtf8(process.readAllStandardError());
    if (!notice.isEmpty())
        err.remove(notice + u'\n');
    QVERIFY2(err.isEmpty(), qPrintable(err)); // nothing from the engine reaches the terminal
    QVERIFY2(QRegularExpression(u"^([A-Z][^\\n]*[.?!]\\n)+$"_s).match(out).hasMatch(), qPrintable(out));
    QVERIFY2(recall(u"0870"_s, out) >= 0.5, qPrintable(out));
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
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

// A FLAC stream of silent frames built by hand, to declare what no encoder would (a frame rate 0: the stream's).
using FlacFrame = std::pair<int, int>; // rate, length

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
        total += quint64(frame.second);
    QByteArray file("fLaC\x80\0\0\x22", 8); // the last (and only) metadata block: stream info
    QDataStream info(&file, QIODevice::Append);
    info << quint16(16) << quint16(65535) << quint8(0) << quint16(0) << quint8(0) << quint16(0)
         << (quint64(rate) << 44 | quint64(channels - 1) << 41 | quint64(15) << 36 | total);
    file.append(QByteArray(16, '\0')); // no MD5
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const int length = frames[i].second - 1, frameRate = frames[i].first;
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

// What the decoder makes of a whole input, read as the tool reads it: format, frames, error, first channel.
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
        decoder = FfmpegAudioDecoder::open(u"-"_s, &out.error);
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

    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }
    // A file made by `command` ("sox %1 ... %2"), %1 being the recording.
    QString made(const char *name, const QString &command)
    {
        const QStringList args
            = QString(command.section(u' ', 1)).replace(u"%1"_s, speech).replace(u"%2"_s, path(name)).split(u' ');
        start(command.section(u' ', 0, 0), args)->waitForFinished(60000);
        return path(name);
    }
    // The recording twice, in a WAV file whose header says 14.2 s over `bytes` of sound.
    QString cutWav(const char *name, qint64 bytes)
    {
        QFile::resize(made(name, u"sox %1 %1 %2"_s), 44 + bytes);
        return path(name);
    }

private Q_SLOTS:
    void initTestCase()
    {
        ::signal(SIGHUP, SIG_DFL); // the tool keeps a hang-up ignored when started under nohup
#if !SONOREL_SANITIZED // hostile input decoded here grows this process; sanitized, ASAN_OPTIONS bound it
        rlimit limit {};
        QFile statm(u"/proc/self/statm"_s);
        QVERIFY(statm.open(QIODevice::ReadOnly) && ::getrlimit(RLIMIT_AS, &limit) == 0);
        const auto pages = rlim_t(statm.readAll().split(' ')[0].toULongLong());
        limit.rlim_cur = std::min(limit.rlim_max, pages * rlim_t(::sysconf(_SC_PAGESIZE)) + (rlim_t(2) << 30));
        QVERIFY(::setrlimit(RLIMIT_AS, &limit) == 0); // what it holds now and 2 GiB more
#endif
    }

    // The decoder of --input: any recording whole, at its own rate and channels (lossless: sample for sample;
    // else as loud where the recording is); what is not one recording, is cut, or would grow is refused.
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
        const QString ffmpeg = u"ffmpeg -v error -y -i %1 "_s;
        ok("16 kHz mono 16-bit", speech);
        ok("24-bit", made("24.wav", u"sox %1 -b 24 %2"_s));
        ok("44.1 kHz stereo float", made("44k.wav", u"sox %1 -r 44100 -c 2 -e floating-point -b 32 %2"_s), 44100, 2,
            false);
        ok("48 kHz 6 channels", made("48k.wav", u"sox %1 -r 48000 -c 6 %2"_s), 48000, 6, false);
        const QString flac = made("a.flac", ffmpeg + u"%2"_s), mp3 = made("a.mp3", ffmpeg + u"-b:a 128k %2"_s);
        ok("FLAC", flac);
        ok("MP3", mp3, 16000, 1, false);
        ok("MP4 video, AAC sound",
            made("a.mp4",
                u"ffmpeg -v error -f lavfi -i color=size=64x64:rate=5 -i %1 -shortest -c:v mpeg4 -c:a aac -b:a 128k %2"_s),
            16000, 1, false);
        // A stream's WAV header, which gives no length: its end is no cut.
        const QString stream = made("stream.wav", ffmpeg + u"-seekable 0 %2"_s);
        ok("WAV of unknown length", stream);
        ok("standard input, WAV of unknown length", stream, 16000, 1, true, true);

        bad("text", librivox + u"fileids"_s, u"fileids is damaged or is not an audio"_s);
        made("silent.mkv", u"ffmpeg -v error -f lavfi -i color=size=64x64:duration=1 -c:v mpeg4 %2"_s);
        bad("no audio stream", path("silent.mkv"), u"silent.mkv has no audio stream"_s);
        // Cut off partway, to two thirds: what comes before the cut is decoded, then the error.
        for (const QString &file : { flac, mp3 }) {
            const QString cut = path("cut.") + QFileInfo(file).suffix();
            QFile::copy(file, cut);
            QFile::resize(cut, QFileInfo(cut).size() * 2 / 3);
        }
        bad("truncated FLAC", path("cut.flac"), u"cut.flac is damaged at 4."_s);
        bad("truncated MP3", path("cut.mp3"), u"cut.mp3 ends after 4.7 of its 7.2 seconds: the file is cut short"_s);
        // A WAV header that says 14.2 s over a file holding less: FFmpeg forgets such a length.
        bad("WAV cut at a packet's end", cutWav("cut-at-packet.wav", 50 * 4096),
            u"ends after 6.4 of its 14.2 seconds"_s);
        // A tenth of a second of silence at rates outside what recordings use.
        bad("rate below 4 kHz", made("slow.wav", u"sox -n -r 3999 -b 16 %2 trim 0 0.1"_s),
            u"sample rate 3999 Hz is outside 4000 to 768000 Hz"_s);
        bad("rate above 768 kHz", made("fast.wav", u"sox -n -r 768001 -b 16 %2 trim 0 0.1"_s),
            u"sample rate 768001 Hz is outside"_s);
        // FLAC frames that each declare their own rate: 65535 samples at 1 Hz are 18 hours.
        bad("FLAC frames at 1 Hz", writeFlac(path("1hz.flac"), 16000, 1, { { 0, 4096 }, { 0, 4096 }, { 1, 65535 } }),
            u"1hz.flac is damaged at 0.5 s: part of it declares a sample rate of 1 Hz"_s);
        // 4 kHz in a 768 kHz 8-channel stream: 400 MB for one frame if converted at once, not a piece at a time.
        QTest::newRow("FLAC frame at 4 kHz, 768 kHz 8-channel stream")
            << writeFlac(path("4k-768k.flac"), 768000, 8, { { 0, 4096 }, { 4000, 65535 } }) << false << 768000 << 8
            << (4096 + 65535 * 192) / 768000.0 << false << QString();
        // Playlists and lists of files, even of a recording: --input is one recording.
        QDir().mkpath(path("other"));
        QFile::copy(flac, path("other/secret.flac"));
        const QString playlist = u"playlist or a list of other files (%1), not a recording"_s;
        writeFile(path("other.m3u8"),
            "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + path("other/secret.flac").toUtf8()
                + "\n#EXT-X-ENDLIST\n");
        bad("HLS playlist of a file elsewhere", path("other.m3u8"), playlist.arg(u"hls"_s));
        bad("ffconcat including itself",
            writeFile(path("self.ffconcat"), "ffconcat version 1.0\nfile other/secret.flac\nfile self.ffconcat\n"),
            playlist.arg(u"concat"_s));
        bad("HLS playlist through standard input", path("other.m3u8"), playlist.arg(u"hls"_s), true);
    }
    void decodesAnyRecording()
    {
        QFETCH(QString, file);
        QFETCH(bool, viaStdin);
        QFETCH(double, seconds);
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
        QFETCH(bool, exact);
        if (exact) {
            QCOMPARE(decoded.first.size(), reference.size());
            for (std::size_t i = 0; i < reference.size(); ++i)
                QVERIFY2(decoded.first[i] == float(reference[i]) / 32768, qPrintable(QString::number(i)));
        } else if (decoded.format.sampleRate < 100000) {
            const double correlation = loudnessMatch(decoded, reference);
            QVERIFY2(correlation > 0.95, qPrintable(QString::number(correlation)));
        }
    }

    // Runs that end by themselves: bad input exits 2, a failing sound server or model 1, the rest 0.
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
        const QString input = u"--input "_s + speech, cut = u"--input "_s + cutWav("cut.wav", 7 * 32000 + 1000);
        row("missing file", u"--input /nonexistent/a.wav"_s, 2, u"Cannot open /nonexistent/a.wav"_s);
        row("WAV cut short", cut, 2, u"cut.wav ends after 7.0 of its 14.2 seconds"_s,
            u"leisure"_s); // words, then the error
        row("--duration within a file", u"--duration 3.5 "_s + cut, 0, {}, u"dashwood"_s);
        row("no such language", u"--language xx-XX "_s + input, 2, u"no speech model for language xx-XX"_s);
        row("bad duration", u"--duration soon"_s, 2, u"--duration"_s);
        row("missing input device", u"--source input:no_such_mic --duration 5"_s, 2,
            u"there is no input device no_such_mic"_s);
        row("no sound server", u"--duration 20"_s, 1, u"could not connect to the sound server"_s, {},
            u"PULSE_SERVER=unix:"_s + path("nowhere"));
        // A model folder for en-GB whose language model is not one: found, but it cannot be loaded.
        const QString models = path("models/en-gb/"), debian = u"/usr/share/pocketsphinx/model/en-us/"_s;
        QDir().mkpath(models);
        QFile::link(debian + u"en-us"_s, models + u"acoustic"_s);
        QFile::link(debian + u"cmudict-en-us.dict"_s, models + u"words.dict"_s);
        writeFile(models + u"en-gb.lm"_s, "this is not an ARPA language model\n");
        row("model cannot be loaded", u"--language en-GB "_s + input, 1,
            CaptionViewModel::siriHelpMessage() + u" (Speech: "_s, {}, u"SONOREL_MODEL_PATH="_s + path("models"));
        row("live, for --duration", u"--duration 1"_s, 0, {});
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
        const QString out = readOut(*process), err = QString::fromUtf8(process->readAllStandardError());
        QVERIFY2(
            heard.isEmpty() ? out.isEmpty() : out.toLower().contains(heard) && out.endsWith(u'\n'), qPrintable(out));
        QVERIFY2(message.isEmpty() ? err.isEmpty() : err.contains(message), qPrintable(err));
    }

    // Sentences as JSON, from either engine: each sentence and its words, and no time goes back.
    void timedSentences()
    {
        const QString file = made(
            "three.wav", u"sox %1 %2 %3 %4"_s.arg(u"%1"_s, librivoxFile(u"0880"_s), librivoxFile(u"0890"_s), u"%2"_s));
        for (const auto &[engine, input, seconds] : { std::tuple(AppSettings::lightEngine, file, 15.4),
                 std::tuple(AppSettings::accurateEngine, speech, 7.1) }) {
            auto process = tool({ u"--input"_s, input, u"--format"_s, u"json"_s, u"--engine"_s, engine },
                { u"SONOREL_WHISPER_MODEL="_s + qEnvironmentVariable("SONOREL_WHISPER_MODEL_FILE") });
            QVERIFY(process->waitForFinished(120000));
            QCOMPARE(process->exitCode(), 0);
            const QByteArray out = process->readAllStandardOutput();
            const QJsonArray array = QJsonDocument::fromJson(out).array();
            QVERIFY2(array.size() >= (input == file ? 3 : 1), out.constData());
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
            QVERIFY2(recall(u"0870"_s, said) >= 0.5, out.constData());
        }
    }

    // A signal ends the tool at once, printing the sentence in progress, even while its standard input stalls.
    // A second signal within two seconds is the same request (systemd sends SIGTERM, then SIGHUP); one
    // later, a person pressing Ctrl+C again, ends the tool at once with status 130. The tool is held stopped
    // between the two, at that moment.
    void signalEndsAStalledInput_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second"); // 0: none
        QTest::addColumn<int>("gapMs");
        QTest::newRow("SIGTERM") << SIGTERM << 0 << 0;
        QTest::newRow("SIGTERM then SIGHUP, as systemd sends them") << SIGTERM << SIGHUP << 0;
        QTest::newRow("SIGINT again after two seconds") << SIGINT << SIGINT << 2200;
    }
    void signalEndsAStalledInput()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        QFETCH(int, gapMs);
        auto process = tool({ u"--input"_s, u"-"_s });
        QFile stream(made("stalled.wav", u"ffmpeg -v error -y -i %1 -seekable 0 %2"_s)); // a recorder's stream
        QVERIFY(stream.open(QIODevice::ReadOnly));
        process->write(stream.readAll());
        while (process->bytesToWrite() > 0) // all of it is in the pipe, not in QProcess's buffer
            QVERIFY(process->waitForBytesWritten(60000));
        const auto pid = pid_t(process->processId());
        QVERIFY(becameIdle(pid)); // the speech is heard; the tool waits on its input
        ::kill(pid, first); // before, the tool waited for its input for good
        if (second) {
            QVERIFY(signalTaken(pid, first));
            ::kill(pid, SIGSTOP);
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            ::kill(pid, second);
            ::kill(pid, SIGCONT);
        }
        QVERIFY(process->waitForFinished(10000));
        if (gapMs > 2000)
            QCOMPARE(process->exitCode(), 130);
        else
            verifyCaptions(*process, readOut(*process));
    }

    // One application live: waited for while silent, then captioned until SIGTERM; sources (a hostile name
    // shown printable, on one line) and languages listed.
    void captionsOneApplicationLiveAndLists()
    {
        SoundServer server;
        auto process = tool({ u"--source"_s, u"app:Ghost"_s });
        // While Ghost is silent the tool keeps a listener on the output device: it is connected.
        QTRY_VERIFY_WITH_TIMEOUT(!server.recordingSources().isEmpty(), 60000);
        QVERIFY(server.play(speech, { u"--client-name=Ghost"_s })->waitForFinished(60000));
        ::kill(pid_t(process->processId()), SIGTERM);
        QVERIFY(process->waitForFinished(60000));
        verifyCaptions(*process, readOut(*process), u"Waiting for Ghost\u2026"_s);

        process = tool({ u"--list-languages"_s });
        QVERIFY(process->waitForFinished());
        QCOMPARE(process->readAllStandardOutput(), QByteArray("en-US\tEnglish (US)\tlight\n"));
        auto player = server.play(speech, { u"--client-name=Ghost\x1b[31m\tapp:Forged\nsystem"_s });
        QTRY_VERIFY_WITH_TIMEOUT(!server.pactl(u"list short sink-inputs"_s).trimmed().isEmpty(), 30000);
        process = tool({ u"--list-sources"_s });
        QVERIFY(process->waitForFinished(60000));
        player->kill();
        player->waitForFinished();
        QCOMPARE(readOut(*process),
            u"system\tAll System Sound\napp:%1\t%1\n"_s.arg(u"Ghost\u241b[31m\u2409app:Forged\u240asystem"_s));
    }
};

QTEST_GUILESS_MAIN(CaptionsToolTest)
#include "CaptionsToolTest.moc"
