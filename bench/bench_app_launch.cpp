// Launch of the real sonorel to its overlay on screen, and its idle wake-ups with the overlay shown and
// captions stopped. Run on an X server: xvfb-run -a build/release/bench/bench_app_launch
#include "XvfbRelaunch.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include <unistd.h>

namespace {

struct ThreadSample {
    QString name;
    long long switches = 0;
};

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Context switches per thread (every wake-up of a sleeping thread is one) and the process's CPU ticks.
std::map<QString, ThreadSample> sampleThreads(qint64 pid, long long &cpuTicks)
{
    std::map<QString, ThreadSample> threads;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        ThreadSample sample;
        sample.name = readFile(tasks.filePath(tid + QStringLiteral("/comm"))).trimmed();
        const QStringList lines = readFile(tasks.filePath(tid + QStringLiteral("/status"))).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (line.startsWith(QLatin1String("voluntary_ctxt_switches"))
                || line.startsWith(QLatin1String("nonvoluntary_ctxt_switches")))
                sample.switches += line.section(QLatin1Char(':'), 1).trimmed().toLongLong();
        }
        threads[tid] = sample;
    }
    const QString stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QStringList fields = stat.mid(stat.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
    cpuTicks = fields.value(11).toLongLong() + fields.value(12).toLongLong(); // utime + stime
    return threads;
}

void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (const int failed = relaunchUnderXvfbIfNeeded(argc, argv))
        return failed;
    QCoreApplication app(argc, argv);
    const QString sonorel = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(SONOREL_EXECUTABLE);
    constexpr int runs = 10;
    std::vector<double> ready, onScreen;

    for (int run = 0; run <= runs; ++run) {
        QTemporaryDir home;
        QDir(home.path()).mkpath(QStringLiteral("config"));
        QDir(home.path()).mkpath(QStringLiteral("run"));
        QFile::setPermissions(
            home.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("com.ambrite.sonorel.App.debug=true"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        QByteArray output;
        double readyMs = -1, shownMs = -1;
        QElapsedTimer clock;
        QEventLoop loop;
        QObject::connect(&process, &QProcess::readyRead, &loop, [&] {
            output += process.readAll();
            if (readyMs < 0 && output.contains("Overlay window ready"))
                readyMs = clock.nsecsElapsed() / 1e6;
            if (shownMs < 0 && output.contains("Overlay window on screen")) {
                shownMs = clock.nsecsElapsed() / 1e6;
                loop.quit();
            }
        });
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        clock.start();
        process.start(sonorel, {});
        loop.exec();
        if (shownMs < 0) {
            std::fprintf(stderr, "sonorel did not show its overlay:\n%s\n", output.constData());
            return 1;
        }
        // The first run warms the disk cache and is not counted.
        if (run > 0) {
            ready.push_back(readyMs);
            onScreen.push_back(shownMs);
        }

        if (run == runs) {
            // Idle: overlay shown, captions stopped. Let start-up settle, then count for ten seconds.
            waitMs(2000);
            long long cpuBefore = 0, cpuAfter = 0;
            const auto before = sampleThreads(process.processId(), cpuBefore);
            constexpr int idleSeconds = 10;
            waitMs(idleSeconds * 1000);
            const auto after = sampleThreads(process.processId(), cpuAfter);
            long long total = 0;
            std::printf("idle, overlay shown, captions stopped, %d s:\n", idleSeconds);
            for (const auto &[tid, sample] : after) {
                const auto it = before.find(tid);
                const long long wakeups = sample.switches - (it == before.end() ? 0 : it->second.switches);
                total += wakeups;
                std::printf("  thread %-20s %lld wake-ups\n", qPrintable(sample.name), wakeups);
            }
            const long tick = sysconf(_SC_CLK_TCK);
            std::printf("  total %.2f wake-ups/s, processor %.1f ms over %d s (target: none)\n",
                double(total) / idleSeconds, (cpuAfter - cpuBefore) * 1000.0 / tick, idleSeconds);
        }
        process.terminate();
        process.waitForFinished(10000);
    }

    auto report = [](const char *what, std::vector<double> values) {
        std::sort(values.begin(), values.end());
        std::printf("  %-32s median %.1f ms  min %.1f ms  max %.1f ms\n", what, values[values.size() / 2],
            values.front(), values.back());
    };
    std::printf("launch of sonorel, %d runs (after one warm-up):\n", runs);
    report("to \"Overlay window ready\"", ready);
    report("to overlay on screen (exposed)", onScreen);
    std::printf("  target: on screen within 500 ms\n");
    return 0;
}
