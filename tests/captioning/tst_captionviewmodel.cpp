#include "AppSettings.h"
#include "AudioCaptureManager.h"
#include "CaptionViewModel.h"
#include "FakeAudioCaptureService.h"
#include "FakePermissionService.h"
#include "FakeSpeechEngine.h"
#include "LogCapture.h"
#include "SpeechRecognitionManager.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString repeatedLines(int lines, const QString &separator, int width = 3)
{
    QStringList out;
    for (int i = 0; i < lines; ++i)
        out << QStringLiteral("%1").arg(i, width, 10, QLatin1Char('0'));
    return out.join(separator);
}

QString repeated(const QString &unit, int times)
{
    QString out;
    for (int i = 0; i < times; ++i)
        out += unit;
    return out;
}

} // namespace

class TestCaptionViewModel final : public QObject
{
    Q_OBJECT

    struct Rig {
        std::shared_ptr<FakePermissionService> permissions = std::make_shared<FakePermissionService>();
        std::shared_ptr<FakeAudioCaptureService> capture = std::make_shared<FakeAudioCaptureService>();
        std::shared_ptr<FakeSpeechEngine> engine = std::make_shared<FakeSpeechEngine>();
        QTemporaryDir dir;
        std::unique_ptr<AppSettings> settings;
        std::unique_ptr<CaptionViewModel> model;

        explicit Rig(FakeSpeechEngine::Presence presence = FakeSpeechEngine::Presence::present)
        {
            engine->setLocale(QStringLiteral("en-US"), presence);
            settings = std::make_unique<AppSettings>(dir.filePath(QStringLiteral("settings.conf")));
            settings->setSelectedLanguage(QStringLiteral("en-US"));
            model = std::make_unique<CaptionViewModel>(CaptioningServices { permissions, capture, engine }, *settings);
        }
        std::shared_ptr<FakeSpeechEngine::Task> task() const { return engine->lastTask(); }
    };

    static const QString helpText() { return CaptionViewModel::siriHelpMessage; }

private Q_SLOTS:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*.debug=true")); }

    void startThenStop()
    {
        LogCapture log;
        Rig rig;
        rig.model->start();
        // The run begins on a later turn: nothing has happened when start() returns.
        QVERIFY(!log.contains(QStringLiteral("Captions: Start requested")));
        QTRY_VERIFY(rig.model->isRunning.get());
        QCOMPARE(rig.capture->capturingStreams(), 1);
        QCOMPARE(rig.engine->taskCount(), 1);
        QCOMPARE(rig.model->errorMessage.get(), QString());

        rig.task()->deliverText(QStringLiteral("hello world"));
        QTRY_COMPARE(rig.model->captionText.get(), QStringLiteral("hello world"));

        // Captured buffers reach the recognition request on the capture thread.
        rig.capture->lastStream()->push(320, 0.25f);
        QCOMPARE(rig.task()->request->appendedFrames(), 320u);

        rig.model->stop();
        QVERIFY(!rig.model->isRunning.get());
        QVERIFY(rig.task()->isCancelled());
        QTRY_COMPARE(rig.capture->lastStream()->stopCalls, 1);
        QCOMPARE(rig.model->captionText.get(), QStringLiteral("hello world"));

        const QStringList expectedOrder { QStringLiteral("Captions: Start requested"),
            QStringLiteral("Audio: Start capture requested"), QStringLiteral("Audio: Audio capture started"),
            QStringLiteral("Captions: Captions started"), QStringLiteral("Captions: Stopping captions"),
            QStringLiteral("Audio: Audio capture stopped") };
        qsizetype at = 0;
        const QStringList lines = log.lines();
        for (const QString &expected : expectedOrder) {
            at = lines.indexOf(expected, at);
            QVERIFY2(at >= 0, qPrintable(expected));
        }
        QVERIFY(log.contains(QStringLiteral("Captions: Passing buffer frames 320")));
        QVERIFY(log.contains(QStringLiteral("Audio: Delivered buffer frames 320")));
        QVERIFY(log.contains(QStringLiteral("Captions: Received transcription length 11")));
    }

    void trimming_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        const QString fifty = repeatedLines(50, QStringLiteral("\n"));
        QTest::newRow("50 lines unchanged") << fifty << fifty;
        QTest::newRow("51 lines keep last 25")
            << repeatedLines(51, QStringLiteral("\n"))
            << QStringList(repeatedLines(51, QStringLiteral("\n")).split(QLatin1Char('\n')).mid(26))
                   .join(QLatin1Char('\n'));
        QTest::newRow("50 lines with other separators unchanged")
            << repeatedLines(49, QStringLiteral("\u2029")) + QStringLiteral("\x0b") + QStringLiteral("end")
            << repeatedLines(49, QStringLiteral("\u2029")) + QStringLiteral("\x0b") + QStringLiteral("end");
        // 51 lines, each of the seven separators in turn: the last 25 lines are joined with LF.
        const QString separators = QStringLiteral("\n\x0b\x0c\r\u0085\u2028\u2029");
        QString everySeparator;
        QStringList everyLine;
        for (int i = 0; i < 51; ++i) {
            const QString line = QStringLiteral("l%1").arg(i);
            everyLine << line;
            everySeparator += line;
            if (i < 50)
                everySeparator += separators.at(i % separators.size());
        }
        QTest::newRow("every separator counts")
            << everySeparator << QStringList(everyLine.mid(26)).join(QLatin1Char('\n'));
        // 30 lines with CR LF: 59 separators, 60 lines; the last 25 are 12 or 13 empty lines among text.
        QStringList crlf;
        for (int i = 0; i < 30; ++i)
            crlf << QStringLiteral("line%1").arg(i);
        QStringList crlfExpected;
        QStringList split = crlf.join(QStringLiteral("\r\n")).split(QRegularExpression(QStringLiteral("[\\r\\n]")));
        crlfExpected = split.mid(split.size() - 25);
        QTest::newRow("CR LF splits twice")
            << crlf.join(QStringLiteral("\r\n")) << crlfExpected.join(QLatin1Char('\n'));
        QTest::newRow("trailing separator is a line")
            << repeatedLines(50, QStringLiteral("\n")) + QStringLiteral("\n")
            << QStringList(repeatedLines(50, QStringLiteral("\n")).split(QLatin1Char('\n')).mid(26))
                    .join(QLatin1Char('\n'))
                + QStringLiteral("\n");

        QTest::newRow("4000 characters unchanged")
            << repeated(QStringLiteral("a"), 4000) << repeated(QStringLiteral("a"), 4000);
        QTest::newRow("4001 characters keep last 2000") << QStringLiteral("b") + repeated(QStringLiteral("a"), 3999)
                + QStringLiteral("z") << repeated(QStringLiteral("a"), 1999) + QStringLiteral("z");

        QStringList hundred;
        for (int i = 0; i < 60; ++i)
            hundred << QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0')) + repeated(QStringLiteral("x"), 98);
        const QString last25 = QStringList(hundred.mid(35)).join(QLatin1Char('\n'));
        QTest::newRow("60 lines of 100 characters") << hundred.join(QLatin1Char('\n')) << last25;

        // Thumbs up with a skin-tone modifier: two code points, four UTF-16 units, one character.
        const QString thumb = QStringLiteral("\U0001F44D\U0001F3FD");
        QTest::newRow("4000 emoji unchanged") << repeated(thumb, 4000) << repeated(thumb, 4000);
        QTest::newRow("4001 emoji keep 2000") << QStringLiteral("A") + repeated(thumb, 4000) << repeated(thumb, 2000);
        // e with two combining marks: one character.
        const QString accented = QStringLiteral("e\u0301\u0323");
        QTest::newRow("combining marks count once")
            << repeated(accented, 4000) + QStringLiteral("q") << repeated(accented, 1999) + QStringLiteral("q");
        QTest::newRow("CR LF is one character") << repeated(QStringLiteral("ab"), 1998) + QStringLiteral("\r\ncde")
                                                << repeated(QStringLiteral("ab"), 1998) + QStringLiteral("\r\ncde");
        QTest::newRow("empty") << QString() << QString();
    }
    void trimming()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const QString trimmed = CaptionViewModel::trimmedCaption(text);
        QCOMPARE(trimmed.size(), expected.size());
        QCOMPARE(trimmed, expected);
    }

    void sixtyLinesAreTwentyFiveHundredTwentyFourCharacters()
    {
        QStringList lines;
        for (int i = 0; i < 60; ++i)
            lines << repeated(QStringLiteral("y"), 100);
        QCOMPARE(CaptionViewModel::trimmedCaption(lines.join(QLatin1Char('\n'))).size(), 2524);
    }

    // A transcription delivered through the speech manager is trimmed before it is published.
    void publishedCaptionIsTrimmed()
    {
        Rig rig;
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        rig.task()->deliverText(repeatedLines(51, QStringLiteral("\n")));
        QTRY_COMPARE(rig.model->captionText.get().count(QLatin1Char('\n')), 24);
    }

    void recognitionErrorShowsHelp_data()
    {
        QTest::addColumn<QString>("error");
        QTest::newRow("any text") << QStringLiteral("decoder exploded");
        QTest::newRow("the help text itself") << helpText();
    }
    void recognitionErrorShowsHelp()
    {
        QFETCH(QString, error);
        LogCapture log;
        Rig rig;
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        rig.task()->deliverError(error);
        QTRY_VERIFY(!rig.model->isRunning.get());
        QCOMPARE(rig.model->errorMessage.get(), helpText());
        QTRY_COMPARE(rig.model->speech().latestError.get(), QString());
        QVERIFY(log.contains(QStringLiteral("Captions: Speech manager error ") + error));
        QTRY_COMPARE(rig.capture->lastStream()->stopCalls, 1);
    }

    void emptyErrorChangesNothing()
    {
        Rig rig;
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        rig.model->speech().latestError = QString();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(rig.model->isRunning.get());
        QCOMPARE(rig.model->errorMessage.get(), QString());
    }

    void noRecognizerShowsHelp_data()
    {
        QTest::addColumn<int>("presence");
        QTest::newRow("no model for the language") << int(FakeSpeechEngine::Presence::absent);
        QTest::newRow("not on device") << int(FakeSpeechEngine::Presence::noOnDevice);
    }
    void noRecognizerShowsHelp()
    {
        QFETCH(int, presence);
        LogCapture log;
        Rig rig { FakeSpeechEngine::Presence(presence) };
        rig.model->start();
        QTRY_COMPARE(rig.model->errorMessage.get(), helpText());
        QVERIFY(log.contains(QStringLiteral("Captions: On-device recognition unavailable")));
        QVERIFY(!rig.model->isRunning.get());
        QCOMPARE(rig.capture->contentRequests, 0);
        QCOMPARE(rig.engine->taskCount(), 0);
    }

    // Start failures show the error's full description; the log has its message.
    void startFailureShowsDescription_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("logged");
        QTest::newRow("recognizer unavailable")
            << 0 << QStringLiteral("Error Domain=Speech Code=-2 \"Speech recognizer not available\"")
            << QStringLiteral("Speech recognizer not available");
        QTest::newRow("no output device")
            << 1
            << QStringLiteral("Error Domain=AudioCapture Code=-10 \"The operation couldn't be completed. "
                              "(AudioCapture error -10.)\"")
            << QStringLiteral("The operation couldn't be completed. (AudioCapture error -10.)");
        QTest::newRow("server unreachable")
            << 2 << QStringLiteral("Error Domain=PulseAudio Code=6 \"Connection refused\"")
            << QStringLiteral("Connection refused");
        QTest::newRow("stream does not start")
            << 3 << QStringLiteral("Error Domain=PulseAudio Code=5 \"No such entity\"")
            << QStringLiteral("No such entity");
    }
    void startFailureShowsDescription()
    {
        QFETCH(int, fault);
        QFETCH(QString, shown);
        QFETCH(QString, logged);
        LogCapture log;
        Rig rig(fault == 0 ? FakeSpeechEngine::Presence::unavailable : FakeSpeechEngine::Presence::present);
        if (fault == 1)
            rig.capture->outputDevices.clear();
        if (fault == 2)
            rig.capture->contentError
                = PlatformError { QStringLiteral("PulseAudio"), 6, QStringLiteral("Connection refused") };
        if (fault == 3)
            rig.capture->startError
                = PlatformError { QStringLiteral("PulseAudio"), 5, QStringLiteral("No such entity") };
        rig.model->start();
        QTRY_COMPARE(rig.model->errorMessage.get(), shown);
        QVERIFY(log.contains(QStringLiteral("Captions: Failed to start captions ") + logged));
        QVERIFY(log.contains(QStringLiteral("Captions: Error message set ") + shown));
        QVERIFY(!rig.model->isRunning.get());
        QCOMPARE(rig.capture->capturingStreams(), 0);
        if (fault == 1)
            QVERIFY(log.contains(QStringLiteral("Audio: No displays available for capture")));
        // The speech task that had started is cancelled again.
        if (rig.task())
            QVERIFY(rig.task()->isCancelled());

        // A later start that succeeds clears the error.
        rig.engine->setLocale(QStringLiteral("en-US"));
        rig.capture->outputDevices = { QStringLiteral("fake_sink") };
        rig.capture->contentError.reset();
        rig.capture->startError.reset();
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        QCOMPARE(rig.model->errorMessage.get(), QString());
    }

    // The stream dies while captions run: the session ends and says why.
    void captureFailureAfterStart()
    {
        LogCapture log;
        Rig rig;
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        const PlatformError gone { QStringLiteral("PulseAudio"), 13, QStringLiteral("Connection terminated") };
        rig.capture->lastStream()->fail(gone);
        QTRY_VERIFY(!rig.model->isRunning.get());
        QCOMPARE(rig.model->errorMessage.get(), gone.fullDescription());
        QVERIFY(rig.task()->isCancelled());
        QVERIFY(!rig.model->audioCapture().isRunning());
        QVERIFY(log.contains(QStringLiteral("Audio: Audio capture failed Connection terminated")));

        // Captions can be started again afterwards, on a new stream.
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        QCOMPARE(rig.capture->streams.size(), 2u);
        QCOMPARE(rig.model->errorMessage.get(), QString());
    }

    void stopWhileWaitingForCapture()
    {
        Rig rig;
        rig.capture->holdStarts = true;
        rig.model->start();
        QTRY_VERIFY(rig.capture->lastStream() && rig.capture->lastStream()->hasPendingStart());
        rig.model->stop();
        rig.capture->lastStream()->answerStart(std::nullopt);
        // The run finds its token gone and takes down what it started.
        QTRY_COMPARE(rig.capture->lastStream()->stopCalls, 1);
        QVERIFY(!rig.model->isRunning.get());
        QVERIFY(!rig.model->audioCapture().isRunning());
        QCOMPARE(rig.model->errorMessage.get(), QString());
        QVERIFY(rig.task()->isCancelled());
    }

    // A second start while the first waits for capture: one stream serves the newer run, and the
    // overtaken run does not stop what the newer one relies on.
    void startWhileWaitingForCapture()
    {
        Rig rig;
        rig.capture->holdStarts = true;
        rig.model->start();
        QTRY_VERIFY(rig.capture->lastStream() && rig.capture->lastStream()->hasPendingStart());
        rig.model->start();
        // Let the second run reach its capture start.
        QTRY_COMPARE(rig.capture->contentRequests, 1);
        QCoreApplication::processEvents();
        rig.capture->lastStream()->answerStart(std::nullopt);
        QTRY_VERIFY(rig.model->isRunning.get());
        QCoreApplication::processEvents();
        QCOMPARE(rig.capture->streams.size(), 1u);
        QCOMPARE(rig.capture->capturingStreams(), 1);
        QVERIFY(rig.model->audioCapture().isRunning());
        QCOMPARE(rig.engine->taskCount(), 1);
        QVERIFY(!rig.task()->isCancelled());
    }

    void startTwiceAtOnce()
    {
        Rig rig;
        rig.model->start();
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        QTRY_COMPARE(rig.capture->capturingStreams(), 1);
        QCOMPARE(rig.engine->taskCount(), 1);
        QVERIFY(!rig.task()->isCancelled());
        rig.model->stop();
        QTRY_COMPARE(rig.capture->capturingStreams(), 0);
    }

    // Stop, then start at once: the old stream's late stop leaves the new session alone.
    void stopThenStartWhileRunning()
    {
        Rig rig;
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        rig.model->stop();
        rig.model->start();
        QTRY_VERIFY(rig.model->isRunning.get());
        QTRY_COMPARE(rig.capture->capturingStreams(), 1);
        QVERIFY(rig.model->audioCapture().isRunning());
        rig.capture->lastStream()->push(160);
        QCOMPARE(rig.task()->request->appendedFrames(), 160u);
    }

    void speechPermission_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("runs");
        QTest::newRow("granted at the prompt") << int(PermissionService::Authorized) << true;
        QTest::newRow("denied at the prompt") << int(PermissionService::Denied) << false;
        QTest::newRow("restricted at the prompt") << int(PermissionService::Restricted) << false;
        QTest::newRow("still undetermined goes on") << int(PermissionService::NotDetermined) << true;
    }
    void speechPermission()
    {
        QFETCH(int, answer);
        QFETCH(bool, runs);
        LogCapture log;
        Rig rig;
        rig.permissions->speechStatus = PermissionService::NotDetermined;
        rig.model->start();
        QTRY_COMPARE(rig.permissions->speechRequests, 1);
        QVERIFY(log.contains(QStringLiteral("Captions: Requesting speech permissions")));
        rig.permissions->speechStatus = answer;
        rig.permissions->answerSpeechFromWorker(answer);
        if (runs) {
            QTRY_VERIFY(rig.model->isRunning.get());
            QCOMPARE(rig.model->errorMessage.get(), QString());
        } else {
            QTRY_COMPARE(rig.model->errorMessage.get(), helpText());
            QVERIFY(!rig.model->isRunning.get());
            QCOMPARE(rig.capture->contentRequests, 0);
        }
    }

    void stopWhilePromptOpenThenRefused()
    {
        LogCapture log;
        Rig rig;
        rig.permissions->speechStatus = PermissionService::NotDetermined;
        rig.model->start();
        QTRY_COMPARE(rig.permissions->speechRequests, 1);
        rig.model->stop();
        QCOMPARE(log.count(QStringLiteral("Captions: Stopping captions")), 1);
        rig.permissions->speechStatus = PermissionService::Denied;
        rig.permissions->answerSpeechFromWorker(PermissionService::Denied);
        QTRY_COMPARE(rig.model->errorMessage.get(), helpText());
        QCOMPARE(log.count(QStringLiteral("Captions: Stopping captions")), 2);
    }

    void stopWhilePromptOpenThenGranted()
    {
        Rig rig;
        rig.permissions->speechStatus = PermissionService::NotDetermined;
        rig.model->start();
        QTRY_COMPARE(rig.permissions->speechRequests, 1);
        rig.model->stop();
        rig.permissions->speechStatus = PermissionService::Authorized;
        rig.permissions->answerSpeechFromWorker(PermissionService::Authorized);
        // The run ends silently at its token check and cancels the task it started.
        QTRY_VERIFY(rig.task() && rig.task()->isCancelled());
        QVERIFY(!rig.model->isRunning.get());
        QCOMPARE(rig.capture->contentRequests, 0);
        QCOMPARE(rig.model->errorMessage.get(), QString());
    }

    void screenPermissionRequestedThenCaptureFails()
    {
        LogCapture log;
        Rig rig;
        rig.permissions->screenAccess = false;
        rig.permissions->screenRequestAnswer = false;
        rig.capture->contentError
            = PlatformError { QStringLiteral("PulseAudio"), 6, QStringLiteral("Connection refused") };
        rig.model->start();
        QTRY_COMPARE(rig.model->errorMessage.get(), rig.capture->contentError->fullDescription());
        QCOMPARE(rig.permissions->screenRequests, 1);
        QVERIFY(log.contains(QStringLiteral("Captions: Requesting screen recording permissions")));
    }

    void stopWhenIdle()
    {
        LogCapture log;
        Rig rig;
        rig.model->stop();
        QVERIFY(log.contains(QStringLiteral("Captions: Stopping captions")));
        QVERIFY(log.contains(QStringLiteral("Speech: Stopping recognition")));
        QVERIFY(!log.contains(QStringLiteral("Audio: Audio capture stopped")));
        QVERIFY(!rig.model->isRunning.get());
    }

    void dismissError()
    {
        LogCapture log;
        Rig rig(FakeSpeechEngine::Presence::absent);
        rig.model->dismissError();
        QVERIFY(log.contains(QStringLiteral("Captions: Error message dismissed")));
        QCOMPARE(rig.model->errorMessage.get(), QString());
        rig.model->start();
        QTRY_COMPARE(rig.model->errorMessage.get(), helpText());
        rig.model->dismissError();
        QCOMPARE(rig.model->errorMessage.get(), QString());
    }

    // A run suspended in a wait when the controller goes away ends without touching it.
    void destroyedWhileWaiting()
    {
        Rig rig;
        rig.capture->holdStarts = true;
        rig.model->start();
        QTRY_VERIFY(rig.capture->lastStream() && rig.capture->lastStream()->hasPendingStart());
        rig.model.reset();
        rig.capture->lastStream()->answerStart(std::nullopt);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(rig.capture->lastStream()->stopCalls == 0);
    }
};

QTEST_GUILESS_MAIN(TestCaptionViewModel)
#include "tst_captionviewmodel.moc"
