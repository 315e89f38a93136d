// Choosing what to caption, measured on a private PulseAudio daemon:
//   - how soon the list of sources shows an application that starts playing;
//   - the gap in delivered audio when the source is switched while capture runs;
//   - processor time of capturing one application next to capturing the whole mix (this process and
//     the sound server).
#include "SoundServer.h"
#include "captioning/AudioCaptureManager.h"
#include "platform/PulseAudioCaptureService.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double processSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User and system time of the sound server, from /proc.
double serverSeconds(const QString &pidFile)
{
    QFile pid(pidFile);
    if (!pid.open(QIODevice::ReadOnly))
        return 0;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid.readLine().trimmed())));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

void printSpread(const char *what, std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::printf("%-44s median %7.1f ms   max %7.1f ms   (%zu runs)\n", what, values[values.size() / 2], values.back(),
        values.size());
}

// Arrival times of delivered buffers.
struct Arrivals {
    std::mutex mutex;
    std::vector<Clock::time_point> times;
    void attach(AudioCaptureManager &manager)
    {
        manager.setOnBuffer([this](const AudioBuffer &) {
            std::lock_guard lock(mutex);
            times.push_back(Clock::now());
        });
    }
    double longestGapAfter(Clock::time_point from)
    {
        std::lock_guard lock(mutex);
        double longest = 0;
        for (std::size_t i = 1; i < times.size(); ++i) {
            if (times[i] > from)
                longest = std::max(longest, milliseconds(times[i] - std::max(times[i - 1], from)));
        }
        return longest;
    }
};

bool start(AudioCaptureManager &manager)
{
    bool done = false, ok = false;
    manager.start([&](std::optional<PlatformError> error) {
        done = true;
        ok = !error;
    });
    return QTest::qWaitFor([&] { return done; }, 20000) && ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*=false"));
    qputenv("SONOREL_SOUND_SERVER_SCRIPT", SONOREL_SOURCE_DIR "/scripts/test-sound-server");
    auto server = SoundServer::startPrivate();
    if (!server) {
        std::fprintf(stderr, "bench_audio_sources: the private sound server did not start\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString tone = dir.filePath(QStringLiteral("tone.wav"));
    QProcess::execute(QStringLiteral("sox"), { QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"),
                                                 tone, QStringLiteral("synth"), QStringLiteral("600"), QStringLiteral("sine"),
                                                 QStringLiteral("300"), QStringLiteral("vol"), QStringLiteral("0.3") });

    // 1. An application starts playing: when does the watched list show it?
    {
        auto service = std::make_shared<PulseAudioCaptureService>();
        std::optional<Clock::time_point> seen;
        bool wanted = false;
        auto watch = service->watchContent([&](const AudioCaptureContent &content) {
            if (wanted && !seen && content.hasApplication(QStringLiteral("Newcomer")))
                seen = Clock::now();
        });
        QTest::qWait(500);
        std::vector<double> delays;
        for (int run = 0; run < 10; ++run) {
            seen.reset();
            wanted = true;
            const Clock::time_point begin = Clock::now();
            auto player = server->play(tone, { QStringLiteral("--client-name=Newcomer") });
            if (!QTest::qWaitFor([&] { return seen.has_value(); }, 10000))
                return 1;
            delays.push_back(milliseconds(*seen - begin));
            wanted = false;
            player->kill();
            player->waitForFinished();
            QTest::qWait(300);
        }
        printSpread("source list shows a new application", delays);
        std::printf("%-44s (paplay start-up included)\n", "");
    }

    // 2. The source switched while capture runs, with the tone playing: the gap in delivered audio.
    auto player = server->play(tone, { QStringLiteral("--client-name=Tone") });
    {
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        Arrivals arrivals;
        arrivals.attach(manager);
        if (!start(manager))
            return 1;
        QTest::qWait(1000);
        std::vector<double> gaps;
        for (int run = 0; run < 10; ++run) {
            const Clock::time_point switched = Clock::now();
            manager.setSource(run % 2 ? AudioSource::system() : AudioSource::application(QStringLiteral("Tone")));
            QTest::qWait(1000);
            gaps.push_back(arrivals.longestGapAfter(switched));
        }
        printSpread("longest gap in audio after a switch", gaps);
        std::vector<double> steady;
        const Clock::time_point now = Clock::now();
        QTest::qWait(1000);
        steady.push_back(arrivals.longestGapAfter(now));
        std::printf("%-44s %7.1f ms\n", "longest gap with no switch (1 s)", steady.front());
        manager.stop();
    }

    // 3. Processor time for 20 s of capture of each kind.
    for (const AudioSource &source : { AudioSource::system(), AudioSource::application(QStringLiteral("Tone")) }) {
        AudioCaptureManager manager(std::make_shared<PulseAudioCaptureService>());
        manager.setSource(source);
        Arrivals arrivals;
        arrivals.attach(manager);
        if (!start(manager))
            return 1;
        QTest::qWait(500);
        const QString serverPid = server->pidFile();
        const double ownBefore = processSeconds(), serverBefore = serverSeconds(serverPid);
        QTest::qWait(20000);
        const double own = processSeconds() - ownBefore, served = serverSeconds(serverPid) - serverBefore;
        std::printf("%-44s this process %.3f s, sound server %.3f s per 20 s\n",
            qPrintable(QStringLiteral("capture of ") + (source.isSystem() ? QStringLiteral("the whole mix")
                                                                          : QStringLiteral("one application"))),
            own, served);
        manager.stop();
    }
    player->kill();
    player->waitForFinished();
    return 0;
}
