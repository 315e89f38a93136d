#include "SoundServer.h"
#include "captioning/CaptionViewModel.h"
#include "settings/AppSettings.h"

#include <QDataStream>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <numeric>

namespace {

const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox/");
const QString recording = librivox + QStringLiteral("sense_and_sensibility_01_austen_64kb-0870.wav");
const QStringList reference = QStringLiteral("and mister john dashwood had then leisure to consider how much there "
                                             "might be prudently in his power to do for them")
                                  .split(u' ');

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

// A model folder for en-GB whose language model is not one: found, but it cannot be loaded.
QString brokenModel(const QString &root)
{
    const QString folder = root + QStringLiteral("/en-gb");
    const QString debian = QStringLiteral("/usr/share/pocketsphinx/model/en-us");
    QDir().mkpath(folder);
    QFile::link(debian + QStringLiteral("/en-us"), folder + QStringLiteral("/acoustic"));
    QFile::link(debian + QStringLiteral("/cmudict-en-us.dict"), folder + QStringLiteral("/words.dict"));
    QFile lm(folder + QStringLiteral("/en-gb.lm"));
    if (lm.open(QIODevice::WriteOnly))
        lm.write("this is not an ARPA language model\n");
    return root;
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
    const QStringList heard = out.toLower().split(QRegularExpression(QStringLiteral("[^a-z']+")));
    QVERIFY2(std::count_if(reference.begin(), reference.end(), [&](const QString &w) { return heard.contains(w); })
            >= reference.size() / 2,
        qPrintable(out));
}

QStringList words(const QString &text)
{
    return text.toLower().split(QRegularExpression(QStringLiteral("[^a-z']+")), Qt::SkipEmptyParts);
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

double wordErrorRate(const QString &text)
{
    return double(wordDistance(reference, words(text))) / double(reference.size());
}

// 64 KiB of bytes that no decoder can make sense of, the same at every run.
QString randomFile(const QString &path)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        QRandomGenerator random(12);
        for (int i = 0; i < 16384; ++i) {
            const quint32 word = random.generate();
            file.write(reinterpret_cast<const char *>(&word), sizeof word);
        }
    }
    return path;
}

// A mono 16-bit WAV file of a tenth of a second of silence, with the given header fields; with
// `headerOnly`, the header of a stream of unknown length and no samples.
QString writeWav(const QString &path, std::uint32_t rate, int formatChunks = 1, bool headerOnly = false)
{
    QByteArray format;
    QDataStream fields(&format, QIODevice::WriteOnly);
    fields.setByteOrder(QDataStream::LittleEndian);
    fields << quint16(1) << quint16(1) << quint32(rate) << quint32(rate * 2) << quint16(2) << quint16(16);
    const QByteArray data(headerOnly ? 0 : int(rate / 10) * 2, '\0');
    QByteArray body("WAVE");
    QDataStream out(&body, QIODevice::Append);
    out.setByteOrder(QDataStream::LittleEndian);
    for (int i = 0; i < formatChunks; ++i) {
        out.writeRawData("fmt ", 4);
        out << quint32(format.size());
        out.writeRawData(format.constData(), int(format.size()));
    }
    out.writeRawData("data", 4);
    out << quint32(headerOnly ? 0xFFFFFFFF : data.size());
    out.writeRawData(data.constData(), int(data.size()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return path;
    QDataStream riff(&file);
    riff.setByteOrder(QDataStream::LittleEndian);
    riff.writeRawData("RIFF", 4);
    riff << quint32(body.size());
    riff.writeRawData(body.constData(), int(body.size()));
    return path;
}

} // namespace

class CaptionsToolTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_plainWords; // of the recording as it is installed
    const QString m_sharedServer = qEnvironmentVariable("PULSE_SERVER");

private Q_SLOTS:
    // The tool keeps a hang-up ignored when started under nohup; the tool started here must see it.
    void initTestCase() { ::signal(SIGHUP, SIG_DFL); }
    // A test that starts a private sound server leaves the shared one to the next.
    void init() { qputenv("PULSE_SERVER", m_sharedServer.toUtf8()); }

    // A recording of any container, codec, rate, channel count and sample type is captioned to the end.
    // Re-encoded at the recording's own rate without loss, it gives the same words as the recording itself;
    // through a lossy codec, nearly the same.
    void captionsAFile_data()
    {
        QTest::addColumn<QString>("convert"); // makes %2 from the recording %1
        QTest::addColumn<QString>("extension");
        QTest::addColumn<int>("wordsChanged"); // at most, from the recording's own words; -1: not compared
        QTest::newRow("16 kHz mono 16-bit") << QStringLiteral("cp %1 %2") << QStringLiteral("wav") << 0;
        QTest::newRow("24-bit") << QStringLiteral("sox %1 -b 24 %2") << QStringLiteral("wav") << 0;
        QTest::newRow("32-bit integer") << QStringLiteral("sox %1 -b 32 %2") << QStringLiteral("wav") << 0;
        QTest::newRow("44.1 kHz stereo float")
            << QStringLiteral("sox %1 -r 44100 -c 2 -e floating-point -b 32 %2") << QStringLiteral("wav") << -1;
        QTest::newRow("48 kHz 6 channels") << QStringLiteral("sox %1 -r 48000 -c 6 %2") << QStringLiteral("wav") << -1;
        const QString ffmpeg = QStringLiteral("ffmpeg -v error -i %1 ");
        QTest::newRow("FLAC") << ffmpeg + QStringLiteral("%2") << QStringLiteral("flac") << 0;
        QTest::newRow("Ogg Vorbis") << ffmpeg + QStringLiteral("-q:a 8 %2") << QStringLiteral("ogg") << 1;
        QTest::newRow("MP3") << ffmpeg + QStringLiteral("-b:a 128k %2") << QStringLiteral("mp3") << 1;
        QTest::newRow("MP4 video, AAC sound")
            << QStringLiteral("ffmpeg -v error -f lavfi -i color=size=64x64:rate=5 -i %1 -shortest -c:v mpeg4 -c:a aac "
                              "-b:a 128k %2")
            << QStringLiteral("mp4") << 1;
        QTest::newRow("standard input") << QStringLiteral("cp %1 %2") << QStringLiteral("stdin") << 0;
    }
    void captionsAFile()
    {
        QFETCH(QString, convert);
        QFETCH(QString, extension);
        QFETCH(int, wordsChanged);
        const QString file = m_dir.filePath(
            QStringLiteral("%1.%2").arg(QString::fromUtf8(QTest::currentDataTag()).replace(u' ', u'-'), extension));
        auto converter = start(convert.section(u' ', 0, 0), convert.section(u' ', 1).arg(recording, file).split(u' '));
        QVERIFY(converter->waitForFinished(60000) && converter->exitCode() == 0);
        auto process = extension == QStringLiteral("stdin") ? tool({ QStringLiteral("--input"), QStringLiteral("-") })
                                                            : tool({ QStringLiteral("--input"), file });
        if (extension == QStringLiteral("stdin")) {
            QFile in(file);
            QVERIFY(in.open(QIODevice::ReadOnly));
            process->write(in.readAll());
            process->closeWriteChannel();
        }
        QVERIFY(process->waitForFinished(120000));
        const QString out = QString::fromUtf8(process->readAllStandardOutput());
        verifyCaptions(*process, out);
        if (m_plainWords.isEmpty())
            m_plainWords = out;
        else if (wordsChanged >= 0)
            QVERIFY2(wordDistance(words(m_plainWords), words(out)) <= wordsChanged, qPrintable(out + m_plainWords));
    }

    // Sound as people play it: the recording under steady noise 15 dB below it, and 30 dB too quiet.
    void captionsDegradedSound_data()
    {
        QTest::addColumn<QString>("sox"); // makes degraded.wav from the recording (and noise.wav)
        QTest::addColumn<double>("maxErrorRate");
        QTest::newRow("under pink noise") << QStringLiteral("-m -v 1 %1 -v 0.073 noise.wav degraded.wav") << 0.6;
        QTest::newRow("30 dB quieter") << QStringLiteral("%1 degraded.wav gain -30") << 0.35;
    }
    void captionsDegradedSound()
    {
        QFETCH(QString, sox);
        QFETCH(double, maxErrorRate);
        QVERIFY(start(QStringLiteral("sox"),
            QStringLiteral("-R -n -r 16000 -c 1 -b 16 noise.wav synth 7.1 pinknoise")
                .replace(QStringLiteral("noise.wav"), m_dir.filePath(QStringLiteral("noise.wav")))
                .split(u' '))
                    ->waitForFinished());
        QStringList arguments = sox.arg(recording).split(u' ');
        for (QString &a : arguments)
            a = a.endsWith(QStringLiteral(".wav")) && !a.startsWith(u'/') ? m_dir.filePath(a) : a;
        QVERIFY(start(QStringLiteral("sox"), arguments)->waitForFinished());
        auto process = tool({ QStringLiteral("--input"), m_dir.filePath(QStringLiteral("degraded.wav")) });
        QVERIFY(process->waitForFinished(120000));
        QCOMPARE(process->exitCode(), 0);
        const QString out = QString::fromUtf8(process->readAllStandardOutput());
        QVERIFY2(
            wordErrorRate(out) <= maxErrorRate, qPrintable(QStringLiteral("%1: %2").arg(wordErrorRate(out)).arg(out)));
    }

    // Bad input exits 2; a failure of the sound server or the speech model exits 1 and says what to do.
    void badInputFails_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("heard"); // a word printed before the failure; empty: nothing is printed
        const auto made = [this](const QString &name, const QString &ffmpeg, bool cut = true) {
            const QString file = m_dir.filePath(name);
            start(QStringLiteral("ffmpeg"), QStringLiteral("-v error -y %1 %2").arg(ffmpeg, file).split(u' '))
                ->waitForFinished();
            if (cut) // to two thirds
                QFile::resize(file, QFileInfo(file).size() * 2 / 3);
            return QStringLiteral("--input ") + file;
        };
        QTest::newRow("missing file") << QStringLiteral("--input /nonexistent/a.wav")
                                      << QStringLiteral("Cannot open /nonexistent/a.wav") << QStringList() << 2
                                      << QString();
        QTest::newRow("text") << QStringLiteral("--input ") + librivox + QStringLiteral("fileids")
                              << QStringLiteral("fileids is damaged or is not an audio or video file") << QStringList()
                              << 2 << QString();
        QTest::newRow("random bytes") << QStringLiteral("--input ")
                + randomFile(m_dir.filePath(QStringLiteral("random")))
                                      << QStringLiteral("random is damaged or is not an audio or video file")
                                      << QStringList() << 2 << QString();
        QTest::newRow("no audio stream") << made(
            QStringLiteral("silent.mkv"), QStringLiteral("-f lavfi -i color=size=64x64:duration=1 -c:v mpeg4"), false)
                                         << QStringLiteral("silent.mkv has no audio stream") << QStringList() << 2
                                         << QString();
        // Cut off partway: the words before the cut are printed, then the error.
        QTest::newRow("truncated FLAC") << made(QStringLiteral("cut.flac"), QStringLiteral("-i ") + recording)
                                        << QStringLiteral("cut.flac is damaged at 4.") << QStringList() << 2
                                        << QStringLiteral("leisure");
        QTest::newRow("truncated MP3") << made(QStringLiteral("cut.mp3"), QStringLiteral("-i ") + recording)
                                       << QStringLiteral("cut.mp3 ends after 4.7 of its 7.2 seconds: the file is cut "
                                                         "short or damaged")
                                       << QStringList() << 2 << QStringLiteral("leisure");
        QTest::newRow("no such language")
            << QStringLiteral("--language xx-XX --input ") + recording
            << QStringLiteral("no speech model for language xx-XX") << QStringList() << 2 << QString();
        QTest::newRow("rate below 4 kHz")
            << QStringLiteral("--input ") + writeWav(m_dir.filePath(QStringLiteral("slow.wav")), 3999)
            << QStringLiteral("sample rate 3999 Hz is outside 4000 to 768000 Hz") << QStringList() << 2 << QString();
        QTest::newRow("rate above 768 kHz")
            << QStringLiteral("--input ") + writeWav(m_dir.filePath(QStringLiteral("fast.wav")), 768001)
            << QStringLiteral("sample rate 768001 Hz is outside") << QStringList() << 2 << QString();
        QTest::newRow("bad duration") << QStringLiteral("--duration soon") << QStringLiteral("--duration")
                                      << QStringList() << 2 << QString();
        QTest::newRow("bad engine") << QStringLiteral("--engine fast")
                                    << QStringLiteral("--engine must be accurate or light") << QStringList() << 2
                                    << QString();
        QTest::newRow("bad format") << QStringLiteral("--format doc")
                                    << QStringLiteral("--format must be txt, srt, vtt or json") << QStringList() << 2
                                    << QString();
        QTest::newRow("missing input device")
            << QStringLiteral("--source input:no_such_mic --duration 5")
            << QStringLiteral("sonorel-captions: there is no input device no_such_mic (see --list-sources)\n")
            << QStringList() << 2 << QString();
        QTest::newRow("no sound server")
            << QStringLiteral("--duration 20")
            << QStringLiteral("sonorel-captions: Sonorel could not connect to the sound server, so captions could not "
                              "start. Check that PulseAudio or PipeWire is running, then start captions again. "
                              "(PulseAudio 6: Connection refused)\n")
            << QStringList { QStringLiteral("PULSE_SERVER=unix:") + m_dir.filePath(QStringLiteral("nowhere")) } << 1
            << QString();
        QTest::newRow("model cannot be loaded")
            << QStringLiteral("--language en-GB --input ") + recording
            << QStringLiteral("sonorel-captions: ") + CaptionViewModel::siriHelpMessage() + QStringLiteral(" (Speech: ")
            << QStringList { QStringLiteral("SONOREL_MODEL_PATH=")
                   + brokenModel(m_dir.filePath(QStringLiteral("models"))) }
            << 1 << QString();
    }
    void badInputFails()
    {
        QFETCH(QString, args);
        QFETCH(QString, message);
        QFETCH(QStringList, environment);
        QFETCH(int, exitCode);
        QFETCH(QString, heard);
        auto process = tool(args.split(u' '), environment);
        QVERIFY(process->waitForFinished(60000));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), exitCode);
        const QString out = QString::fromUtf8(process->readAllStandardOutput());
        QVERIFY2(heard.isEmpty() ? out.isEmpty() : out.contains(heard) && out.endsWith(u'\n'), qPrintable(out));
        const QString err = QString::fromUtf8(process->readAllStandardError());
        QVERIFY2(err.contains(message), qPrintable(err));
    }

    // Three sentences as subtitles and JSON: ffprobe reads a cue for every sentence the text output has, the
    // JSON parses with as many, and no time goes back, the words' times included.
    void timedFormats()
    {
        const QString three = m_dir.filePath(QStringLiteral("three.wav"));
        QStringList parts;
        for (const char *id : { "0870", "0880", "0890" })
            parts << librivox + QStringLiteral("sense_and_sensibility_01_austen_64kb-%1.wav").arg(QLatin1String(id));
        QVERIFY(start(QStringLiteral("sox"), parts << three)->waitForFinished());
        // Either engine. Whisper's decodes are not repeatable to the comma on a busy machine (the same audio
        // came out as one sentence or two), so its runs are held to sentences, not to one count.
        for (const QString &engine : { AppSettings::lightEngine, AppSettings::accurateEngine }) {
            const QStringList environment { QStringLiteral("SONOREL_WHISPER_MODEL=")
                + qEnvironmentVariable("SONOREL_WHISPER_MODEL_FILE") };
            qsizetype sentences = 0;
            for (const char16_t *name : { u"txt", u"srt", u"vtt", u"json" }) {
                const QString format = QString::fromUtf16(name);
                auto process = tool({ QStringLiteral("--input"), three, QStringLiteral("--format"), format,
                                        QStringLiteral("--engine"), engine },
                    environment);
                QVERIFY(process->waitForFinished(120000));
                QCOMPARE(process->exitCode(), 0);
                const QByteArray out = process->readAllStandardOutput();
                QList<double> times;
                if (format == u"txt") {
                    QVERIFY((sentences = out.count('\n')) >= (engine == AppSettings::lightEngine ? 3 : 2));
                    continue;
                }
                if (format == u"json") {
                    QJsonParseError error;
                    const QJsonArray array = QJsonDocument::fromJson(out, &error).array();
                    QVERIFY2(error.error == QJsonParseError::NoError && !array.isEmpty()
                            && (engine == AppSettings::accurateEngine || array.size() == sentences),
                        out.constData());
                    for (const QJsonValue &sentence : array) {
                        const QJsonArray words = sentence[u"words"].toArray();
                        QVERIFY(!sentence[u"text"].toString().isEmpty() && !words.isEmpty());
                        times << sentence[u"start"].toDouble() << words.first()[u"start"].toDouble()
                              << words.last()[u"end"].toDouble() << sentence[u"end"].toDouble();
                    }
                } else {
                    QFile file(m_dir.filePath(QStringLiteral("three.") + format));
                    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(out) == out.size());
                    file.close();
                    auto probe = start(QStringLiteral("ffprobe"),
                        QStringLiteral("-v error -show_entries packet=pts_time,duration_time -of csv=p=0 %1")
                            .arg(file.fileName())
                            .split(u' '));
                    QVERIFY(probe->waitForFinished() && probe->exitCode() == 0);
                    const QList<QByteArray> cues = probe->readAllStandardOutput().trimmed().split('\n');
                    QVERIFY(engine == AppSettings::accurateEngine ? cues.size() >= 2 : cues.size() == sentences);
                    for (const QByteArray &cue : cues)
                        times << cue.split(',')[0].toDouble()
                              << cue.split(',')[0].toDouble() + cue.split(',')[1].toDouble();
                }
                QVERIFY2(std::is_sorted(times.begin(), times.end()) && times.first() >= 0 && times.last() < 16,
                    out.constData());
            }
        }
    }

    // An endless stream and a 2 GB file are read a block at a time: --duration ends them, and the tool's
    // memory never grows with the input. The tool is killed if it passes 1.5 GB resident.
    void hugeInputStaysSmall_data()
    {
        QTest::addColumn<bool>("endless");
        QTest::newRow("endless stream") << true;
        QTest::newRow("2 GB file") << false;
    }
    void hugeInputStaysSmall()
    {
        QFETCH(bool, endless);
        const QString input = m_dir.filePath(QStringLiteral("huge.wav"));
        QFile::remove(input);
        std::unique_ptr<QProcess> writer;
        if (endless) {
            const QString header = writeWav(m_dir.filePath(QStringLiteral("stream-header.wav")), 16000, 1, true);
            QVERIFY(start(QStringLiteral("mkfifo"), { input })->waitForFinished());
            writer = start(QStringLiteral("sh"),
                { QStringLiteral("-c"), QStringLiteral("exec cat \"$0\" /dev/zero > \"$1\""), header, input });
        } else {
            writeWav(input, 16000);
            QFile file(input);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(40));
            QDataStream(&file).writeRawData("\xff\xff\xff\x7f", 4); // data of 2 GB, sparse zeros
            QVERIFY(file.resize(44 + 0x7fffffffLL));
        }
        auto process = tool({ QStringLiteral("--input"), input, QStringLiteral("--duration"), QStringLiteral("20") });
        qint64 peakKiB = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            process->state() == QProcess::NotRunning ||
                [&] {
                    QFile status(QStringLiteral("/proc/%1/status").arg(process->processId()));
                    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
                    const auto at = text.indexOf("VmRSS:");
                    peakKiB
                        = std::max(peakKiB, at < 0 ? 0 : text.mid(at + 6).trimmed().split(' ').first().toLongLong());
                    if (peakKiB > 1536 * 1024)
                        process->kill();
                    return peakKiB > 1536 * 1024;
                }(),
            120000);
        for (QProcess *p : { process.get(), writer.get() }) {
            if (p && p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished();
            }
        }
        QVERIFY2(peakKiB <= 1536 * 1024, qPrintable(QStringLiteral("resident %1 KiB").arg(peakKiB)));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 0);
    }

    // SIGTERM, or SIGHUP from a closed terminal, finishes the current utterance, prints it and exits 0
    // without captioning the rest.
    void terminationFinishesTheUtterance_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void terminationFinishesTheUtterance()
    {
        QFETCH(int, signalNumber);
        const QString longFile = m_dir.filePath(QStringLiteral("long.wav"));
        QVERIFY(start(QStringLiteral("sox"), { recording, longFile, QStringLiteral("repeat"), QStringLiteral("20") })
                    ->waitForFinished());
        auto process = tool({ QStringLiteral("--input"), longFile });
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromUtf8(process->readAllStandardOutput())).contains(u'\n'), 120000);
        ::kill(pid_t(process->processId()), signalNumber);
        QVERIFY(process->waitForFinished(30000));
        out += QString::fromUtf8(process->readAllStandardOutput());
        verifyCaptions(*process, out);
        QVERIFY2(out.split(u' ').size() < 250, qPrintable(out));
    }

    // Live: what the computer plays during --duration, and the list of languages.
    void captionsLiveAudio()
    {
        auto process = tool({ QStringLiteral("--duration"), QStringLiteral("20") });
        const auto connected = [] { // the tool's record stream shows up on the server
            auto pactl = start(QStringLiteral("pactl"), QStringLiteral("list short source-outputs").split(u' '));
            return pactl->waitForFinished() && !pactl->readAllStandardOutput().isEmpty();
        };
        QTRY_VERIFY_WITH_TIMEOUT(connected(), 30000);
        QVERIFY(start(QStringLiteral("paplay"), { recording })->waitForFinished(60000));
        QVERIFY(process->waitForFinished(60000));
        verifyCaptions(*process, QString::fromUtf8(process->readAllStandardOutput()));

        process = tool({ QStringLiteral("--list-languages") });
        QVERIFY(process->waitForFinished());
        QCOMPARE(process->readAllStandardOutput(), QByteArray("en-US\tEnglish (US)\tlight\n"));
    }

    // Any program names itself: a name with escape codes, a tab and a line break is listed as one line of
    // two columns, its control characters shown as symbols.
    void listsSourcesPrintable()
    {
        SoundServer server;
        auto player = server.play(recording, { QStringLiteral("--client-name=Ghost\x1b[31m\tapp:Forged\nsystem") });
        QTRY_VERIFY_WITH_TIMEOUT(!server.pactl(QStringLiteral("list short sink-inputs")).trimmed().isEmpty(), 30000);
        auto process = tool({ QStringLiteral("--list-sources") });
        QVERIFY(process->waitForFinished(60000));
        QCOMPARE(process->exitCode(), 0);
        const QString out = QString::fromUtf8(process->readAllStandardOutput());
        player->kill();
        player->waitForFinished();
        const QString ghost = QStringLiteral("Ghost\u241b[31m\u2409app:Forged\u240asystem");
        QCOMPARE(out, QStringLiteral("system\tAll System Sound\napp:%1\t%1\n").arg(ghost));
    }

    // With one application as the source, a restart of the sound server is waited out: what the
    // application plays once the server is back is captioned.
    void applicationSourceSurvivesServerRestart()
    {
        auto server = SoundServer::startPrivate();
        QVERIFY(server);
        auto process = tool({ QStringLiteral("--source"), QStringLiteral("app:Ghost") },
            { QStringLiteral("PULSE_SERVER=") + server->address() });
        // While Ghost is silent the tool keeps a listener on the output device: it is connected.
        QTRY_VERIFY_WITH_TIMEOUT(!server->recordingSources().isEmpty(), 60000);
        server->stop();
        QVERIFY(server->restart());
        QTRY_VERIFY_WITH_TIMEOUT(!server->recordingSources().isEmpty(), 30000);
        QVERIFY(server->play(recording, { QStringLiteral("--client-name=Ghost") })->waitForFinished(60000));
        ::kill(pid_t(process->processId()), SIGTERM);
        QVERIFY(process->waitForFinished(60000));
        verifyCaptions(
            *process, QString::fromUtf8(process->readAllStandardOutput()), QStringLiteral("Waiting for Ghost\u2026"));
    }
};

QTEST_GUILESS_MAIN(CaptionsToolTest)
#include "CaptionsToolTest.moc"
