#include "captioning/CaptionViewModel.h"
#include "FakeCaptioning.h"
#include "FileContents.h"
#include "SmallFileSystem.h"
#include "StalledFileSystem.h"
#include "base/BackgroundDisposal.h"
#include "captioning/AudioCaptureManager.h"
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
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString repeated(const QString &unit, int times, const QString &separator = {})
{
    return QStringList(times, unit).join(separator);
}
// Lines "0" to "count - 1" joined by the separators in turn.
QString numberedLines(int count, const QString &separators = u"\n"_s)
{
    QString out = u"0"_s;
    for (int i = 1; i < count; ++i)
        out += separators.at((i - 1) % separators.size()) + QString::number(i);
    return out;
}
const QString last25 = numberedLines(51).section(u'\n', 26); // lines 26 to 50

using Fault = int;
constexpr Fault recognitionError = 0, noModel = 1, recognizerOffline = 2, noOutputDevice = 3, noServer = 4,
                streamDies = 5, denied = 6, startHangs = 7;

TimedSentence sentence(int n)
{
    return { u"Sentence number %1 was said."_s.arg(n), 2.0 * n, 2.0 * n + 1.5, {} };
}

// Files written until the guard goes may grow to `bytes` at most, as on a full disk; the process goes on.
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

class CaptionViewModelTest final : public QObject
{
    Q_OBJECT

    struct Rig : FakeCaptioning {
        QTemporaryDir dir;
        AppSettings settings { dir.filePath(u"settings.conf"_s) };
        std::unique_ptr<CaptionViewModel> model;

        explicit Rig(FakeSpeechEngine::Presence presence = FakeSpeechEngine::Presence::present)
            : FakeCaptioning(presence)
        {
            settings.setSelectedLanguage(u"en-US"_s);
            model = std::make_unique<CaptionViewModel>(services(), settings);
        }
        std::shared_ptr<FakeSpeechEngine::Task> task() const { return engine->lastTask(); }
    };
    QTemporaryDir m_dir;

private Q_SLOTS:
    // Saved by extension; a save that fails says so and leaves the file that was there.
    void save_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<int>("disk"); // 0: room; 1: files may not grow past 2000 bytes; 2: a small file system, full
        QTest::addColumn<bool>("saved");
        QTest::newRow("text") << u"a.txt"_s << 0 << true;
        QTest::newRow("SubRip") << u"a.srt"_s << 0 << true;
        QTest::newRow("WebVTT") << u"a.VTT"_s << 0 << true;
        QTest::newRow("other extension") << u"a.doc"_s << 0 << false;
        QTest::newRow("disk full") << u"a.srt"_s << 1 << false;
        QTest::newRow("disk full at the end") << u"a.srt"_s << 2 << false; // all in Qt's write buffer until then
        QTest::newRow("read-only folder") << u"/proc/a.txt"_s << 0 << false; // root may write anywhere else
    }
    void save()
    {
        QFETCH(QString, fileName);
        QFETCH(int, disk);
        QFETCH(bool, saved);
        const QString folder = m_dir.filePath(QString::fromUtf8(QTest::currentDataTag()));
        if (disk == 2 && !SmallFileSystem::mount(folder, "8k"))
            QSKIP("a small file system can only be mounted by root");
        const auto unmount = qScopeGuard([&] { disk == 2 ? SmallFileSystem::unmount(folder) : void(); });
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
        QVERIFY2(saved ? !failure : failure->startsWith(u"The transcript was not saved: "_s),
            qPrintable(failure.value_or(QString())));
        if (!saved) {
            QVERIFY(fresh || fileContents(path) == "what was there\n");
            QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList({ u"*.*.*"_s }, QDir::Files), QStringList());
            return;
        }
        if (path.endsWith(u".txt"_s)) {
            QCOMPARE(fileContents(path).count('\n'), 300);
            return;
        }
        QProcess probe; // the subtitles as a player reads them: a cue per sentence
        probe.start(u"ffprobe"_s,
            { u"-v"_s, u"error"_s, u"-show_entries"_s, u"packet=pts_time"_s, u"-of"_s, u"csv=p=0"_s, path });
        QVERIFY(probe.waitForFinished() && probe.exitCode() == 0);
        const QList<QByteArray> cues = probe.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(cues.size(), 300);
        QCOMPARE(cues.last().toDouble(), 598.0);
    }

    // An all-day session keeps the newest 5 MB of text.
    void boundedInMemory()
    {
        SessionTranscript transcript;
        for (int i = 0; i < 2000; ++i)
            transcript.append({ QString(1000, u'x'), 0, 1, { { QString(1000, u'y'), 0, 1 } } });
        transcript.append(sentence(1));
        QVERIFY(transcript.textBytes() <= SessionTranscript::maxTextBytes);
        QVERIFY(transcript.textBytes() > SessionTranscript::maxTextBytes - 4000);
        QCOMPARE(transcript.sentences().back().text, sentence(1).text);
    }

    // A session keeps a line per sentence as it is said; a file that fails (a FIFO would block the open)
    // gives one notice and ends the keeping, and captions go on.
    void keepsTranscripts()
    {
        for (const bool fifo : { false, true }) {
            int reader = -1; // the FIFO's, held until the model is gone
            const auto closeReader = qScopeGuard([&] { ::close(reader); });
            Rig rig;
            rig.settings.setKeepTranscripts(true);
            QStringList notices;
            const Subscription subscription = rig.model->transcriptNotice.subscribe(
                [&](const QString &n) { n.isEmpty() ? void() : notices.append(n); });
            rig.model->start();
            QTRY_VERIFY(rig.model->isRunning.get());
            const QString file = rig.model->keptTranscriptFile();
            QCOMPARE(QFileInfo(file).absolutePath(), TranscriptAutoSaver::defaultFolder());
            const auto task = rig.task();
            const auto unblock = qScopeGuard([&] { // should the saver wait on the FIFO after all; gone for the next
                if (fifo)
                    reader = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                QFile::remove(file);
            });
            if (fifo) {
                QVERIFY(QDir().mkpath(TranscriptAutoSaver::defaultFolder()));
                QFile::remove(file); // an earlier session's, started in the same second
                QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0644), 0);
            } else {
                task->deliverSentence(sentence(0));
                task->deliverSentence(sentence(1));
                QTRY_COMPARE(fileContents(file).count('\n'), 2);
                const QString line = QString::fromUtf8(fileContents(file).split('\n')[1]); // [hh:mm:ss] text
                const QRegularExpression kept(u"^\\[\\d\\d(:\\d\\d){2}\\] Sentence number 1 was said\\.$"_s);
                QVERIFY2(kept.match(line).hasMatch(), qPrintable(line));
            }
            {
                const auto limit = fullDisk(fifo ? RLIM_INFINITY : rlim_t(QFileInfo(file).size()));
                task->deliverSentence(sentence(2));
                QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 5000);
            }
            QVERIFY2(notices[0].contains(fifo ? u"not a regular file"_s : u"disk is full"_s), qPrintable(notices[0]));
            QVERIFY(rig.model->keptTranscriptFile().isEmpty());
            task->deliverSentence(sentence(3));
            task->deliverText(u"Still captioning."_s);
            QTRY_COMPARE(rig.model->captionText.get(), u"Still captioning."_s);
            QTRY_COMPARE(rig.model->transcript().sentences().size(), std::size_t(fifo ? 2 : 4));
            QVERIFY(rig.model->isRunning.get());
            QVERIFY(fifo || fileContents(file).count('\n') == 2); // nothing more, not even once there is room
            rig.model->stop();
            rig.model.reset();
            QCOMPARE(notices.size(), 1);
        }
    }

    // Storage that stops answering, as a hung network share does, holds up neither Stop nor quitting: the
    // saver's thread is left to wait on it, and the disposal thread gives up on it after a bounded wait.
    void stalledStorageHoldsNothingUp()
    {
        StalledFileSystem storage(TranscriptAutoSaver::defaultFolder()); // before the saver's thread starts
        if (!storage.isMounted())
            QSKIP("a FUSE file system can only be mounted by root, with /dev/fuse");
        // Should Stop wait on the file after all, the storage answers after 15 s: the test fails, not hangs.
        std::atomic<bool> done = false, rescued = false;
        std::thread watchdog([&] {
            for (int i = 0; i < 150 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!done && (rescued = true))
                storage.abort();
        });
        const auto endWatchdog = qScopeGuard([&] {
            done = true;
            watchdog.join();
        });
        Rig rig;
        rig.settings.setKeepTranscripts(true);
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        rig.task()->deliverSentence(sentence(2)); // the saver's thread now waits on the file for good
        rig.task()->deliverSentence(sentence(3));
        QTRY_COMPARE(rig.model->transcript().sentences().size(), std::size_t(2));
        rig.model->stop();
        rig.model.reset();
        QVERIFY(!rescued);
        std::atomic<bool> disposed = false;
        BackgroundDisposal::run([&disposed] { disposed = true; });
        QTRY_VERIFY_WITH_TIMEOUT(disposed.load(), int(TranscriptAutoSaver::shutdownBound.count()) + 5000);
    }

    void captionsFlowWhileRunning()
    {
        Rig rig;
        rig.model->start();
        QVERIFY(!rig.model->isRunning.get()); // the run begins on a later turn
        QTRY_VERIFY(rig.model->isRunning.get());
        rig.capture->lastStream()->push(320, 0.25f);
        QCOMPARE(rig.task()->request->appendedFrames(), 320u);
        rig.task()->deliverText(numberedLines(51)); // trimmed before it is published
        QTRY_COMPARE(rig.model->captionText.get(), last25);

        // A new source while captions run: text and recognizer stay, only the new stream's audio counts.
        const auto old = rig.capture->lastStream();
        rig.settings.setAudioSource(AudioSource::application(u"Talker"_s));
        QTRY_COMPARE(old->stopCalls, 1);
        const auto next = rig.capture->lastStream();
        QCOMPARE(next->configuration().source, AudioSource::application(u"Talker"_s));
        old->capturing = true; // a buffer the old stream had under way
        old->push(100);
        old->capturing = false;
        next->push(160);
        QCOMPARE(rig.task()->request->appendedFrames(), 480u);
        next->setPresent(false);
        QTRY_VERIFY(rig.model->waitingText.get().contains(u"Talker"_s));
        next->setPresent(true);
        QTRY_COMPARE(rig.model->waitingText.get(), QString());
        QVERIFY(rig.model->isRunning.get());
        QCOMPARE(rig.engine->taskCount(), 1);
        QCOMPARE(rig.model->captionText.get(), last25);

        // A microphone the server does not have: the whole mix stands in, and the overlay says so.
        rig.settings.setAudioSource(AudioSource::input(u"usb_mic"_s));
        QTRY_COMPARE(next->stopCalls, 1);
        QVERIFY(rig.capture->lastStream()->configuration().source.isSystem());
        QVERIFY(rig.model->waitingText.get().contains(u"usb_mic"_s));

        rig.model->stop();
        QCOMPARE(rig.model->waitingText.get(), QString());
        QVERIFY(!rig.model->isRunning.get());
        QTRY_VERIFY(rig.task()->isCancelled());
        QTRY_COMPARE(rig.capture->capturingStreams(), 0);
        QCOMPARE(rig.model->captionText.get(), last25);
    }

    // The sentence under way at a stop is kept before the next start's task, which goes on in the same file.
    void stopKeepsTheSentenceUnderWay()
    {
        Rig rig;
        rig.settings.setKeepTranscripts(true);
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        const QString file = rig.model->keptTranscriptFile();
        const auto first = rig.task();
        first->deliverSentence({ u"Two sentences before."_s, 0, 1, {} });
        first->sentenceUnderWay = TimedSentence { u"And rather self."_s, 2, 3, {} };
        first->holdFinish = true;
        rig.model->stop();
        QVERIFY(!rig.model->isRunning.get());
        rig.model->start();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(rig.engine->taskCount(), 1);
        first->answerFinish();
        QTRY_VERIFY(rig.model->isRunning.get());
        QCOMPARE(rig.engine->taskCount(), 2);
        QVERIFY(first->isCancelled());

        rig.task()->sentenceUnderWay = TimedSentence { u"Then more."_s, 0, 1, {} };
        QStringList saved;
        rig.model->finishSentence([&] {
            for (const TimedSentence &s : rig.model->transcript().sentences())
                saved << s.text;
        });
        QTRY_COMPARE(saved, (QStringList { u"Two sentences before."_s, u"And rather self."_s, u"Then more."_s }));
        QCOMPARE(rig.model->keptTranscriptFile(), file);
        QTRY_COMPARE(fileContents(file).count('\n'), 3);
    }

    void trimming_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const QString a = u"a"_s, thumb = u"\U0001F44D\U0001F3FD"_s; // four UTF-16 units, one character
        QTest::newRow("50 lines") << numberedLines(50) << numberedLines(50);
        QTest::newRow("51 lines keep the last 25") << numberedLines(51) << last25;
        QTest::newRow("trailing separator")
            << numberedLines(50) + u'\n' << numberedLines(50).section(u'\n', 26) + u'\n';
        QTest::newRow("every separator, joined by LF")
            << numberedLines(51, u"\n\x0b\x0c\r\u0085\u2028\u2029"_s) << last25;
        QTest::newRow("CR LF is two") << repeated(u"x"_s, 26, u"\r\n"_s) << repeated(u"x"_s, 13, u"\n\n"_s);
        QTest::newRow("4000 characters") << repeated(a, 4000) << repeated(a, 4000);
        QTest::newRow("4001 characters keep 2000") << u'b' + repeated(a, 3999) + u'z' << repeated(a, 1999) + u'z';
        QTest::newRow("lines first") << repeated(repeated(a, 100), 60, u"\n"_s)
                                     << repeated(repeated(a, 100), 25, u"\n"_s);
        QTest::newRow("4001 emoji") << u'A' + repeated(thumb, 4000) << repeated(thumb, 2000);
    }
    void trimming()
    {
        QFETCH(QString, text);
        QTEST(CaptionViewModel::trimmedCaption(text), "expected");
    }

    // Every way a session fails ends it with a message; the next start that succeeds clears it.
    void failureShowsMessage_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("shown"); // part of the message: the technical detail after the plain words
        const QString help = CaptionViewModel::siriHelpMessage();
        QTest::newRow("recognition error") << recognitionError << help;
        QTest::newRow("no model for the language") << noModel << help;
        QTest::newRow("recognizer offline") << recognizerOffline << u"Settings. (Speech -2: "_s;
        QTest::newRow("no output device") << noOutputDevice << u". (AudioCapture -10)"_s;
        QTest::newRow("server unreachable") << noServer << u"Start the server. (PulseAudio 6: Refused)"_s;
        QTest::newRow("speech permission denied") << denied << help;
        QTest::newRow("capture start never answers") << startHangs << u"did not start"_s; // after the timeout
        QTest::newRow("stream dies") << streamDies
                                     << CaptionViewModel::unexpectedErrorMessage() + u" (PulseAudio 13)"_s;
    }
    void failureShowsMessage()
    {
        QFETCH(Fault, fault);
        QFETCH(QString, shown);
        using P = FakeSpeechEngine::Presence;
        Rig rig(fault == noModel ? P::absent : fault == recognizerOffline ? P::unavailable : P::present);
        if (fault == noOutputDevice)
            rig.capture->outputDevices.clear();
        if (fault == noServer)
            rig.capture->contentError = PlatformError { u"PulseAudio"_s, 6, u"Refused"_s, u"Start the server."_s };
        if (fault == denied)
            rig.permissions->speechStatus = PermissionService::Denied;
        rig.capture->holdStarts = fault == startHangs;
        rig.model->audioCapture().setStartTimeout(300);
        rig.model->start();
        if (fault == recognitionError || fault == streamDies) {
            QTRY_VERIFY(rig.model->isRunning.get());
            if (fault == streamDies)
                rig.capture->lastStream()->fail(PlatformError { u"PulseAudio"_s, 13, QString() });
            else
                rig.task()->deliverError(u"decoder exploded"_s);
        }
        QTRY_VERIFY2(rig.model->errorMessage.get().contains(shown), qPrintable(rig.model->errorMessage.get()));
        QVERIFY(!rig.model->isRunning.get());
        QTRY_COMPARE(rig.capture->capturingStreams(), 0);
        QVERIFY(!rig.model->audioCapture().isRunning());
        QVERIFY(!rig.task() || rig.task()->isCancelled());
        if (fault == noModel || fault == denied) {
            QCOMPARE(rig.capture->contentRequests, 0); // capture is not even tried
            return;
        }
        if (fault == startHangs)
            QCOMPARE(rig.capture->lastStream()->stopCalls, 1);

        rig.capture->holdStarts = false;
        rig.engine->setLocale(u"en-US"_s);
        rig.capture->outputDevices = { u"fake_sink"_s };
        rig.capture->contentError.reset();
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        QCOMPARE(rig.model->errorMessage.get(), QString());
        QCOMPARE(rig.capture->capturingStreams(), 1);
    }

    // Overlapping starts and stops: whatever the order, the newest call wins and nothing is left running.
    void tokenRaces()
    {
        // Races 0 and 4 stop: stop while capture starts, or while the speech prompt is open; 1 starts while capture
        // starts, 2 starts twice at once, 3 stops and starts at once; in 5 the controller goes away while capture
        // starts, and its suspended run ends without touching it.
        for (const int race : { 0, 1, 2, 3, 4, 5 }) {
            const bool running = race != 0 && race != 4 && race != 5;
            const auto named = qScopeGuard([&] { QTest::currentTestFailed() ? qWarning("in race %d", race) : void(); });
            Rig rig;
            rig.capture->holdStarts = race < 2 || race == 5;
            rig.permissions->speechStatus
                = race == 4 ? PermissionService::NotDetermined : PermissionService::Authorized;
            rig.model->start();
            if (race == 4) { // granted on another thread after the stop: the run cancels the task it started
                QTRY_COMPARE(rig.permissions->speechRequests, 1);
                rig.model->stop();
                rig.permissions->speechStatus = PermissionService::Authorized;
                rig.permissions->answerSpeechFromWorker(PermissionService::Authorized);
                QTRY_VERIFY(rig.task() && rig.task()->isCancelled());
            } else if (race < 2 || race == 5) {
                QVERIFY(QTest::qWaitFor(
                    [&] { return rig.capture->lastStream() && rig.capture->lastStream()->hasPendingStart(); }));
                race == 5 ? rig.model.reset() : race == 0 ? rig.model->stop() : rig.model->start();
                QCoreApplication::processEvents();
                QCoreApplication::processEvents();
                rig.capture->lastStream()->answerStart(std::nullopt);
                if (race == 5) {
                    QCoreApplication::processEvents();
                    QCoreApplication::processEvents();
                    QCOMPARE(rig.capture->lastStream()->stopCalls, 0);
                    continue;
                }
            } else if (race == 2) {
                rig.model->start();
            } else {
                QTRY_VERIFY(rig.model->isRunning.get());
                rig.model->stop();
                rig.model->start();
            }
            QTRY_COMPARE(rig.model->isRunning.get(), running);
            QTRY_COMPARE(rig.capture->capturingStreams(), running ? 1 : 0);
            QCOMPARE(rig.model->audioCapture().isRunning(), running);
            QCOMPARE(rig.model->errorMessage.get(), QString());
            const auto tasks = rig.engine->tasks();
            QCOMPARE(
                std::count_if(tasks.begin(), tasks.end(), [](const auto &t) { return !t->isCancelled(); }), running);
            if (running) {
                rig.capture->lastStream()->push(160);
                QCOMPARE(rig.task()->request->appendedFrames(), 160u);
            }
        }
    }
};

QTEST_GUILESS_MAIN(CaptionViewModelTest)
#include "CaptionViewModelTest.moc"
