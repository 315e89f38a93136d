#include "base/Log.h"
#include "base/BundleInfo.h"

#include <QMutex>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <limits>

namespace {

struct CapturedLine {
    QtMsgType type;
    QByteArray category;
    QString text;
};

QMutex capturedMutex;
QList<CapturedLine> captured;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QMutexLocker lock(&capturedMutex);
    captured.append({ type, QByteArray(context.category), text });
}

QString fmt(const char *format, std::initializer_list<Log::Arg> args)
{
    return Log::format(format, std::span<const Log::Arg>(args.begin(), args.size()));
}

} // namespace

class LogTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        captured.clear();
        qInstallMessageHandler(capture);
    }
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        QLoggingCategory::setFilterRules(QString());
    }

    void formatsConversionsAndMarkers_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        const QString locale = QStringLiteral("fr-FR");
        QTest::newRow("public string") << fmt("Speech status %{public}s", { "granted" })
                                       << QStringLiteral("Speech status granted");
        QTest::newRow("public object") << fmt("Locale %{public}@ set", { locale })
                                       << QStringLiteral("Locale fr-FR set");
        QTest::newRow("bool marker from int") << fmt("running %{bool}d", { 0 }) << QStringLiteral("running false");
        QTest::newRow("unsigned") << fmt("Delivered buffer frames %u", { 341u })
                                  << QStringLiteral("Delivered buffer frames 341");
        QTest::newRow("long") << fmt("length %ld", { std::numeric_limits<long>::min() })
                              << QStringLiteral("length -9223372036854775808");
        QTest::newRow("double") << fmt("rate %f", { 16000.0 }) << QStringLiteral("rate 16000.000000");
        QTest::newRow("percent") << fmt("100%% done", {}) << QStringLiteral("100% done");
        QTest::newRow("utf8") << fmt("%s", { "Ünïcødé ✓" }) << QStringLiteral("Ünïcødé ✓");
        QTest::newRow("missing argument") << fmt("a %s b %d", { "x" }) << QStringLiteral("a x b <missing>");
        QTest::newRow("null string") << fmt("%s", { static_cast<const char *>(nullptr) }) << QStringLiteral("(null)");
        QTest::newRow("unclosed marker") << fmt("%{public", { "x" }) << QStringLiteral("%{public");
        QTest::newRow("unknown conversion kept") << fmt("%q %s", { "x" }) << QStringLiteral("%q x");
    }
    void formatsConversionsAndMarkers()
    {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }

    void writesToTheCategoryAtItsLevel()
    {
        SLOG_INFO(lcPermissions, "Speech status %{public}s", "granted");
        SLOG_ERROR(lcUpdater, "Update check failed %{public}@", QStringLiteral("boom"));
        QCOMPARE(captured.size(), 2);
        QCOMPARE(captured[0].type, QtInfoMsg);
        QCOMPARE(captured[0].category, QByteArray("com.ambrite.sonorel.Permissions"));
        QCOMPARE(captured[0].text, QStringLiteral("Speech status granted"));
        QCOMPARE(captured[1].type, QtCriticalMsg);
        QCOMPARE(captured[1].category, QByteArray("com.ambrite.sonorel.Updater"));
    }

    void debugIsOffByDefaultAndArgumentsAreNotEvaluated()
    {
        int evaluated = 0;
        auto costly = [&] {
            ++evaluated;
            return 1u;
        };
        SLOG_DEBUG(lcAudio, "Delivered buffer frames %u", costly());
        QCOMPARE(evaluated, 0);
        QVERIFY(captured.isEmpty());

        QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*.debug=true"));
        SLOG_DEBUG(lcAudio, "Delivered buffer frames %u", costly());
        QCOMPARE(evaluated, 1);
        QCOMPARE(captured.size(), 1);
        QCOMPARE(captured[0].text, QStringLiteral("Delivered buffer frames 1"));
    }

    void linesFromManyThreadsStayWhole()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.*.debug=true"));
        constexpr int threads = 8;
        constexpr int perThread = 500;
        std::vector<std::unique_ptr<QThread>> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back(QThread::create([t] {
                const QString tag = QStringLiteral("thread-%1").arg(t);
                for (int i = 0; i < perThread; ++i)
                    SLOG_DEBUG(lcSpeech, "%{public}s line %d of %s", tag, i, "many");
            }));
            workers.back()->start();
        }
        for (auto &w : workers)
            QVERIFY(w->wait(60000));
        QCOMPARE(captured.size(), threads * perThread);
        const QRegularExpression shape(QStringLiteral("^thread-(\\d) line (\\d+) of many$"));
        QList<int> next(threads, 0);
        for (const auto &line : std::as_const(captured)) {
            const auto m = shape.match(line.text);
            QVERIFY2(m.hasMatch(), qPrintable(line.text));
            // Lines of one thread arrive in the order it wrote them.
            const int t = m.captured(1).toInt();
            QCOMPARE(m.captured(2).toInt(), next[t]++);
        }
    }

    void bundleValuesFallBackToDash()
    {
        QVERIFY(BundleInfo::string(BundleInfo::versionKey).has_value());
        QVERIFY(!BundleInfo::stringOrDash(BundleInfo::shortVersionKey).isEmpty());

        BundleInfo::setInfoDictionary(
            { { BundleInfo::shortVersionKey, QStringLiteral("1.4.2") }, { BundleInfo::versionKey, 42 } });
        QCOMPARE(BundleInfo::stringOrDash(BundleInfo::shortVersionKey), QStringLiteral("1.4.2"));
        QCOMPARE(BundleInfo::stringOrDash(BundleInfo::versionKey), QStringLiteral("-")); // not a string
        BundleInfo::setInfoDictionary({});
        QCOMPARE(BundleInfo::stringOrDash(BundleInfo::shortVersionKey), QStringLiteral("-"));
        BundleInfo::resetInfoDictionary();
        QVERIFY(BundleInfo::string(BundleInfo::versionKey).has_value());
    }
};

QTEST_GUILESS_MAIN(LogTest)
#include "LogTest.moc"
