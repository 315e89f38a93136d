#include "FakeCaptioning.h"
#include "FileContents.h"
#include "SmallFileSystem.h"
#include "StalledFileSystem.h"
#include "base/BackgroundDisposal.h"
#include "captioning/CaptionViewModel.h"
#include "captioning/SessionTranscript.h"
#include "captioning/TranscriptAutoSaver.h"
#include "settings/AppSettings.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TimedSentence sentence(int n)
{
    return { QStringLiteral("Sentence number %1 was said.").arg(n), 2.0 * n, 2.0 * n + 1.5, {} };
}

// Files written until the guard goes may grow to `bytes` at most, as on a disk that is full; the process is
// not stopped for it.
auto fullDisk(rlim_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    return qScopeGuard([old] { setrlimit(RLIMIT_FSIZE, &old); });
}

} // namespace

class TranscriptTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    // Saved by extension; a save that fails says so in plain words and leaves the file that was there.
    void save_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<int>("disk"); // 0: room; 1: files may not grow past 2000 bytes; 2: a small file system, full
        QTest::addColumn<QString>("error"); // the start of the message; empty: saved
        const auto notSaved = [](const char *rest) {
            return QStringLiteral("The transcript was not saved: ") + QString::fromUtf8(rest);
        };
        QTest::newRow("text") << QStringLiteral("a.txt") << 0 << QString();
        QTest::newRow("SubRip") << QStringLiteral("a.srt") << 0 << QString();
        QTest::newRow("WebVTT") << QStringLiteral("a.VTT") << 0 << QString();
        QTest::newRow("other extension") << QStringLiteral("a.doc") << 0 << notSaved("“a.doc” does not end in");
        QTest::newRow("disk full") << QStringLiteral("a.srt") << 1 << notSaved("writing “a.srt” failed, perhaps");
        // Small enough to sit in Qt's write buffer until the end.
        QTest::newRow("disk full at the end") << QStringLiteral("a.srt") << 2 << notSaved("writing “a.srt” failed");
        QString readOnly = QStringLiteral("/proc"); // permissions do not stop root
        if (geteuid() != 0) {
            readOnly = m_dir.filePath(QStringLiteral("read-only"));
            QDir().mkpath(readOnly);
            QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        }
        QTest::newRow("read-only folder")
            << readOnly + QStringLiteral("/a.txt") << 0 << notSaved("Sonorel cannot write in");
    }
    void save()
    {
        QFETCH(QString, fileName);
        QFETCH(int, disk);
        QFETCH(QString, error);
        const QString folder = m_dir.filePath(QString::fromUtf8(QTest::currentDataTag()));
        if (disk == 2 && !SmallFileSystem::mount(folder, "8k"))
            QSKIP("a small file system can only be mounted by root");
        const auto unmount = qScopeGuard([&] {
            if (disk == 2)
                SmallFileSystem::unmount(folder);
        });
        const bool fresh = fileName.startsWith(u'/'); // in a folder that cannot hold what was there
        const QString path = fresh ? fileName : QDir(folder).filePath(fileName);
        if (!fresh) {
            QDir().mkpath(folder);
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write("what was there\n") > 0);
        }
        QVERIFY(disk != 2 || SmallFileSystem::fill(folder));
        SessionTranscript transcript;
        for (int i = 0; i < (disk == 2 ? 3 : 300); ++i)
            transcript.append(sentence(i));
        std::optional<QString> failure;
        {
            const auto full = fullDisk(disk == 1 ? 2000 : RLIM_INFINITY);
            failure = transcript.saveAs(path);
        }
        QCOMPARE(failure.value_or(QString()).left(error.size()), error);
        if (!error.isEmpty()) {
            if (!fresh)
                QCOMPARE(fileContents(path), QByteArray("what was there\n"));
            QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList({ QStringLiteral("*.*.*") }, QDir::Files),
                QStringList()); // no half-written temporary file left behind
            return;
        }
        if (path.endsWith(QStringLiteral(".txt"))) {
            QCOMPARE(fileContents(path).count('\n'), 300);
            return;
        }
        // The subtitles as a player reads them: a cue per sentence.
        QProcess probe;
        probe.start(QStringLiteral("ffprobe"),
            { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                QStringLiteral("packet=pts_time"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), path });
        QVERIFY(probe.waitForFinished() && probe.exitCode() == 0);
        const QList<QByteArray> cues = probe.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(cues.size(), 300);
        QCOMPARE(cues.last().toDouble(), 598.0);
    }

    // An all-day session keeps the newest 5 MB of text.
    void boundedInMemory()
    {
        SessionTranscript transcript;
        const TimedSentence big { QString(1000, u'x'), 0, 1, { { QString(1000, u'y'), 0, 1 } } };
        for (int i = 0; i < 2000; ++i)
            transcript.append(big);
        transcript.append(sentence(1));
        QVERIFY(transcript.textBytes() <= SessionTranscript::maxTextBytes);
        QVERIFY(transcript.textBytes() > SessionTranscript::maxTextBytes - 4000);
        QCOMPARE(transcript.sentences().back().text, sentence(1).text);
    }

    // With the setting on, a session keeps a line per sentence in the documents folder as it is said. A file
    // that fails gives one notice and ends the keeping for the session, and captions go on. A file that
    // blocks (a FIFO, which would block the open or every write, or storage that stops answering, as a hung
    // network share does) never holds up the GUI thread: Stop Captions returns at once, and the disposal
    // thread gives up on it after a bounded wait, so that quitting ends.
    void keepsTranscripts_data()
    {
        QTest::addColumn<QString>("notice"); // part of it; empty: none
        QTest::newRow("disk full") << QStringLiteral("because the disk is full");
        QTest::newRow("FIFO") << QStringLiteral("because it is not a regular file");
        QTest::newRow("stalled storage") << QString();
    }
    void keepsTranscripts()
    {
        QFETCH(QString, notice);
        const QString fault = QString::fromUtf8(QTest::currentDataTag());
        const QString folder = TranscriptAutoSaver::defaultFolder();
        QCOMPARE(folder, QDir::homePath() + QStringLiteral("/Documents/Sonorel/Transcripts"));
        // Mounted before the saver's thread starts, so that the thread sees it.
        std::optional<StalledFileSystem> storage;
        if (fault == QStringLiteral("stalled storage")) {
            storage.emplace(folder);
            if (!storage->isMounted())
                QSKIP("a FUSE file system can only be mounted by root, with /dev/fuse");
        }
        // Should the GUI thread wait on the file after all, the storage answers after a while, so that the
        // test fails instead of hanging.
        std::atomic<bool> done = false, rescued = false;
        std::thread watchdog([&] {
            for (int i = 0; i < 150 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!done && storage) {
                rescued = true;
                storage->abort();
            }
        });
        const auto endWatchdog = qScopeGuard([&] {
            done = true;
            watchdog.join();
        });

        FakeCaptioning fakes;
        AppSettings settings(m_dir.filePath(fault + QStringLiteral(".conf")));
        settings.setSelectedLanguage(QStringLiteral("en-US"));
        settings.setKeepTranscripts(true);
        int reader = -1; // the FIFO's, held until the model is gone
        const auto closeReader = qScopeGuard([&] { ::close(reader); });
        auto model = std::make_unique<CaptionViewModel>(fakes.services(), settings);
        QStringList notices;
        const Subscription subscription = model->transcriptNotice.subscribe([&](const QString &notice) {
            if (!notice.isEmpty())
                notices << notice;
        });
        model->start();
        QTRY_VERIFY(model->isRunning.get());
        const QString file = model->keptTranscriptFile();
        QCOMPARE(QFileInfo(file).absolutePath(), folder);
        const auto task = fakes.engine->lastTask();
        // Should the saver wait on the FIFO after all, a reader lets it finish.
        const auto unblock = qScopeGuard([&] {
            if (fault == QStringLiteral("FIFO"))
                reader = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        });
        if (fault == QStringLiteral("FIFO")) {
            QVERIFY(QDir().mkpath(folder));
            QFile::remove(file); // an earlier session's, started in the same second
            QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0644), 0);
        }
        if (fault == QStringLiteral("disk full")) {
            task->deliverSentence(sentence(0));
            task->deliverSentence(sentence(1));
            QTRY_COMPARE(fileContents(file).count('\n'), 2);
            QVERIFY(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] Sentence number 1 was said\\.$"))
                        .match(QString::fromUtf8(fileContents(file).split('\n')[1]))
                        .hasMatch());
            const auto full = fullDisk(rlim_t(QFileInfo(file).size()));
            task->deliverSentence(sentence(2));
            QTRY_COMPARE(notices.size(), 1);
        } else {
            // Stalled, the saver's thread now waits on the file for good.
            task->deliverSentence(sentence(2));
        }
        if (!notice.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 5000);
            QVERIFY2(notices[0].contains(notice), qPrintable(notices[0]));
            QVERIFY(model->keptTranscriptFile().isEmpty());
        }
        task->deliverSentence(sentence(3));
        task->deliverText(QStringLiteral("Still captioning."));
        QTRY_COMPARE(model->captionText.get(), QStringLiteral("Still captioning."));
        QTRY_COMPARE(model->transcript().sentences().size(), std::size_t(fault == QStringLiteral("disk full") ? 4 : 2));
        QVERIFY(model->isRunning.get());
        if (fault == QStringLiteral("disk full"))
            QCOMPARE(fileContents(file).count('\n'), 2); // nothing more, not even after the disk has room again

        model->stop();
        model.reset();
        QVERIFY(!rescued);
        // The disposal thread is not held past the bound either.
        std::atomic<bool> disposed = false;
        BackgroundDisposal::run([&disposed] { disposed = true; });
        QTRY_VERIFY_WITH_TIMEOUT(disposed.load(), int(TranscriptAutoSaver::shutdownBound.count()) + 5000);
        QCOMPARE(notices.size(), notice.isEmpty() ? 0 : 1);
    }
};

QTEST_GUILESS_MAIN(TranscriptTest)
#include "TranscriptTest.moc"
