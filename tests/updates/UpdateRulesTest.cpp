#include "base/BundleInfo.h"
#include "updates/UpdateManager.h"

#include <QTest>

using namespace Qt::StringLiterals;

class UpdateRulesTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { BundleInfo::resetInfoDictionary(); }

    void compareVersions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected");
        const auto row = [](const QString &a, const QString &b, int expected) {
            QTest::addRow("%s vs %s", qPrintable(a), qPrintable(b)) << a << b << expected;
        };
        row(u"1.10"_s, u"1.9"_s, 1);
        row(u"1.2"_s, u"1.2.0"_s, 0);
        row(u"1.2"_s, u"1.2.1"_s, -1);
        row(u"2.0-beta"_s, u"1.9"_s, 1); // an unparsable piece counts as absent
        row(u"1.-1"_s, u"1"_s, -1);
        row(u"1.x.3"_s, u"1.3"_s, 0); // dropped pieces shift the rest
        row(u"+2"_s, u"1"_s, 1);
        row(u"1.9223372036854775808"_s, u"1"_s, 0);
        row(u"1.02"_s, u"1.2"_s, 0);
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
        QTest::addColumn<QVariant>("runningVersion"); // invalid: missing from the bundle
        QTest::addColumn<QVariant>("runningBuild");
        QTest::addColumn<bool>("newer");
        const auto row = [](const char *name, const QString &build, const QVariant &runningBuild, bool newer,
                             const QString &version = u"1.2"_s, const QVariant &runningVersion = u"1.2"_s) {
            QTest::newRow(name) << version << build << runningVersion << runningBuild << newer;
        };
        row("newer version, any build", u"1"_s, u"99"_s, true, u"1.3"_s);
        row("greater build", u"42"_s, u"41"_s, true);
        row("same build", u"41"_s, u"41"_s, false);
        row("older version, greater build", u"50"_s, u"41"_s, true, u"1.1"_s);
        row("older version, smaller build", u"40"_s, u"41"_s, false, u"1.1"_s);
        row("numbers compared as numbers", u"100"_s, u"99"_s, true);
        row("otherwise as text", u"2a"_s, u"10"_s, false);
        row("text is case-sensitive", u"b"_s, u"B"_s, true);
        row("a space makes text", u" 3"_s, u"3"_s, false);
        row("beyond 64 bits as text", u"99999999999999999999"_s, u"99999999999999999998"_s, true);
        row("empty build", QString(), u"5"_s, false);
        row("no running version", u"1"_s, u"99"_s, true, u"1.0"_s, QVariant());
        row("no running build", u"1"_s, QVariant(), true);
    }

    void isUpdateAvailable()
    {
        QFETCH(QString, version);
        QFETCH(QString, build);
        QFETCH(QVariant, runningVersion);
        QFETCH(QVariant, runningBuild);
        QFETCH(bool, newer);
        QVariantMap info;
        if (runningVersion.isValid())
            info.insert(BundleInfo::shortVersionKey, runningVersion);
        if (runningBuild.isValid())
            info.insert(BundleInfo::versionKey, runningBuild);
        BundleInfo::setInfoDictionary(info);
        UpdateManifest manifest;
        manifest.version = version;
        manifest.build = build;
        QCOMPARE(UpdateManager::isUpdateAvailable(manifest), newer);
    }

    void savedFileName_data()
    {
        QTest::addColumn<QString>("bundleName");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("fileName");
        const QString deb = u"https://updates.sonorel.app/sonorel_1.3_amd64.deb"_s;
        QTest::newRow("spaces") << u"My App"_s << u" 1.3 b"_s << deb << u"My-App- 1.3 b-2025-01-31T09:30:00Z.deb"_s;
        QTest::newRow("no name") << QString() << u"1.3"_s << deb << u"Sonorel-1.3-2025-01-31T09:30:00Z.deb"_s;
        QTest::newRow("separators") << u"a/b\\c"_s << u"1/2"_s << deb << u"a-b-c-1-2-2025-01-31T09:30:00Z.deb"_s;
        QTest::newRow("parents") << u"../../evil"_s << u"1.3"_s << deb << u"evil-1.3-2025-01-31T09:30:00Z.deb"_s;
        QTest::newRow("controls") << u"a\nb\0c\td\ae\u007Ff\u0085g"_s << u"1\u001B"_s << deb
                                  << u"a-b-c-d-e-f-g-1--2025-01-31T09:30:00Z.deb"_s;
        // Marks, embeddings, overrides and isolates, which make a name read otherwise than it is stored.
        QTest::newRow("bidi controls") << u"a\u200Eb\u200Fc\u202Ad\u202Ee\u2066f\u2069gnp.exe"_s << u"1"_s << deb
                                       << u"a-b-c-d-e-f-gnp.exe-1-2025-01-31T09:30:00Z.deb"_s;
        // The kind of file is the download address's, whatever else the address holds.
        const auto kind = [](const char *name, const QString &url, const QString &extension) {
            QTest::newRow(name) << u"Sonorel"_s << u"1.3"_s << url << u"Sonorel-1.3-2025-01-31T09:30:00Z"_s + extension;
        };
        kind("AppImage", u"https://a.b/x/Sonorel-1.3-x86_64.AppImage?mirror=2#top"_s, u".AppImage"_s);
        kind("compressed archive", u"https://a.b/sonorel-1.3.TAR.xz"_s, u".TAR.xz"_s);
        kind("none", u"https://a.b/download"_s, QString());
        kind("version, not a kind", u"https://a.b/sonorel-1.3"_s, QString());
        kind("dot file", u"https://a.b/.deb"_s, QString());
        kind("controls in it", u"https://a.b/s.d%0Aeb%E2%80%AE"_s, u".d-eb-"_s);
    }

    void savedFileName()
    {
        QFETCH(QString, bundleName);
        QFETCH(QString, version);
        QFETCH(QString, url);
        QFETCH(QString, fileName);
        UpdateManifest m;
        m.bundleName = bundleName;
        m.version = version;
        m.download.url = QUrl(url);
        // 09:30 in UTC written in another zone: the stamp is always in UTC.
        QCOMPARE(UpdateManager::savedFileName(m, QDateTime(QDate(2025, 1, 31), QTime(10, 30), Qt::OffsetFromUTC, 3600)),
            fileName);
    }
};

QTEST_GUILESS_MAIN(UpdateRulesTest)
#include "UpdateRulesTest.moc"
