#include "base/BundleInfo.h"
#include "updates/UpdateManager.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;
using Kind = ManifestDecodeError::Kind;

namespace {

// JSON written with single quotes, for legibility.
QJsonObject jsonObject(const char *json)
{
    return QJsonDocument::fromJson(QByteArray(json).replace('\'', '"')).object();
}

// A minimal manifest with the keys of the JSON objects `top` and `download` set, and the key `remove`
// removed wherever it is.
QByteArray manifestWith(const char *top, const char *download = "{}", const QString &remove = QString())
{
    QJsonObject m { { u"version"_s, u"1.3"_s }, { u"build"_s, u"13"_s }, { u"bundle_name"_s, u"Sonorel"_s } };
    QJsonObject d { { u"url"_s, u"https://updates.sonorel.app/a.dmg"_s } };
    const auto patch = [](QJsonObject &object, const char *json) {
        const QJsonObject keys = jsonObject(json);
        for (auto it = keys.begin(); it != keys.end(); ++it)
            object.insert(it.key(), *it);
    };
    patch(m, top);
    patch(d, download);
    d.remove(remove);
    if (!m.contains(u"download"_s))
        m.insert(u"download"_s, d);
    m.remove(remove);
    return QJsonDocument(m).toJson();
}

} // namespace

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
        QTest::addColumn<QVariantMap>("running"); // the bundle's keys; an invalid value is left out
        QTest::addColumn<bool>("newer");
        const auto row = [](const char *name, const QString &build, const QVariant &runningBuild, bool newer,
                             const QString &version = u"1.2"_s, const QVariant &runningVersion = u"1.2"_s) {
            QVariantMap running;
            if (runningVersion.isValid())
                running.insert(BundleInfo::shortVersionKey, runningVersion);
            if (runningBuild.isValid())
                running.insert(BundleInfo::versionKey, runningBuild);
            QTest::newRow(name) << version << build << running << newer;
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
        QFETCH(QVariantMap, running);
        BundleInfo::setInfoDictionary(running);
        UpdateManifest manifest;
        manifest.version = version;
        manifest.build = build;
        QTEST(UpdateManager::isUpdateAvailable(manifest), "newer");
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
        // 09:30 in UTC written in another zone: the stamp is always in UTC.
        const QDateTime now(QDate(2025, 1, 31), QTime(10, 30), Qt::OffsetFromUTC, 3600);
        UpdateManifest manifest;
        manifest.bundleName = bundleName;
        manifest.version = version;
        manifest.download.url = QUrl(url);
        QTEST(UpdateManager::savedFileName(manifest, now), "fileName");
    }

    // What the manifest decoder takes from the update server, and how it rejects the rest.
    void values_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("expected"); // invalid: absent
        const auto row = [](const char *top, const char *download, const QVariant &expected) {
            const QByteArray patch = qstrcmp(top, "{}") ? top : download;
            QTest::newRow(patch) << manifestWith(top, download) << jsonObject(patch).keys().value(0, u"released_at"_s)
                                 << expected;
        };
        row("{}", "{}", QVariant());
        row("{'minimum_os': ''}", "{}", u""_s);
        row("{'minimum_os': '13.0'}", "{}", u"13.0"_s);
        row("{'release_notes_url': 'https://sonorel.app/notes'}", "{}", u"https://sonorel.app/notes"_s);
        row("{}", "{'signature': 'c2ln'}", u"c2ln"_s);
        QTest::newRow("largest size") << QByteArray(
            "{\"version\": \"1.3\", \"build\": \"13\", \"bundle_name\": \"Sonorel\", "
            "\"download\": {\"url\": \"a\", \"size\": 9223372036854775807}}")
                                      << u"size"_s << QVariant(std::numeric_limits<qint64>::max());
        row("{'minimum_os': null}", "{}", QVariant());
        row("{'release_notes_url': ' \\n'}", "{}", QVariant());
        row("{'release_notes_url': 'http://[bad'}", "{}", QVariant());
        row("{'release_notes_url': ' https://a.b/x y '}", "{}", u"https://a.b/x%20y"_s);
        row("{'released_at': '2025-01-31T00:30:00-09:00'}", "{}", QDateTime(QDate(2025, 1, 31), QTime(9, 30), Qt::UTC));
        row("{'Version': 5, 'channel': 'beta'}", "{'URL': 1}", QVariant());
        row("{}", "{'sha256': ''}", QVariant());
        row("{}", "{'sha256': ' AB:CD '}", u" AB:CD "_s);
        row("{}", "{'size': -5}", qint64(-5));
        row("{}", "{'url': 'images/a.dmg'}", u"images/a.dmg"_s);
    }

    void values()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, key);
        QFETCH(QVariant, expected);
        const auto result = UpdateManifest::decode(json);
        QVERIFY(std::holds_alternative<UpdateManifest>(result));
        const UpdateManifest &m = std::get<UpdateManifest>(result);
        QCOMPARE(m.version + u' ' + m.build + u' ' + m.bundleName, u"1.3 13 Sonorel"_s);
        const auto wrap = [](const auto &optional) { return optional ? QVariant::fromValue(*optional) : QVariant(); };
        const auto url = [](const QUrl &u) { return QVariant(u.toString(QUrl::FullyEncoded)); };
        const QHash<QString, QVariant> actual { { u"minimum_os"_s, wrap(m.minimumOs) },
            { u"released_at"_s, wrap(m.releasedAt) },
            { u"release_notes_url"_s, m.releaseNotesUrl ? url(*m.releaseNotesUrl) : QVariant() },
            { u"url"_s, url(m.download.url) }, { u"size"_s, wrap(m.download.size) },
            { u"sha256"_s, wrap(m.download.sha256) }, { u"signature"_s, wrap(m.download.signature) } };
        QCOMPARE(actual.value(key), expected);
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("path");
        // The coding path is the patched or removed key's, under "download" for the download's keys.
        const auto row = [](const char *top, const char *download, Kind kind, const QString &remove = QString()) {
            const bool inDownload = qstrcmp(download, "{}") || remove == u"url";
            const QByteArray patch = inDownload ? download : top;
            const QString key = remove.isEmpty() ? jsonObject(patch).keys().value(0) : remove;
            QTest::newRow(remove.isEmpty() ? patch.constData() : qPrintable(u"no "_s + remove))
                << manifestWith(top, download, remove) << kind << (inDownload ? u"download."_s : QString()) + key;
        };
        for (const char *key : { "version", "build", "bundle_name", "download" }) {
            row("{}", "{}", Kind::keyNotFound, QString::fromLatin1(key));
            row(qPrintable(u"{\"%1\": null}"_s.arg(QLatin1String(key))), "{}", Kind::valueNotFound);
            row(qPrintable(u"{\"%1\": 7}"_s.arg(QLatin1String(key))), "{}", Kind::typeMismatch);
        }
        row("{}", "{}", Kind::keyNotFound, u"url"_s);
        row("{}", "{'url': ' \\n '}", Kind::dataCorrupted);
        row("{}", "{'url': 'http://exa mple.com/'}", Kind::dataCorrupted);
        row("{}", "{'size': 12.5}", Kind::dataCorrupted);
        row("{}", "{'size': '12'}", Kind::typeMismatch);
        row("{}", "{'size': 1e300}", Kind::dataCorrupted);
        row("{}", "{'sha256': true}", Kind::typeMismatch);
        row("{'release_notes_url': []}", "{}", Kind::typeMismatch);
        row("{'released_at': '2025-01-31T09:30:00'}", "{}", Kind::dataCorrupted);
        row("{'released_at': '2025-02-30T09:30:00Z'}", "{}", Kind::dataCorrupted);
        row("{'released_at': '2025-01-31T09:30:00+25:00'}", "{}", Kind::dataCorrupted);
        QTest::newRow("size 2^63") << QByteArray("{\"version\": \"1\", \"build\": \"1\", \"bundle_name\": \"\", "
                                                 "\"download\": {\"url\": \"a\", \"size\": 9223372036854775808}}")
                                   << Kind::dataCorrupted << u"download.size"_s;
        QTest::newRow("not json") << QByteArray("<html>oops</html>") << Kind::dataCorrupted << QString();
        QTest::newRow("array document") << QByteArray("[]") << Kind::typeMismatch << QString();
    }

    void failures()
    {
        QFETCH(QByteArray, json);
        QFETCH(Kind, kind);
        QFETCH(QString, path);
        const auto result = UpdateManifest::decode(json);
        QVERIFY(std::holds_alternative<ManifestDecodeError>(result));
        const ManifestDecodeError &error = std::get<ManifestDecodeError>(result);
        QCOMPARE(error.kind(), kind);
        QCOMPARE(error.codingPath(), path);
        QVERIFY2(error.description().contains(path), qPrintable(error.description()));
        if (path == u"download.url" && kind == Kind::dataCorrupted)
            QVERIFY2(error.description().contains(u"Invalid URL value"_s), qPrintable(error.description()));
    }
};

QTEST_GUILESS_MAIN(UpdateRulesTest)
#include "UpdateRulesTest.moc"
