#include "captioning/CaptionViewModel.h"
#include "FakeCaptioning.h"
#include "FileContents.h"
#include "LogCapture.h"
#include "captioning/AudioCaptureManager.h"
#include "captioning/PermissionManager.h"
#include "captioning/SpeechRecognitionManager.h"
#include "settings/AppSettings.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

QString repeated(const QString &unit, int times, const QString &separator = QString())
{
    return QStringList(times, unit).join(separator);
}

// Lines "0" to "count - 1" joined by the separators in turn.
QString numberedLines(int count, const QString &separators = QStringLiteral("\n"))
{
    QString out = QStringLiteral("0");
    for (int i = 1; i < count; ++i)
        out += separators.at((i - 1) % separators.size()) + QString::number(i);
    return out;
}
const QString last25 = numberedLines(51).section(u'\n', 26); // lines 26 to 50

using Fault = int;
constexpr Fault recognitionError = 0, noModel = 1, recognizerOffline = 2, noOutputDevice = 3, noServer = 4,
                streamDies = 5, permissionDenied = 6, startNeverAnswers = 7;

} // namespace

class CaptionViewModelTest final : public QObject
{
    Q_OBJECT

    struct Rig : FakeCaptioning {
        QTemporaryDir dir;
        AppSettings settings { dir.filePath(QStringLiteral("settings.conf")) };
        std::unique_ptr<CaptionViewModel> model;

        explicit Rig(FakeSpeechEngine::Presence presence = FakeSpeechEngine::Presence::present)
            : FakeCaptioning(presence)
        {
            settings.setSelectedLanguage(QStringLiteral("en-US"));
            model = std::make_unique<CaptionViewModel>(services(), settings);
        }
        std::shared_ptr<FakeSpeechEngine::Task> task() const { return engine->lastTask(); }
        bool waitForHeldStart() const
        {
            return QTest::qWaitFor([&] { return capture->lastStream() && capture->lastStream()->hasPendingStart(); });
        }
    };

private Q_SLOTS:
    void captionsFlowWhileRunning()
    {
        Rig rig;
        rig.model->start();
        QVERIFY(!rig.model->isRunning.get()); // the run begins on a later turn
        QTRY_VERIFY(rig.model->isRunning.get());
        rig.capture->lastStream()->push(320, 0.25f);
        QCOMPARE(rig.task()->request->appendedFrames(), 320u);
        // A transcription is trimmed before it is published.
        rig.task()->deliverText(numberedLines(51));
        QTRY_COMPARE(rig.model->captionText.get(), last25);

        // A new source is taken up while captions run: the text stays, the recognizer goes on, and only the
        // new stream's audio counts from the moment it records.
        const auto old = rig.capture->lastStream();
        rig.settings.setAudioSource(AudioSource::application(QStringLiteral("Talker")));
        QTRY_COMPARE(old->stopCalls, 1);
        const auto next = rig.capture->lastStream();
        QCOMPARE(next->configuration().source, AudioSource::application(QStringLiteral("Talker")));
        old->capturing = true; // a buffer the old stream had under way
        old->push(100);
        old->capturing = false;
        next->push(160);
        QCOMPARE(rig.task()->request->appendedFrames(), 480u);
        next->setPresent(false);
        QTRY_COMPARE(rig.model->waitingText.get(), QStringLiteral("Waiting for Talker\u2026"));
        next->setPresent(true);
        QTRY_COMPARE(rig.model->waitingText.get(), QString());
        QVERIFY(rig.model->isRunning.get());
        QCOMPARE(rig.engine->tasks().size(), 1u);
        QCOMPARE(rig.model->captionText.get(), last25);

        // A microphone the server does not have: the whole mix stands in, and the overlay says so.
        rig.settings.setAudioSource(AudioSource::input(QStringLiteral("usb_mic")));
        QTRY_COMPARE(next->stopCalls, 1);
        QVERIFY(rig.capture->lastStream()->configuration().source.isSystem());
        QVERIFY(rig.model->waitingText.get().contains(QStringLiteral("\u201cusb_mic\u201d is not connected")));

        rig.model->stop();
        QCOMPARE(rig.model->waitingText.get(), QString());
        QVERIFY(!rig.model->isRunning.get());
        QTRY_VERIFY(rig.task()->isCancelled());
        QTRY_COMPARE(rig.capture->capturingStreams(), 0);
        QCOMPARE(rig.model->captionText.get(), last25);
    }

    // The sentence under way at a stop is finished and kept, in the transcript and its file, before the
    // next start begins a task; that start, and a save, go on with the same transcript and file.
    void stopKeepsTheSentenceUnderWay()
    {
        Rig rig;
        rig.settings.setKeepTranscripts(true);
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        const QString file = rig.model->keptTranscriptFile();
        const auto first = rig.task();
        first->deliverSentence({ QStringLiteral("Two sentences before."), 0, 1, {} });
        first->sentenceUnderWay = TimedSentence { QStringLiteral("And rather self."), 2, 3, {} };
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

        rig.task()->sentenceUnderWay = TimedSentence { QStringLiteral("Then more."), 0, 1, {} };
        QStringList saved;
        rig.model->finishSentence([&] {
            for (const TimedSentence &s : rig.model->transcript().sentences())
                saved << s.text;
        });
        QTRY_COMPARE(saved,
            (QStringList { QStringLiteral("Two sentences before."), QStringLiteral("And rather self."),
                QStringLiteral("Then more.") }));
        QCOMPARE(rig.model->keptTranscriptFile(), file);
        QTRY_COMPARE(fileContents(file).count('\n'), 3);
    }

    void trimming_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const QString a = QStringLiteral("a");
        const QString thumb = QStringLiteral("\U0001F44D\U0001F3FD"); // four UTF-16 units, one character
        QTest::newRow("50 lines") << numberedLines(50) << numberedLines(50);
        QTest::newRow("51 lines keep the last 25") << numberedLines(51) << last25;
        QTest::newRow("trailing separator is a line")
            << numberedLines(50) + u'\n' << numberedLines(50).section(u'\n', 26) + u'\n';
        const QString separators = QStringLiteral("\n\x0b\x0c\r\u0085\u2028\u2029");
        QTest::newRow("every separator counts, joined by LF") << numberedLines(51, separators) << last25;
        QTest::newRow("CR LF is two separators") << repeated(QStringLiteral("x"), 26, QStringLiteral("\r\n"))
                                                 << repeated(QStringLiteral("x"), 13, QStringLiteral("\n\n"));
        QTest::newRow("4000 characters") << repeated(a, 4000) << repeated(a, 4000);
        QTest::newRow("4001 characters keep the last 2000")
            << u'b' + repeated(a, 3999) + u'z' << repeated(a, 1999) + u'z';
        QTest::newRow("lines before characters") << repeated(repeated(a, 100), 60, QStringLiteral("\n"))
                                                 << repeated(repeated(a, 100), 25, QStringLiteral("\n"));
        QTest::newRow("4000 emoji") << repeated(thumb, 4000) << repeated(thumb, 4000);
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
        QTest::addColumn<QString>("shown"); // part of the message
        const QString help = CaptionViewModel::siriHelpMessage();
        QTest::newRow("recognition error") << recognitionError << help;
        QTest::newRow("no model for the language") << noModel << help;
        // Plain words first, then the technical detail; the general text where the failing layer says nothing.
        QTest::newRow("recognizer offline")
            << recognizerOffline << QStringLiteral("in Settings. (Speech -2: Speech recognizer not available)");
        QTest::newRow("no output device")
            << noOutputDevice << QStringLiteral("start captions again. (AudioCapture -10)");
        QTest::newRow("server unreachable")
            << noServer << QStringLiteral("Sonorel could not connect. Start the server. (PulseAudio 6: Refused)");
        QTest::newRow("speech permission denied") << permissionDenied << help;
        // A sound server that takes the start and never answers: the start fails after the timeout, the stream
        // is stopped, and the next start is not held behind it.
        QTest::newRow("capture start never answers") << startNeverAnswers << QStringLiteral("did not start");
        QTest::newRow("stream dies") << streamDies
                                     << CaptionViewModel::unexpectedErrorMessage() + QStringLiteral(" (PulseAudio 13)");
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
            rig.capture->contentError = PlatformError { QStringLiteral("PulseAudio"), 6, QStringLiteral("Refused"),
                QStringLiteral("Sonorel could not connect. Start the server.") };
        if (fault == permissionDenied)
            rig.permissions->speechStatus = PermissionService::Denied;
        if (fault == startNeverAnswers) {
            rig.capture->holdStarts = true;
            rig.model->audioCapture().setStartTimeout(300);
        }
        rig.model->start();
        if (fault == recognitionError || fault == streamDies) {
            QTRY_VERIFY(rig.model->isRunning.get());
            if (fault == streamDies)
                rig.capture->lastStream()->fail(PlatformError { QStringLiteral("PulseAudio"), 13, QString() });
            else
                rig.task()->deliverError(QStringLiteral("decoder exploded"));
        }
        QTRY_VERIFY2(rig.model->errorMessage.get().contains(shown), qPrintable(rig.model->errorMessage.get()));
        QVERIFY(!rig.model->isRunning.get());
        QTRY_COMPARE(rig.capture->capturingStreams(), 0);
        QVERIFY(!rig.model->audioCapture().isRunning());
        QVERIFY(!rig.task() || rig.task()->isCancelled());
        if (fault == noModel || fault == permissionDenied) {
            QCOMPARE(rig.capture->contentRequests, 0); // capture is not even tried
            return;
        }
        if (fault == startNeverAnswers)
            QCOMPARE(rig.capture->lastStream()->stopCalls, 1);

        rig.capture->holdStarts = false;
        rig.engine->setLocale(QStringLiteral("en-US"));
        rig.capture->outputDevices = { QStringLiteral("fake_sink") };
        rig.capture->contentError.reset();
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        QCOMPARE(rig.model->errorMessage.get(), QString());
        QCOMPARE(rig.capture->capturingStreams(), 1);
    }

    // Overlapping starts and stops: whatever the order, the newest call wins and nothing is left running.
    void tokenRaces_data()
    {
        QTest::addColumn<int>("race");
        QTest::addColumn<bool>("running");
        QTest::newRow("stop while capture starts") << 0 << false;
        QTest::newRow("start while capture starts") << 1 << true;
        QTest::newRow("start twice at once") << 2 << true;
        QTest::newRow("stop then start at once") << 3 << true;
        QTest::newRow("stop while the speech prompt is open") << 4 << false;
    }
    void tokenRaces()
    {
        QFETCH(int, race);
        QFETCH(bool, running);
        Rig rig;
        rig.capture->holdStarts = race < 2;
        rig.permissions->speechStatus = race == 4 ? PermissionService::NotDetermined : PermissionService::Authorized;
        rig.model->start();
        if (race == 4) { // granted on another thread after the stop: the run cancels the task it started
            QTRY_COMPARE(rig.permissions->speechRequests, 1);
            rig.model->stop();
            rig.permissions->speechStatus = PermissionService::Authorized;
            rig.permissions->answerSpeechFromWorker(PermissionService::Authorized);
            QTRY_VERIFY(rig.task() && rig.task()->isCancelled());
        }
        if (race < 2) {
            QVERIFY(rig.waitForHeldStart());
            race == 0 ? rig.model->stop() : rig.model->start();
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
            rig.capture->lastStream()->answerStart(std::nullopt);
        } else if (race == 2) {
            rig.model->start();
        } else if (race == 3) {
            QTRY_VERIFY(rig.model->isRunning.get());
            rig.model->stop();
            rig.model->start();
        }
        QTRY_COMPARE(rig.model->isRunning.get(), running);
        QTRY_COMPARE(rig.capture->capturingStreams(), running ? 1 : 0);
        QCOMPARE(rig.model->audioCapture().isRunning(), running);
        QCOMPARE(rig.model->errorMessage.get(), QString());
        const auto tasks = rig.engine->tasks();
        QCOMPARE(std::count_if(tasks.begin(), tasks.end(), [](const auto &t) { return !t->isCancelled(); }),
            running ? 1 : 0);
        if (running) {
            rig.capture->lastStream()->push(160);
            QCOMPARE(rig.task()->request->appendedFrames(), 160u);
        }
    }

    // A run suspended in a wait when the controller goes away ends without touching it.
    void destroyedWhileWaiting()
    {
        Rig rig;
        rig.capture->holdStarts = true;
        rig.model->start();
        QVERIFY(rig.waitForHeldStart());
        rig.model.reset();
        rig.capture->lastStream()->answerStart(std::nullopt);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(rig.capture->lastStream()->stopCalls, 0);
    }

    // The gatekeeper's statuses as the permission layer reads them, any it does not know as denied (and
    // logged as unknown); the answers to requests come on the main thread, on a later turn of its loop.
    void permissionStates_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<PermissionState>("state");
        QTest::newRow("not determined") << 0 << PermissionState::undetermined;
        QTest::newRow("denied") << 1 << PermissionState::denied;
        QTest::newRow("restricted") << 2 << PermissionState::restricted;
        QTest::newRow("authorized") << 3 << PermissionState::granted;
        QTest::newRow("above range") << 4 << PermissionState::denied;
        QTest::newRow("negative") << -1 << PermissionState::denied;
    }
    void permissionStates()
    {
        QFETCH(int, status);
        QFETCH(PermissionState, state);
        const auto service = std::make_shared<FakePermissionService>();
        service->speechStatus = status;
        service->screenAccess = service->screenRequestAnswer = status == 3;
        const PermissionState screen = status == 3 ? PermissionState::granted : PermissionState::denied;
        PermissionManager manager(service);
        QCOMPARE(manager.speechStatus(), state);
        QCOMPARE(manager.screenStatus(), screen);
        LogCapture log;
        std::optional<PermissionState> speechAnswer, screenAnswer;
        QThread *answeredOn = nullptr;
        manager.requestSpeech([&](PermissionState s) {
            speechAnswer = s;
            answeredOn = QThread::currentThread();
        });
        manager.requestScreen([&](PermissionState s) { screenAnswer = s; });
        service->answerSpeechFromWorker(status);
        QVERIFY(!speechAnswer && !screenAnswer);
        QTRY_VERIFY(speechAnswer && screenAnswer);
        QCOMPARE(*speechAnswer, state);
        QCOMPARE(*screenAnswer, screen);
        QCOMPARE(answeredOn, qApp->thread());
        QCOMPARE(log.lines().filter(QStringLiteral("unknown")).size(), status < 0 || status > 3 ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(CaptionViewModelTest)
#include "CaptionViewModelTest.moc"
