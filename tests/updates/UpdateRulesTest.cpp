#include "BundleInfo.h"
#include "UpdateError.h"
#include "UpdateManager.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

UpdateManifest manifest(const QString &version, const QString &build)
{
    UpdateManifest m;
    m.version = version;
    m.build = build;
    m.download.url = QUrl(u"https://updates.sonorel.app/a.dmg"_s);
    return m;
}

} // namespace

class UpdateRulesTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { BundleInfo::resetInfoDictionary(); }

    void manifestComesFromOurServerOverHttps()
    {
        const UpdateManager manager;
        QCOMPARE(manager.manifestUrl().scheme(), u"https"_s);
        QCOMPARE(manager.manifestUrl().path(), u"/manifest.json"_s);
        QVERIFY(!manager.manifestUrl().host().isEmpty());
    }

    void compareVersions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected");
        QTest::newRow("1.10 after 1.9") << u"1.10"_s << u"1.9"_s << 1;
        QTest::newRow("trailing zero equal") << u"1.2"_s << u"1.2.0"_s << 0;
        QTest::newRow("longer after") << u"1.2.1"_s << u"1.2"_s << 1;
        QTest::newRow("shorter before") << u"1.2"_s << u"1.2.1"_s << -1;
        QTest::newRow("beta piece dropped") << u"2.0-beta"_s << u"1.9"_s << 1;
        QTest::newRow("all dropped is zero") << u"beta"_s << u"1"_s << -1;
        QTest::newRow("both empty") << QString() << QString() << 0;
        QTest::newRow("negative piece") << u"1.-1"_s << u"1"_s << -1;
        QTest::newRow("empty pieces dropped") << u"1..2"_s << u"1.2"_s << 0;
        QTest::newRow("dropped piece shifts") << u"1.x.3"_s << u"1.3"_s << 0;
        QTest::newRow("plus sign") << u"+2"_s << u"1"_s << 1;
        QTest::newRow("space not a number") << u"1. 5"_s << u"1"_s << 0;
        QTest::newRow("overflow dropped") << u"1.9223372036854775808"_s << u"1"_s << 0;
        QTest::newRow("largest piece") << u"9223372036854775807"_s << u"9223372036854775806"_s << 1;
        QTest::newRow("leading zeros") << u"1.02"_s << u"1.2"_s << 0;
    }

    void compareVersions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, expected);
        QCOMPARE(UpdateManager::compareVersions(a, b), expected);
        QCOMPARE(UpdateManager::compareVersions(b, a), -expected);
    }

    void isUpdateAvailable_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("build");
        QTest::addColumn<QVariantMap>("bundle");
        QTest::addColumn<bool>("newer");
        const auto running = [](QVariant version, QVariant build) {
            QVariantMap info;
            if (version.isValid())
                info.insert(BundleInfo::shortVersionKey, version);
            if (build.isValid())
                info.insert(BundleInfo::versionKey, build);
            return info;
        };
        const QVariant v12(u"1.2"_s);
        QTest::newRow("newer version any build") << u"1.3"_s << u"1"_s << running(v12, u"99"_s) << true;
        QTest::newRow("greater build") << u"1.2"_s << u"42"_s << running(v12, u"41"_s) << true;
        QTest::newRow("same build") << u"1.2"_s << u"41"_s << running(v12, u"41"_s) << false;
        QTest::newRow("older version greater build") << u"1.1"_s << u"50"_s << running(v12, u"41"_s) << true;
        QTest::newRow("older version smaller build") << u"1.1"_s << u"40"_s << running(v12, u"41"_s) << false;
        QTest::newRow("numeric not text") << u"1.2"_s << u"100"_s << running(v12, u"99"_s) << true;
        QTest::newRow("text with numbers") << u"1.2"_s << u"2a"_s << running(v12, u"10"_s) << false;
        QTest::newRow("text with numbers newer") << u"1.2"_s << u"10a"_s << running(v12, u"9b"_s) << true;
        QTest::newRow("text case-sensitive") << u"1.2"_s << u"b"_s << running(v12, u"B"_s) << true;
        QTest::newRow("empty build") << u"1.2"_s << QString() << running(v12, u"5"_s) << false;
        QTest::newRow("signed builds") << u"1.2"_s << u"+3"_s << running(v12, u"-4"_s) << true;
        QTest::newRow("space is text") << u"1.2"_s << u" 3"_s << running(v12, u"3"_s) << false;
        QTest::newRow("huge builds as text")
            << u"1.2"_s << u"99999999999999999999"_s << running(v12, u"99999999999999999998"_s) << true;
        QTest::newRow("no running version") << u"1.0"_s << u"1"_s << running({}, u"99"_s) << true;
        QTest::newRow("running version not text") << u"1.0"_s << u"1"_s << running(12, u"99"_s) << true;
        QTest::newRow("no running build") << u"1.2"_s << u"1"_s << running(v12, {}) << true;
        QTest::newRow("running build not text") << u"1.2"_s << u"1"_s << running(v12, 99) << true;
    }

    void isUpdateAvailable()
    {
        QFETCH(QString, version);
        QFETCH(QString, build);
        QFETCH(QVariantMap, bundle);
        QFETCH(bool, newer);
        BundleInfo::setInfoDictionary(bundle);
        QCOMPARE(UpdateManager::isUpdateAvailable(manifest(version, build)), newer);
    }

    void errorDescriptions_data()
    {
        using Code = UpdateError::Code;
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("description");
        QTest::newRow("move failed") << int(Code::moveFailed) << u"No space left on device"_s
                                     << u"The update could not be saved: No space left on device"_s;
        QTest::newRow("move failed without reason")
            << int(Code::moveFailed) << QString() << u"The update could not be saved."_s;
        QTest::newRow("invalid response")
            << int(Code::invalidResponse) << QString() << u"The update server returned an unexpected response."_s;
        QTest::newRow("invalid status") << int(Code::invalidStatusCode) << QString()
                                        << u"The update server returned an error status."_s;
        QTest::newRow("checksum") << int(Code::checksumMismatch) << QString()
                                  << u"The downloaded update failed verification."_s;
        QTest::newRow("downloads") << int(Code::downloadsDirectoryUnavailable) << QString()
                                   << u"The Downloads folder is unavailable."_s;
    }

    void errorDescriptions()
    {
        QFETCH(int, code);
        QFETCH(QString, reason);
        QFETCH(QString, description);
        QCOMPARE(UpdateError(UpdateError::Code(code), reason).errorDescription(), description);
    }

    void savedFileName_data()
    {
        QTest::addColumn<QString>("bundleName");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("spaces") << u"My App"_s << u"1.3"_s << u"My-App-1.3-2025-01-31T09:30:00Z.dmg"_s;
        QTest::newRow("empty base") << QString() << u"1.3"_s << u"Sonorel-1.3-2025-01-31T09:30:00Z.dmg"_s;
        QTest::newRow("separators") << u"a/b\\c"_s << u"1/2"_s << u"a-b-c-1-2-2025-01-31T09:30:00Z.dmg"_s;
        QTest::newRow("parent folders") << u"../../evil"_s << u"1.3"_s << u"-..-evil-1.3-2025-01-31T09:30:00Z.dmg"_s;
        QTest::newRow("hidden") << u".hidden"_s << u"1.3"_s << u"hidden-1.3-2025-01-31T09:30:00Z.dmg"_s;
        QTest::newRow("nul") << u"a\0b"_s << u"1"_s << u"a-b-1-2025-01-31T09:30:00Z.dmg"_s;
        QTest::newRow("version verbatim") << u"S"_s << u" 1.3 beta"_s << u"S- 1.3 beta-2025-01-31T09:30:00Z.dmg"_s;
    }

    void savedFileName()
    {
        QFETCH(QString, bundleName);
        QFETCH(QString, version);
        QFETCH(QString, fileName);
        UpdateManifest m = manifest(version, u"1"_s);
        m.bundleName = bundleName;
        // A local time that is 09:30 in UTC: the stamp is always written in UTC.
        const QDateTime now(QDate(2025, 1, 31), QTime(10, 30), Qt::OffsetFromUTC, 3600);
        QCOMPARE(UpdateManager::savedFileName(m, now), fileName);
    }
};

QTEST_GUILESS_MAIN(UpdateRulesTest)
#include "UpdateRulesTest.moc"
