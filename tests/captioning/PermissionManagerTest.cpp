#include "captioning/PermissionManager.h"
#include "FakePermissionService.h"
#include "LogCapture.h"

#include <QCoreApplication>
#include <QTest>

#include <optional>

namespace {

// Log lines as the manager writes them, without the category.
QStringList permissionLines(const LogCapture &log)
{
    QStringList lines;
    for (const QString &line : log.lines()) {
        if (line.startsWith(QLatin1String("Permissions: ")))
            lines << line.mid(13);
    }
    return lines;
}

} // namespace

class PermissionManagerTest final : public QObject
{
    Q_OBJECT

private:
    std::optional<LogCapture> m_log;

private Q_SLOTS:
    void init() { m_log.emplace(); }
    void cleanup() { m_log.reset(); }

    void speechStatusMapsEveryValue_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<PermissionState>("state");
        QTest::addColumn<QString>("name");
        QTest::newRow("not determined") << 0 << PermissionState::undetermined << QStringLiteral("undetermined");
        QTest::newRow("denied") << 1 << PermissionState::denied << QStringLiteral("denied");
        QTest::newRow("restricted") << 2 << PermissionState::restricted << QStringLiteral("restricted");
        QTest::newRow("authorized") << 3 << PermissionState::granted << QStringLiteral("granted");
        QTest::newRow("above range") << 4 << PermissionState::denied << QStringLiteral("denied");
        QTest::newRow("negative") << -1 << PermissionState::denied << QStringLiteral("denied");
    }
    void speechStatusMapsEveryValue()
    {
        QFETCH(int, status);
        QFETCH(PermissionState, state);
        QFETCH(QString, name);
        auto service = std::make_shared<FakePermissionService>();
        service->speechStatus = status;
        PermissionManager manager(service);
        QCOMPARE(manager.speechStatus(), state);
        QCOMPARE(manager.speechStatus(), state); // nothing cached: asked and logged again
        QCOMPARE(permissionLines(*m_log), QStringList(2, QStringLiteral("Speech status %1").arg(name)));
    }

    void speechRequestCompletesOnTheMainThreadLater_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<PermissionState>("state");
        QTest::addColumn<QString>("line");
        QTest::newRow("not determined") << 0 << PermissionState::undetermined
                                        << QStringLiteral("Speech request result undetermined");
        QTest::newRow("denied") << 1 << PermissionState::denied << QStringLiteral("Speech request result denied");
        QTest::newRow("restricted") << 2 << PermissionState::restricted
                                    << QStringLiteral("Speech request result restricted");
        QTest::newRow("authorized") << 3 << PermissionState::granted << QStringLiteral("Speech request result granted");
        QTest::newRow("unknown") << 99 << PermissionState::denied << QStringLiteral("Speech request result unknown");
    }
    void speechRequestCompletesOnTheMainThreadLater()
    {
        QFETCH(int, status);
        QFETCH(PermissionState, state);
        QFETCH(QString, line);
        auto service = std::make_shared<FakePermissionService>();
        std::optional<PermissionState> received;
        QThread *completionThread = nullptr;
        {
            PermissionManager manager(service);
            manager.requestSpeech([&](PermissionState s) {
                received = s;
                completionThread = QThread::currentThread();
            });
        } // the caller keeps nothing alive for the request
        QCOMPARE(service->speechRequests, 1);
        service->answerSpeechFromWorker(status); // the prompt answers on a thread of its own
        QVERIFY(!received);
        QTRY_VERIFY_WITH_TIMEOUT(received.has_value(), 5000);
        QCOMPARE(*received, state);
        QCOMPARE(completionThread, QCoreApplication::instance()->thread());
        QCOMPARE(permissionLines(*m_log), QStringList { line });
    }

    void screenSideIsOnlyGrantedOrDenied_data()
    {
        QTest::addColumn<bool>("access");
        QTest::addColumn<PermissionState>("state");
        QTest::addColumn<QString>("name");
        QTest::newRow("granted") << true << PermissionState::granted << QStringLiteral("granted");
        QTest::newRow("denied") << false << PermissionState::denied << QStringLiteral("denied");
    }
    void screenSideIsOnlyGrantedOrDenied()
    {
        QFETCH(bool, access);
        QFETCH(PermissionState, state);
        QFETCH(QString, name);
        auto service = std::make_shared<FakePermissionService>();
        service->screenAccess = access;
        service->screenRequestAnswer = access;
        PermissionManager manager(service);
        QCOMPARE(manager.screenStatus(), state);

        std::optional<PermissionState> received;
        manager.requestScreen([&](PermissionState s) { received = s; });
        // The answer is known at once, yet the completion waits for a later turn of the event loop.
        QVERIFY(!received);
        QCOMPARE(permissionLines(*m_log),
            QStringList({ QStringLiteral("Screen status %1").arg(name),
                QStringLiteral("Screen request result %1").arg(name) }));
        QTRY_VERIFY_WITH_TIMEOUT(received.has_value(), 5000);
        QCOMPARE(*received, state);
    }
};

QTEST_GUILESS_MAIN(PermissionManagerTest)
#include "PermissionManagerTest.moc"
