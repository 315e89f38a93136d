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

// A minimal manifest with the keys of `top` and `download` set, and the key `remove` removed wherever it is.
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
    // Versions: unparsable pieces are dropped and shift the rest; missing ones count as 0.
    void newerRelease()
    {
        const struct {
            const char *a, *b;
            int expected;
        } rows[] = { { "1.10", "1.9", 1 }, { "1.2", "1.2.0", 0 }, { "1.2", "1.2.1", -1 }, { "2.0-beta", "1.9", 1 },
            { "1.-1", "1", -1 }, { "1.x.3", "1.3", 0 }, { "+2", "1", 1 }, { "1.9223372036854775808", "1", 0 },
            { "1.02", "1.2", 0 } };
        for (const auto &[a, b, expected] : rows) {
            const QString x = QString::fromLatin1(a), y = QString::fromLatin1(b);
            QVERIFY2(UpdateManager::compareVersions(x, y) == expected, a);
            QVERIFY2(UpdateManager::compareVersions(y, x) == -expected, a);
        }
        // A newer version wins, else the builds as numbers or as text with runs of digits by value; a bundle
        // without a version or build (null) takes any release. Rows: version, build, the running ones, newer.
        const struct {
            const char *version, *build, *runningVersion, *runningBuild;
            bool newer;
        } releases[] = { { "1.3", "1", "1.2", "99", true }, { "1.2", "42", "1.2", "41", true },
            { "1.2", "41", "1.2", "41", false }, { "1.1", "50", "1.2", "41", true },
            { "1.1", "40", "1.2", "41", false }, { "1.2", "2a", "1.2", "10", false }, { "1.2", "b", "1.2", "B", true },
            { "1.2", "", "1.2", "5", false }, { "1.2", "99999999999999999999", "1.2", "99999999999999999998", true },
            { "1.0", "1", nullptr, "99", true }, { "1.2", "1", "1.2", nullptr, true } };
        for (const auto &row : releases) {
            QVariantMap running;
            if (row.runningVersion)
                running.insert(BundleInfo::shortVersionKey, QString::fromLatin1(row.runningVersion));
            if (row.runningBuild)
                running.insert(BundleInfo::versionKey, QString::fromLatin1(row.runningBuild));
            BundleInfo::setInfoDictionary(running);
            UpdateManifest manifest;
            manifest.version = QString::fromLatin1(row.version);
            manifest.build = QString::fromLatin1(row.build);
            QVERIFY2(UpdateManager::isUpdateAvailable(manifest) == row.newer, row.build);
        }
    }

    // A visible file inside the Downloads folder that reads as it is stored, stamped in UTC.
    void savedFileName()
    {
        const QString deb = u"https://updates.sonorel.app/sonorel_1.3_amd64.deb"_s;
        const struct {
            QString bundleName, version, url, fileName;
        } rows[] = {
            { u"My App"_s, u" 1.3 b"_s, deb, u"My-App- 1.3 b-2025-01-31T09:30:00Z.deb"_s },
            { QString(), u"1.3"_s, deb, u"Sonorel-1.3-2025-01-31T09:30:00Z.deb"_s },
            { u"a/b\\c"_s, u"1/2"_s, deb, u"a-b-c-1-2-2025-01-31T09:30:00Z.deb"_s },
            { u"../../evil"_s, u"1.3"_s, deb, u"evil-1.3-2025-01-31T09:30:00Z.deb"_s },
            { u"a\nb\0c\td\ae\u007Ff\u0085g"_s, u"1\u001B"_s, deb, u"a-b-c-d-e-f-g-1--2025-01-31T09:30:00Z.deb"_s },
            // Marks, embeddings, overrides and isolates, which make a name read otherwise than it is stored.
            { u"a\u200Eb\u200Fc\u202Ad\u202Ee\u2066f\u2069gnp.exe"_s, u"1"_s, deb,
                u"a-b-c-d-e-f-gnp.exe-1-2025-01-31T09:30:00Z.deb"_s },
            { u"S"_s, u"1"_s, u"https://a.b/s.d%0Aeb%E2%80%AE"_s, u"S-1-2025-01-31T09:30:00Z.d-eb-"_s },
        };
        // 09:30 in UTC written in another zone.
        const QDateTime now(QDate(2025, 1, 31), QTime(10, 30), Qt::OffsetFromUTC, 3600);
        for (const auto &row : rows) {
            UpdateManifest manifest;
            manifest.bundleName = row.bundleName;
            manifest.version = row.version;
            manifest.download.url = QUrl(row.url);
            QCOMPARE(UpdateManager::savedFileName(manifest, now), row.fileName);
        }
        // The kind of file is the download address's, whatever else the address holds.
        for (const auto &[url, kind] : { std::pair { "x/S-1.3-x86_64.AppImage?mirror=2#top", ".AppImage" },
                 { "sonorel-1.3.TAR.xz", ".TAR.xz" }, { "download", "" }, { "sonorel-1.3", "" }, { ".deb", "" } })
            QCOMPARE(UpdateManager::imageExtension(QUrl(u"https://a.b/"_s + QLatin1String(url))), QLatin1String(kind));
    }

    // Failures name the patched or removed key, under "download" for the download's keys.
    void decoding()
    {
        const auto fails = [](const QByteArray &json, Kind kind, const QString &path) {
            const auto result = UpdateManifest::decode(json);
            const auto *error = std::get_if<ManifestDecodeError>(&result);
            QVERIFY2(
                error && error->kind() == kind && error->codingPath() == path && error->description().contains(path),
                json.constData());
        };
        const auto row = [&](const char *top, const char *download, Kind kind, const QString &remove = QString()) {
            const bool inDownload = qstrcmp(download, "{}") || remove == u"url";
            const QString key = remove.isEmpty() ? jsonObject(inDownload ? download : top).keys().value(0) : remove;
            fails(manifestWith(top, download, remove), kind, (inDownload ? u"download."_s : QString()) + key);
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
        row("{'released_at': '2025-01-31T09:30:00'}", "{}", Kind::dataCorrupted);
        row("{'released_at': '2025-02-30T09:30:00Z'}", "{}", Kind::dataCorrupted);
        row("{'released_at': '2025-01-31T09:30:00+24:00'}", "{}", Kind::dataCorrupted);
        fails("<html>oops</html>", Kind::dataCorrupted, QString());
        fails("[]", Kind::typeMismatch, QString());
        // It takes every key a release sets, ignores unknown ones and leaves out unusable optional values.
        const auto full = UpdateManifest::decode(manifestWith("{'minimum_os': '', 'channel': 'beta', "
                                                              "'released_at': '2025-01-31T00:30:00-09:00', "
                                                              "'release_notes_url': ' https://a.b/x y '}",
            "{'url': 'images/a.dmg', 'size': -5, 'sha256': ' AB:CD ', 'signature': 'c2ln', 'URL': 1}"));
        QVERIFY(std::holds_alternative<UpdateManifest>(full));
        const UpdateManifest &m = std::get<UpdateManifest>(full);
        QCOMPARE(m.download.url.toString() + u'|' + m.download.sha256.value_or(QString()), u"images/a.dmg| AB:CD "_s);
        const auto sparse = UpdateManifest::decode(
            manifestWith("{'minimum_os': null, 'release_notes_url': 'http://[bad'}", "{'sha256': ''}"));
        QVERIFY(std::holds_alternative<UpdateManifest>(sparse) && !std::get<UpdateManifest>(sparse).download.sha256);
    }
};

QTEST_GUILESS_MAIN(UpdateRulesTest)
#include "UpdateRulesTest.moc"
