#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox");

QString recording(const char *id)
{
    return librivox + QStringLiteral("/sense_and_sensibility_01_austen_64kb-%1.wav").arg(QLatin1String(id));
}

QStringList words(QString text)
{
    text = text.toLower();
    text.remove(QRegularExpression(QStringLiteral("[^a-z' ]")));
    return text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
}

double recall(const QStringList &reference, QStringList hypothesis)
{
    int found = 0;
    for (const QString &w : reference) {
        if (const auto i = hypothesis.indexOf(w); i >= 0) {
            ++found;
            hypothesis.removeAt(i);
        }
    }
    return reference.isEmpty() ? 1.0 : double(found) / double(reference.size());
}

const QString firstSentence
    = QStringLiteral("and mister john dashwood had then leisure to consider how much there might be "
                     "prudently in his power to do for them");

struct Run {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out;
    QString err;
};

Run run(const QStringList &args, int timeoutMs = 120000)
{
    QProcess p;
    p.start(qEnvironmentVariable("SONOREL_CAPTIONS"), args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitCode();
    r.status = p.exitStatus();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

bool sox(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("sox"), args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

class CaptionsToolTest final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    static void verifySentenceLines(const QString &out)
    {
        static const QRegularExpression sentence(QStringLiteral("^[A-Z][^\\n]*[.?!]$"));
        const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(!lines.isEmpty());
        for (const QString &line : lines)
            QVERIFY2(sentence.match(line).hasMatch(), qPrintable(line));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(qEnvironmentVariable("SONOREL_CAPTIONS")).isExecutable(), "SONOREL_CAPTIONS not set");
        if (!QFileInfo::exists(recording("0870")))
            QSKIP("pocketsphinx-testdata is not installed");
    }

    void listsTheInstalledLanguages()
    {
        const Run r = run({ QStringLiteral("--list-languages") });
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.split(QLatin1Char('\n')).contains(QStringLiteral("en-US\tEnglish (US)")), qPrintable(r.out));
    }

    void captionsAFile_data()
    {
        QTest::addColumn<QStringList>("soxEffects"); // how the recording is re-encoded first; empty: as is
        QTest::newRow("16 kHz mono 16-bit") << QStringList();
        QTest::newRow("44.1 kHz stereo float")
            << QStringList { QStringLiteral("-r"), QStringLiteral("44100"), QStringLiteral("-c"), QStringLiteral("2"),
                   QStringLiteral("-e"), QStringLiteral("floating-point"), QStringLiteral("-b"), QStringLiteral("32") };
        QTest::newRow("48 kHz 6 channels 16-bit")
            << QStringList { QStringLiteral("-r"), QStringLiteral("48000"), QStringLiteral("-c"), QStringLiteral("6") };
    }

    void captionsAFile()
    {
        QFETCH(QStringList, soxEffects);
        QString file = recording("0870");
        if (!soxEffects.isEmpty()) {
            if (QStandardPaths::findExecutable(QStringLiteral("sox")).isEmpty())
                QSKIP("sox is not installed");
            const QString converted = m_dir.filePath(QStringLiteral("%1.wav").arg(
                QString::fromUtf8(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_'))));
            QVERIFY(sox(QStringList { file } + soxEffects + QStringList { converted }));
            file = converted;
        }
        const Run r = run({ QStringLiteral("--input"), file });
        QCOMPARE(r.status, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err)); // nothing from the engine reaches the terminal
        verifySentenceLines(r.out);
        const double found = recall(words(firstSentence), words(r.out));
        QVERIFY2(found >= 0.6, qPrintable(QStringLiteral("%1: %2").arg(found).arg(r.out)));
    }

    void badInputsFailWithAMessage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing file") << QStringList { QStringLiteral("--input"), QStringLiteral("/nonexistent/a.wav") }
                                      << QStringLiteral("Cannot open /nonexistent/a.wav");
        QTest::newRow("not a WAV file") << QStringList { QStringLiteral("--input"),
            librivox + QStringLiteral("/fileids") }
                                        << QStringLiteral("is not a WAV file");
        QTest::newRow("no such language") << QStringList { QStringLiteral("--language"), QStringLiteral("xx-XX"),
            QStringLiteral("--input"), recording("0880") }
                                          << QStringLiteral("no speech model for language xx-XX");
        QTest::newRow("bad duration") << QStringList { QStringLiteral("--duration"), QStringLiteral("soon") }
                                      << QStringLiteral("--duration");
    }

    void badInputsFailWithAMessage()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const Run r = run(args);
        QCOMPARE(r.status, QProcess::NormalExit);
        QVERIFY(r.exitCode != 0);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
    }

    void terminationFinishesTheCurrentUtterance()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("sox")).isEmpty())
            QSKIP("sox is not installed");
        // A minute and a half of speech, so that the signal comes while it is being captioned.
        const QString longFile = m_dir.filePath(QStringLiteral("long.wav"));
        QStringList inputs;
        for (int i = 0; i < 4; ++i)
            for (const char *id : { "0870", "0880", "0890", "0920", "0930" })
                inputs << recording(id);
        QVERIFY(sox(inputs + QStringList { longFile }));

        QProcess p;
        p.start(qEnvironmentVariable("SONOREL_CAPTIONS"), { QStringLiteral("--input"), longFile });
        QVERIFY(p.waitForStarted());
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT(
            (out += QString::fromUtf8(p.readAllStandardOutput()), out.contains(QLatin1Char('\n'))), 120000);
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(30000));
        out += QString::fromUtf8(p.readAllStandardOutput());
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(out.endsWith(QLatin1Char('\n')));
        verifySentenceLines(out);
        // It stopped early rather than captioning the whole file.
        QVERIFY2(words(out).size() < 250, qPrintable(out));
    }

    void captionsWhatTheComputerPlays()
    {
        QProcess probe;
        probe.start(QStringLiteral("pactl"), { QStringLiteral("info") });
        if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
            QSKIP("no sound server for this test (run through ctest)");
        QProcess tool;
        tool.start(qEnvironmentVariable("SONOREL_CAPTIONS"), { QStringLiteral("--duration"), QStringLiteral("20") });
        QVERIFY(tool.waitForStarted());
        // Play once the tool has connected: its stream shows up on the server.
        QTRY_VERIFY_WITH_TIMEOUT(
            [] {
                QProcess list;
                list.start(QStringLiteral("pactl"),
                    { QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs") });
                return list.waitForFinished(10000) && !list.readAllStandardOutput().trimmed().isEmpty();
            }(),
            30000);
        QProcess player;
        player.start(QStringLiteral("paplay"), { recording("0870") });
        QVERIFY(player.waitForFinished(60000));
        QVERIFY(tool.waitForFinished(60000));
        const QString out = QString::fromUtf8(tool.readAllStandardOutput());
        const QString err = QString::fromUtf8(tool.readAllStandardError());
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QVERIFY2(tool.exitCode() == 0, qPrintable(err));
        verifySentenceLines(out);
        const double found = recall(words(firstSentence), words(out));
        QVERIFY2(found >= 0.5, qPrintable(QStringLiteral("%1: %2").arg(found).arg(out)));
    }
};

QTEST_GUILESS_MAIN(CaptionsToolTest)
#include "CaptionsToolTest.moc"
