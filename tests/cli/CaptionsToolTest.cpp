#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox/");
const QString recording = librivox + QStringLiteral("sense_and_sensibility_01_austen_64kb-0870.wav");
const QStringList reference = QStringLiteral("and mister john dashwood had then leisure to consider how much there "
                                             "might be prudently in his power to do for them")
                                  .split(u' ');

std::unique_ptr<QProcess> start(const QString &program, const QStringList &args)
{
    auto process = std::make_unique<QProcess>();
    process->start(program, args);
    process->waitForStarted();
    return process;
}
std::unique_ptr<QProcess> tool(const QStringList &args)
{
    return start(qEnvironmentVariable("SONOREL_CAPTIONS"), args);
}

// The tool ended well and printed sentences holding most words of the recording.
void verifyCaptions(QProcess &process, const QString &out)
{
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(err.isEmpty(), qPrintable(err)); // nothing from the engine reaches the terminal
    QVERIFY2(QRegularExpression(QStringLiteral("^([A-Z][^\\n]*[.?!]\\n)+$")).match(out).hasMatch(), qPrintable(out));
    const QStringList heard = out.toLower().split(QRegularExpression(QStringLiteral("[^a-z']+")));
    QVERIFY2(std::count_if(reference.begin(), reference.end(), [&](const QString &w) { return heard.contains(w); })
            >= reference.size() / 2,
        qPrintable(out));
}

} // namespace

class CaptionsToolTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    // A WAV file of any rate, channel count and sample type is captioned to the end.
    void captionsAFile_data()
    {
        QTest::addColumn<QString>("soxOptions"); // how the recording is re-encoded first
        QTest::newRow("16 kHz mono 16-bit") << QString();
        QTest::newRow("44.1 kHz stereo float") << QStringLiteral("-r 44100 -c 2 -e floating-point -b 32");
        QTest::newRow("48 kHz 6 channels 16-bit") << QStringLiteral("-r 48000 -c 6");
    }
    void captionsAFile()
    {
        QFETCH(QString, soxOptions);
        const QString file = m_dir.filePath(QStringLiteral("%1.wav").arg(QString::fromUtf8(QTest::currentDataTag())));
        QVERIFY(
            start(QStringLiteral("sox"), QStringList { recording } + soxOptions.split(u' ', Qt::SkipEmptyParts) << file)
                ->waitForFinished());
        auto process = tool({ QStringLiteral("--input"), file });
        QVERIFY(process->waitForFinished(120000));
        verifyCaptions(*process, QString::fromUtf8(process->readAllStandardOutput()));
    }

    void badInputFails_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing file") << QStringLiteral("--input /nonexistent/a.wav")
                                      << QStringLiteral("Cannot open /nonexistent/a.wav");
        QTest::newRow("not a WAV file") << QStringLiteral("--input ") + librivox + QStringLiteral("fileids")
                                        << QStringLiteral("is not a WAV file");
        QTest::newRow("no such language") << QStringLiteral("--language xx-XX --input ") + recording
                                          << QStringLiteral("no speech model for language xx-XX");
        QTest::newRow("bad duration") << QStringLiteral("--duration soon") << QStringLiteral("--duration");
    }
    void badInputFails()
    {
        QFETCH(QString, args);
        QFETCH(QString, message);
        auto process = tool(args.split(u' '));
        QVERIFY(process->waitForFinished(60000));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QVERIFY(process->exitCode() != 0);
        QVERIFY(process->readAllStandardOutput().isEmpty());
        const QString err = QString::fromUtf8(process->readAllStandardError());
        QVERIFY2(err.contains(message), qPrintable(err));
    }

    // SIGTERM finishes the current utterance, prints it and exits 0 without captioning the rest.
    void terminationFinishesTheUtterance()
    {
        const QString longFile = m_dir.filePath(QStringLiteral("long.wav"));
        QVERIFY(start(QStringLiteral("sox"), { recording, longFile, QStringLiteral("repeat"), QStringLiteral("20") })
                    ->waitForFinished());
        auto process = tool({ QStringLiteral("--input"), longFile });
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromUtf8(process->readAllStandardOutput())).contains(u'\n'), 120000);
        ::kill(pid_t(process->processId()), SIGTERM);
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
        QCOMPARE(process->readAllStandardOutput(), QByteArray("en-US\tEnglish (US)\n"));
    }
};

QTEST_GUILESS_MAIN(CaptionsToolTest)
#include "CaptionsToolTest.moc"
