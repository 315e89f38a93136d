// Prints the speed and the memory cost of verifying a downloaded disk image: SHA-256 over a 200 MB file
// through UpdateManager::verifyChecksum, with the resident memory before and at its peak during the
// verification. For comparison, the same with the whole file read into memory first, and with Qt's own
// SHA-256. The file is freshly written, so it is read from the page cache.
// Run from a release build: build/release/bench/bench_checksum [megabytes]
#include "updates/Sha256.h"
#include "updates/UpdateManager.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

// Resident memory in kB, from /proc/self/status.
long statusKilobytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Samples VmRSS every millisecond while it lives, and resets the kernel's peak (VmHWM) at the start so
// that both measures cover only the work in between.
class PeakResident final
{
public:
    PeakResident()
    {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
        m_peak = statusKilobytes("VmRSS");
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                m_peak = std::max(m_peak.load(), statusKilobytes("VmRSS"));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    long finish()
    {
        m_stop = true;
        m_thread.join();
        return std::max(m_peak.load(), statusKilobytes("VmHWM"));
    }

private:
    std::atomic<long> m_peak { 0 };
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

struct Run {
    double seconds;
    long peakKb;
};

template <typename F> Run measure(F &&work)
{
    PeakResident peak;
    QElapsedTimer timer;
    timer.start();
    work();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    return { seconds, peak.finish() };
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 200;
    const qint64 size = megabytes * 1000 * 1000;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.dmg"));
    UpdateManifest manifest;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        Sha256 hasher;
        QByteArray block(1 << 20, Qt::Uninitialized);
        quint64 state = 0x9E3779B97F4A7C15ull;
        for (qint64 written = 0; written < size;) {
            for (qsizetype i = 0; i + 8 <= block.size(); i += 8) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                memcpy(block.data() + i, &state, 8);
            }
            const qint64 n = std::min<qint64>(block.size(), size - written);
            file.write(block.constData(), n);
            hasher.addData(QByteArrayView(block.constData(), n));
            written += n;
        }
        manifest.download.sha256 = QString::fromLatin1(hasher.result().toHex());
    }
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.Updater.info=false"));

    UpdateManager manager;
    const long before = statusKilobytes("VmRSS");
    std::printf("image: %lld MB (%lld bytes), resident before: %.1f MB\n", megabytes, size, before / 1024.0);

    std::vector<Run> runs;
    for (int i = 0; i < 5; ++i) {
        bool ok = false;
        runs.push_back(measure([&] { ok = !manager.verifyChecksum(path, manifest).has_value(); }));
        if (!ok) {
            std::printf("verification failed\n");
            return 1;
        }
    }
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.seconds < b.seconds; });
    long peak = 0;
    for (const Run &r : runs)
        peak = std::max(peak, r.peakKb);
    const double mb = double(size) / 1e6;
    std::printf("verifyChecksum (chunked, OpenSSL SHA-256), 5 runs: best %.0f MB/s, median %.0f MB/s; "
                "peak resident %.1f MB, %+.1f MB over before\n",
        mb / runs.front().seconds, mb / runs[2].seconds, peak / 1024.0, (peak - before) / 1024.0);

    // For comparison only: the whole image in memory and hashed in one update.
    const Run whole = measure([&] {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        const QByteArray all = file.readAll();
        Sha256 hasher;
        hasher.addData(all);
        (void)hasher.result();
    });
    std::printf("whole file read then hashed: %.0f MB/s; peak resident %+.1f MB over before\n", mb / whole.seconds,
        (whole.peakKb - before) / 1024.0);

    const Run qtHash = measure([&] {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        QCryptographicHash hasher(QCryptographicHash::Sha256);
        QByteArray buffer(1 << 20, Qt::Uninitialized);
        for (qint64 n; (n = file.read(buffer.data(), buffer.size())) > 0;)
            hasher.addData(QByteArrayView(buffer.constData(), n));
        (void)hasher.result();
    });
    std::printf("chunked with QCryptographicHash: %.0f MB/s\n", mb / qtHash.seconds);
    return 0;
}
