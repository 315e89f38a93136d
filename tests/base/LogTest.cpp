#include "base/Log.h"
#include "base/BundleInfo.h"

#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

struct CapturedLine {
    QtMsgType type;
    QByteArray category;
};
QList<CapturedLine> captured;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &)
{
    captured.append({ type, QByteArray(context.category) });
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

    // The row's name is the expected line.
    void formatsConversionsAndMarkers_data()
    {
        QTest::addColumn<QString>("line");
        const auto row = [](const char *expected, const char *format, std::initializer_list<Log::Arg> args) {
            QTest::newRow(expected) << Log::format(format, std::span<const Log::Arg>(args.begin(), args.size()));
        };
        const QString locale = u"fr-FR"_s;
        row("Speech status granted", "Speech status %{public}s", { "granted" });
        row("Locale fr-FR set", "Locale %{public}@ set", { locale });
        row("running false", "running %{bool}d", { 0 });
        row("frames 341", "frames %u", { 341u });
        row("length -9223372036854775808", "length %ld", { std::numeric_limits<long>::min() });
        row("rate 16000.000000", "rate %f", { 16000.0 });
        row("100% done", "100%% done", {});
        row("Ünïcødé ✓", "%s", { "Ünïcødé ✓" });
        row("a x b <missing>", "a %s b %d", { "x" });
        row("(null)", "%s", { static_cast<const char *>(nullptr) });
        row("%{public", "%{public", { "x" });
        row("%q x", "%q %s", { "x" });
    }
    void formatsConversionsAndMarkers()
    {
        QFETCH(QString, line);
        QCOMPARE(line, QString::fromUtf8(QTest::currentDataTag()));
    }

    // Each line goes to its category at its level; debug is off by default, and its arguments are then not even
    // evaluated.
    void writesToTheCategoryAtItsLevel()
    {
        int evaluated = 0;
        const auto costly = [&] { return ++evaluated; };
        SLOG_INFO(lcPermissions, "Speech status %{public}s", "granted");
        SLOG_ERROR(lcUpdater, "Update check failed %{public}@", u"boom"_s);
        SLOG_DEBUG(lcAudio, "Delivered buffer frames %u", costly());
        QCOMPARE(evaluated, 0);
        QLoggingCategory::setFilterRules(u"com.ambrite.sonorel.*.debug=true"_s);
        SLOG_DEBUG(lcAudio, "Delivered buffer frames %u", costly());
        QCOMPARE(evaluated, 1);
        QCOMPARE(captured.size(), 3);
        QCOMPARE(captured[0].type, QtInfoMsg);
        QCOMPARE(captured[0].category, QByteArray("com.ambrite.sonorel.Permissions"));
        QCOMPARE(captured[1].type, QtCriticalMsg);
        QCOMPARE(captured[1].category, QByteArray("com.ambrite.sonorel.Updater"));
        QCOMPARE(captured[2].type, QtDebugMsg);
    }

    void bundleValuesFallBackToDash()
    {
        BundleInfo::setInfoDictionary({ { BundleInfo::versionKey, 42 } });
        QCOMPARE(BundleInfo::stringOrDash(BundleInfo::versionKey), u"-"_s); // not a string
        QCOMPARE(BundleInfo::stringOrDash(BundleInfo::shortVersionKey), u"-"_s); // missing
        BundleInfo::resetInfoDictionary();
        QVERIFY(BundleInfo::string(BundleInfo::versionKey).has_value());
        QVERIFY(BundleInfo::string(BundleInfo::shortVersionKey).has_value());
    }
};

QTEST_GUILESS_MAIN(LogTest)
#include "LogTest.moc"
