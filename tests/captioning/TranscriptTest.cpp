#include "FakeAudioCaptureService.h"
#include "FakePermissionService.h"
#include "FakeSpeechEngine.h"
#include "SmallFileSystem.h"
#include "StalledFileSystem.h"
#include "base/BackgroundDisposal.h"
#include "captioning/CaptionViewModel.h"
#include "captioning/SessionTranscript.h"
#include "captioning/TranscriptAutoSaver.h"
#include "settings/AppSettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TimedSentence sentence(int n)
{
    return { QStringLiteral("Sentence number %1 was said.").arg(n), 2.0 * n, 2.0 * n + 1.5, {} };
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Files written from now on may grow to `bytes` at most, as on a disk that is full; the process is not
// stopped for it. Undone when it goes out of scope.
class FullDisk final
{
public:
    explicit FullDisk(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FullDisk() { setrlimit(RLIMIT_FSIZE, &m_old); }
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

private:
    rlimit m_old {};
};

// The reading end of a FIFO, opened without waiting for a writer.
int readEnd(const QString &fifo)
{
    return ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// A folder nobody may write in: the permissions of one made here, or /proc for root, whom permissions do
// not stop.
QString readOnlyFolder(const QTemporaryDir &dir)
{
    if (geteuid() == 0)
        return QStringLiteral("/proc");
    const QString folder = dir.filePath(QStringLiteral("read-only"));
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return folder;
}

} // namespace

class TranscriptTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    // Run as a child by keptLinesSurviveAKill: keeps lines until it is killed, saying which are on disk.
    void initTestCase()
    {
        const QString file = qEnvironmentVariable("TRANSCRIPT_KILL_CHILD");
        if (file.isEmpty())
            return;
        TranscriptAutoSaver saver(file, {});
        for (int i = 1;; ++i) {
            saver.append(QStringLiteral("Line %1.").arg(i));
            while (saver.writtenLines() < std::uint64_t(i))
                QThread::usleep(200);
            std::printf("written %d\n", i);
            std::fflush(stdout);
        }
    }

    // Saved by extension; a save that fails says so in plain words and leaves the file that was there.
    void save_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<qint64>("diskBytes"); // how much the disk takes; 0: no limit
        QTest::addColumn<QString>("error"); // the start of the message; empty: saved
        QTest::newRow("text") << QStringLiteral("a.txt") << qint64(0) << QString();
        QTest::newRow("SubRip") << QStringLiteral("a.srt") << qint64(0) << QString();
        QTest::newRow("WebVTT") << QStringLiteral("a.VTT") << qint64(0) << QString();
        QTest::newRow("other extension") << QStringLiteral("a.doc") << qint64(0)
                                         << QStringLiteral("The transcript was not saved: “a.doc” does not end in");
        QTest::newRow("disk full") << QStringLiteral("a.srt") << qint64(2000)
                                   << QStringLiteral("The transcript was not saved: writing “a.srt” failed, perhaps");
        QTest::newRow("read-only folder") << readOnlyFolder(m_dir) + QStringLiteral("/a.txt") << qint64(0)
                                          << QStringLiteral("The transcript was not saved: Sonorel cannot write in");
    }
    void save()
    {
        QFETCH(QString, fileName);
        QFETCH(qint64, diskBytes);
        QFETCH(QString, error);
        SessionTranscript transcript;
        for (int i = 0; i < 300; ++i)
            transcript.append(sentence(i));
        const QString path = fileName.startsWith(u'/') ? fileName : m_dir.filePath(fileName);
        if (!fileName.startsWith(u'/')) {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write("what was there\n") > 0);
        }
        std::optional<QString> failure;
        {
            std::optional<FullDisk> full;
            if (diskBytes > 0)
                full.emplace(rlim_t(diskBytes));
            failure = transcript.saveAs(path);
        }
        QCOMPARE(failure.value_or(QString()).left(error.size()), error);
        if (!error.isEmpty()) {
            if (!fileName.startsWith(u'/'))
                QCOMPARE(contents(path), QByteArray("what was there\n"));
            QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList({ QStringLiteral("*.*.*") }, QDir::Files),
                QStringList()); // no half-written temporary file left behind
            return;
        }
        if (path.endsWith(QStringLiteral(".txt"))) {
            QCOMPARE(contents(path).count('\n'), 300);
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

    // On a real full disk, a save small enough to sit in Qt's write buffer until the end fails and says so, and
    // the file that was there keeps every byte.
    void saveOnAFullDisk()
    {
        const QString folder = m_dir.filePath(QStringLiteral("full"));
        if (!SmallFileSystem::mount(folder, "8k"))
            QSKIP("a small file system can only be mounted by root");
        const auto unmount = qScopeGuard([&] { SmallFileSystem::unmount(folder); });
        const QString old = folder + QStringLiteral("/old.srt");
        const QByteArray oldBytes = "what was there\n";
        {
            QFile file(old);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(oldBytes) == oldBytes.size());
        }
        QVERIFY(SmallFileSystem::fill(folder));
        SessionTranscript transcript;
        for (int i = 0; i < 3; ++i)
            transcript.append(sentence(i));
        const std::optional<QString> failure = transcript.saveAs(old);
        QVERIFY(failure);
        QVERIFY2(failure->startsWith(QStringLiteral(
                     "The transcript was not saved: writing “old.srt” failed, perhaps because the disk")),
            qPrintable(*failure));
        QVERIFY2(failure->contains(QStringLiteral("No space left on device")), qPrintable(*failure));
        QCOMPARE(contents(old), oldBytes);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
            (QStringList { QStringLiteral("filler"), QStringLiteral("old.srt") }));
    }

    // The transcripts' folder is in the user's documents folder, found by the XDG rules; a value of
    // user-dirs.dirs that is relative or the root is ignored.
    void transcriptsFolder_data()
    {
        QTest::addColumn<QByteArray>("userDirs"); // user-dirs.dirs in the configuration folder
        QTest::addColumn<QString>("documents"); // under the home folder
        QTest::newRow("none") << QByteArray() << QStringLiteral("Documents");
        QTest::newRow("set") << QByteArray("XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n") << QStringLiteral("Papers");
        QTest::newRow("root") << QByteArray("XDG_DOCUMENTS_DIR=\"/\"\n") << QStringLiteral("Documents");
        QTest::newRow("empty") << QByteArray("XDG_DOCUMENTS_DIR=\"\"\n") << QStringLiteral("Documents");
        QTest::newRow("relative") << QByteArray("XDG_DOCUMENTS_DIR=Papers\n") << QStringLiteral("Documents");
    }
    void transcriptsFolder()
    {
        QFETCH(QByteArray, userDirs);
        QFETCH(QString, documents);
        const QString file = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/user-dirs.dirs");
        const auto remove = qScopeGuard([&] { QFile::remove(file); });
        QFile dirs(file);
        QVERIFY(dirs.open(QIODevice::WriteOnly) && dirs.write(userDirs) == userDirs.size());
        dirs.close();
        QCOMPARE(TranscriptAutoSaver::defaultFolder(),
            QDir::homePath() + u'/' + documents + QStringLiteral("/Sonorel/Transcripts"));
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

    // Killed without warning, the kept transcript holds every line the saver had finished, whole.
    void keptLinesSurviveAKill()
    {
        const QString file = m_dir.filePath(QStringLiteral("killed/transcript.txt"));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TRANSCRIPT_KILL_CHILD"), file);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("boundedInMemory") });
        int written = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                while (child.canReadLine()) {
                    const QByteArray line = child.readLine();
                    if (line.startsWith("written "))
                        written = line.mid(8).trimmed().toInt();
                }
                return written >= 25;
            }(),
            60000);
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished());
        const QList<QByteArray> lines = contents(file).split('\n');
        QVERIFY2(lines.size() > written, qPrintable(QString::number(lines.size())));
        for (int i = 0; i < written; ++i)
            QCOMPARE(lines[i], QStringLiteral("Line %1.").arg(i + 1).toUtf8());
    }

    // With the setting on, a session keeps a line per sentence in the documents folder as it is said. A full
    // disk gives one notice, ends the keeping for the session, and captions go on.
    void keepsTranscriptsWhileCaptionsRun()
    {
        auto engine = std::make_shared<FakeSpeechEngine>();
        engine->setLocale(QStringLiteral("en-US"));
        AppSettings settings(m_dir.filePath(QStringLiteral("settings.conf")));
        settings.setSelectedLanguage(QStringLiteral("en-US"));
        settings.setKeepTranscripts(true);
        CaptionViewModel model(CaptioningServices { std::make_shared<FakePermissionService>(),
                                   std::make_shared<FakeAudioCaptureService>(), engine },
            settings);
        QStringList notices;
        const Subscription subscription = model.transcriptNotice.subscribe([&](const QString &notice) {
            if (!notice.isEmpty())
                notices << notice;
        });
        model.start();
        QTRY_VERIFY(model.isRunning.get());
        const QString file = model.keptTranscriptFile();
        QCOMPARE(QFileInfo(file).absolutePath(), QDir::homePath() + QStringLiteral("/Documents/Sonorel/Transcripts"));
        for (int i = 0; i < 2; ++i)
            engine->lastTask()->deliverSentence(sentence(i));
        QTRY_COMPARE(contents(file).count('\n'), 2);
        QVERIFY(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] Sentence number 1 was said\\.$"))
                    .match(QString::fromUtf8(contents(file).split('\n')[1]))
                    .hasMatch());

        {
            FullDisk full(rlim_t(QFileInfo(file).size()));
            engine->lastTask()->deliverSentence(sentence(2));
            QTRY_COMPARE(notices.size(), 1);
        }
        QVERIFY2(notices[0].contains(QStringLiteral("because the disk is full")), qPrintable(notices[0]));
        QVERIFY(model.keptTranscriptFile().isEmpty());
        engine->lastTask()->deliverSentence(sentence(3));
        engine->lastTask()->deliverText(QStringLiteral("Still captioning."));
        QTRY_COMPARE(model.captionText.get(), QStringLiteral("Still captioning."));
        QTRY_COMPARE(model.transcript().sentences().size(), std::size_t(4));
        QVERIFY(model.isRunning.get());
        QCOMPARE(notices.size(), 1);
        QCOMPARE(contents(file).count('\n'), 2); // nothing more, not even after the disk has room again
    }

    // Anything but a regular file at the name (a FIFO, which would block the open or every write) is refused
    // as a failure, reported once, instead of waited on.
    void keptTranscriptRefusesWhatIsNotAFile()
    {
        const QString file = m_dir.filePath(QStringLiteral("fifo.txt"));
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0644), 0);
        QStringList failures;
        std::mutex mutex;
        int reader = -1;
        const auto closeReader = qScopeGuard([&] { ::close(reader); });
        {
            TranscriptAutoSaver saver(file, [&](const QString &message) {
                std::lock_guard lock(mutex);
                failures << message;
            });
            // Should the saver wait on the FIFO after all, a reader lets it finish, so that the test fails
            // instead of hanging.
            const auto unblock = qScopeGuard([&] { reader = readEnd(file); });
            saver.append(QStringLiteral("Line 1."));
            QTRY_VERIFY_WITH_TIMEOUT(saver.hasFailed(), 5000);
            QCOMPARE(saver.writtenLines(), std::uint64_t(0));
        }
        std::lock_guard lock(mutex);
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures[0].contains(QStringLiteral("because it is not a regular file")), qPrintable(failures[0]));
    }

    // A transcript file that blocks never holds up the GUI thread: a FIFO in its place is refused with a
    // notice, and storage that stops answering (a hung network share) is given up on the disposal thread
    // after a bounded wait, so that Stop Captions returns at once and quitting ends.
    void stopNeverWaitsOnTheFile_data()
    {
        QTest::addColumn<bool>("stalled"); // false: a FIFO in place of the file
        QTest::newRow("FIFO") << false;
        QTest::newRow("stalled storage") << true;
    }
    void stopNeverWaitsOnTheFile()
    {
        QFETCH(bool, stalled);
        const QString folder = TranscriptAutoSaver::defaultFolder();
        // Mounted before the saver's thread starts, so that the thread sees it.
        std::optional<StalledFileSystem> storage;
        if (stalled) {
            storage.emplace(folder);
            if (!storage->isMounted())
                QSKIP("a FUSE file system can only be mounted by root, with /dev/fuse");
        }
        // Should the GUI thread wait on the file after all, the storage answers after a while, so that the
        // test fails instead of hanging.
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
        std::thread watchdog([&] {
            std::unique_lock lock(mutex);
            if (!changed.wait_for(lock, std::chrono::seconds(15), [&] { return done; }) && storage)
                storage->abort();
        });
        const auto endWatchdog = qScopeGuard([&] {
            {
                std::lock_guard lock(mutex);
                done = true;
            }
            changed.notify_all();
            watchdog.join();
        });

        auto engine = std::make_shared<FakeSpeechEngine>();
        engine->setLocale(QStringLiteral("en-US"));
        AppSettings settings(m_dir.filePath(QStringLiteral("stop.conf")));
        settings.setSelectedLanguage(QStringLiteral("en-US"));
        settings.setKeepTranscripts(true);
        int reader = -1; // held until the model is gone
        const auto closeReader = qScopeGuard([&] { ::close(reader); });
        auto model = std::make_unique<CaptionViewModel>(CaptioningServices { std::make_shared<FakePermissionService>(),
                                                            std::make_shared<FakeAudioCaptureService>(), engine },
            settings);
        QStringList notices;
        const Subscription subscription = model->transcriptNotice.subscribe([&](const QString &notice) {
            if (!notice.isEmpty())
                notices << notice;
        });
        model->start();
        QTRY_VERIFY(model->isRunning.get());
        const QString file = model->keptTranscriptFile();
        QCOMPARE(QFileInfo(file).absolutePath(), folder);
        const auto unblock = qScopeGuard([&] {
            if (!stalled)
                reader = readEnd(file);
        });
        if (!stalled) {
            QVERIFY(QDir().mkpath(folder));
            QFile::remove(file); // an earlier session's, started in the same second
            QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0644), 0);
        }
        engine->lastTask()->deliverSentence(sentence(1));
        // Stalled, the saver's thread now waits on the file for good, whether it got there before the stop or
        // gets there after it with the line still queued.
        if (!stalled) {
            QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 5000);
            QVERIFY2(notices[0].contains(QStringLiteral("because it is not a regular file")), qPrintable(notices[0]));
        }

        QElapsedTimer stopping;
        stopping.start();
        model->stop();
        model.reset();
        QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
        // The disposal thread is not held past the bound either.
        std::atomic<bool> disposed = false;
        BackgroundDisposal::run([&disposed] { disposed = true; });
        QTRY_VERIFY_WITH_TIMEOUT(disposed.load(), int(TranscriptAutoSaver::shutdownBound.count()) + 5000);
        QCOMPARE(notices.size(), stalled ? 0 : 1);
    }
};

QTEST_GUILESS_MAIN(TranscriptTest)
#include "TranscriptTest.moc"
