// sonorel-captions --input on a long recording made by concatenating the LibriVox sentences: processor
// seconds per second of audio, and the tool's resident memory as the captions reach the 5th minute of
// the audio and as they reach its end.
//
//   build/release/bench/bench_file_input [minutes]     (60 by default)
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>

namespace {

double childCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double residentMb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const auto at = text.indexOf("VmRSS:");
    return at < 0 ? 0 : text.mid(at + 6).trimmed().split(' ').first().toDouble() / 1024.0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int minutes = argc > 1 ? std::max(6, QString::fromLocal8Bit(argv[1]).toInt()) : 60;
    QTemporaryDir dir;
    const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox/");
    QStringList parts;
    for (const char *id : { "0870", "0880", "0890", "0920", "0930" })
        parts << librivox + QStringLiteral("sense_and_sensibility_01_austen_64kb-%1.wav").arg(QLatin1String(id));
    // One round of the five sentences with a pause after each, repeated to the length asked for.
    const QString round = dir.filePath(QStringLiteral("round.wav"));
    const QString input = dir.filePath(QStringLiteral("long.wav"));
    QStringList args;
    for (const QString &p : parts)
        args << QStringLiteral("|sox %1 -p pad 0 1").arg(p);
    if (QProcess::execute(QStringLiteral("sox"), args << round) != 0)
        return 1;
    QProcess soxi;
    soxi.start(QStringLiteral("soxi"), { QStringLiteral("-D"), round });
    soxi.waitForFinished();
    const double roundSeconds = soxi.readAllStandardOutput().trimmed().toDouble();
    const int repeats = int(minutes * 60 / roundSeconds);
    if (QProcess::execute(QStringLiteral("sox"),
            { round, input, QStringLiteral("repeat"), QString::number(repeats), QStringLiteral("trim"),
                QStringLiteral("0"), QString::number(minutes * 60) })
        != 0)
        return 1;
    const double audioSeconds = minutes * 60.0;

    const double cpuBefore = childCpuSeconds();
    QProcess tool;
    tool.start(QStringLiteral(SONOREL_CAPTIONS_TOOL),
        { QStringLiteral("--input"), input, QStringLiteral("--format"), QStringLiteral("json") });
    if (!tool.waitForStarted())
        return 1;
    double reached = 0, atFive = 0, atEnd = 0;
    QByteArray pending;
    while (tool.state() != QProcess::NotRunning) {
        tool.waitForReadyRead(100);
        pending += tool.readAllStandardOutput();
        qsizetype newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            QByteArray line = pending.left(newline);
            pending.remove(0, newline + 1);
            if (line.startsWith(','))
                line.remove(0, 1);
            const QJsonObject sentence = QJsonDocument::fromJson(line).object();
            if (!sentence.contains(QStringLiteral("end")))
                continue;
            reached = sentence[QStringLiteral("end")].toDouble();
            if (atFive == 0 && reached >= 300)
                atFive = residentMb(tool.processId());
            if (reached >= audioSeconds - 60)
                atEnd = residentMb(tool.processId());
        }
    }
    const double cpu = childCpuSeconds() - cpuBefore;
    std::printf("--input on %d minutes of WAV (%d rounds of the LibriVox sentences), exit %d\n", minutes, repeats,
        tool.exitCode());
    std::printf("processor: %.1f s for %.0f s of audio = %.4f processor s per audio s\n", cpu, audioSeconds,
        cpu / audioSeconds);
    std::printf("resident: %.1f MB at minute 5, %.1f MB at minute %d (captions reached %.0f s)\n", atFive, atEnd,
        minutes, reached);
    return tool.exitCode();
}
