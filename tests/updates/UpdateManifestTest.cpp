#include "UpdateManifest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

using Kind = ManifestDecodeError::Kind;

const QByteArray fullManifest
    = "{\n"
      "    \"version\": \"1.4.2\", \"build\": \"142\", \"minimum_os\": \"13.0\", \"released_at\": "
      "\"2025-01-31T10:30:00+01:00\",\n"
      "    \"release_notes_url\": \"https://sonorel.app/notes/1.4.2\", \"bundle_name\": \"Sonorel\",\n"
      "    \"download\": {\"url\": \"https://updates.sonorel.app/Sonorel-1.4.2.dmg\", \"size\": 9223372036854775807,\n"
      "                 \"sha256\": \"ABCDEF0123\", \"signature\": \"c2ln\"}\n"
      "}";

enum Place { top, inDownload };

// A minimal valid manifest with the keys of `patchJson` set, and the keys of `remove` removed, at the top
// level or in "download".
QByteArray manifestWith(const char *patchJson, Place place = top, const QStringList &remove = {})
{
    QJsonObject download { { u"url"_s, u"https://updates.sonorel.app/a.dmg"_s } };
    QJsonObject manifest { { u"version"_s, u"1.3"_s }, { u"build"_s, u"13"_s }, { u"bundle_name"_s, u"Sonorel"_s } };
    QJsonObject &target = place == inDownload ? download : manifest;
    const QJsonObject patch = QJsonDocument::fromJson(QByteArray(patchJson)).object();
    for (auto it = patch.begin(); it != patch.end(); ++it)
        target.insert(it.key(), *it);
    for (const QString &key : remove)
        target.remove(key);
    if (place == inDownload || (!manifest.contains(u"download"_s) && !remove.contains(u"download"_s)))
        manifest.insert(u"download"_s, download);
    return QJsonDocument(manifest).toJson();
}

UpdateManifest decoded(const QByteArray &json)
{
    auto result = UpdateManifest::decode(json);
    if (auto *error = std::get_if<ManifestDecodeError>(&result))
        qFatal("unexpected decoding error: %s", qPrintable(error->description()));
    return std::get<UpdateManifest>(result);
}

} // namespace

class UpdateManifestTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodesEveryField()
    {
        const UpdateManifest m = decoded(fullManifest);
        QCOMPARE(m.version, QStringLiteral("1.4.2"));
        QCOMPARE(m.build, QStringLiteral("142"));
        QCOMPARE(m.minimumOs, QStringLiteral("13.0"));
        QCOMPARE(m.releasedAt, QDateTime(QDate(2025, 1, 31), QTime(9, 30), Qt::UTC));
        QCOMPARE(m.releaseNotesUrl, QUrl(QStringLiteral("https://sonorel.app/notes/1.4.2")));
        QCOMPARE(m.bundleName, QStringLiteral("Sonorel"));
        QCOMPARE(m.download.url, QUrl(QStringLiteral("https://updates.sonorel.app/Sonorel-1.4.2.dmg")));
        QCOMPARE(m.download.size, std::numeric_limits<qint64>::max());
        QCOMPARE(m.download.sha256, QStringLiteral("ABCDEF0123"));
        QCOMPARE(m.download.signature, QStringLiteral("c2ln"));
    }

    void minimalManifestHasNoOptionalValues()
    {
        const UpdateManifest m = decoded(manifestWith({}));
        QVERIFY(!m.minimumOs && !m.releasedAt && !m.releaseNotesUrl);
        QVERIFY(!m.download.size && !m.download.sha256 && !m.download.signature);
    }

    void optionalValues_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("expected"); // an invalid QVariant: absent

        const auto s = [](const char16_t *v) { return QVariant(QString::fromUtf16(v)); };
        const QVariant absent;
        const QVariant nineThirty(QDateTime(QDate(2025, 1, 31), QTime(9, 30), Qt::UTC));
        QTest::newRow("empty minimum_os kept") << manifestWith("{\"minimum_os\": \"\"}") << u"minimumOs"_s << s(u"");
        QTest::newRow("null minimum_os") << manifestWith("{\"minimum_os\": null}") << u"minimumOs"_s << absent;
        QTest::newRow("blank notes url") << manifestWith("{\"release_notes_url\": \"  \\n\"}") << u"releaseNotesUrl"_s
                                         << absent;
        QTest::newRow("unparsable notes url")
            << manifestWith("{\"release_notes_url\": \"http://[bad\"}") << u"releaseNotesUrl"_s << absent;
        QTest::newRow("notes url with space") << manifestWith("{\"release_notes_url\": \" https://a.b/x y \"}")
                                              << u"releaseNotesUrl"_s << s(u"https://a.b/x%20y");
        QTest::newRow("empty sha256") << manifestWith("{\"sha256\": \"\"}", inDownload) << u"sha256"_s << absent;
        QTest::newRow("sha256 verbatim") << manifestWith("{\"sha256\": \" AB:CD \"}", inDownload) << u"sha256"_s
                                         << s(u" AB:CD ");
        QTest::newRow("empty signature") << manifestWith("{\"signature\": \"\"}", inDownload) << u"signature"_s
                                         << absent;
        QTest::newRow("null size") << manifestWith("{\"size\": null}", inDownload) << u"size"_s << absent;
        QTest::newRow("integral size") << manifestWith("{\"size\": 12}", inDownload) << u"size"_s
                                       << QVariant(qint64(12));
        QTest::newRow("negative size") << manifestWith("{\"size\": -5}", inDownload) << u"size"_s
                                       << QVariant(qint64(-5));
        QTest::newRow("url trimmed") << manifestWith("{\"url\": \" \\n https://a.b/c.dmg \\n \"}", inDownload)
                                     << u"url"_s << s(u"https://a.b/c.dmg");
        QTest::newRow("url inner space") << manifestWith("{\"url\": \"https://a.b/My App.dmg\"}", inDownload)
                                         << u"url"_s << s(u"https://a.b/My%20App.dmg");
        QTest::newRow("relative url accepted")
            << manifestWith("{\"url\": \"images/a.dmg\"}", inDownload) << u"url"_s << s(u"images/a.dmg");
        QTest::newRow("extra keys ignored")
            << manifestWith("{\"channel\": \"beta\", \"Version\": 5}") << u"version"_s << s(u"1.3");
        QTest::newRow("extra download key ignored")
            << manifestWith("{\"channel\": 1}", inDownload) << u"url"_s << s(u"https://updates.sonorel.app/a.dmg");
        QTest::newRow("date in utc") << manifestWith("{\"released_at\": \"2025-01-31T09:30:00Z\"}") << u"releasedAt"_s
                                     << nineThirty;
        QTest::newRow("date west of utc")
            << manifestWith("{\"released_at\": \"2025-01-31T00:30:00-09:00\"}") << u"releasedAt"_s << nineThirty;
    }

    void optionalValues()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, field);
        QFETCH(QVariant, expected);
        const UpdateManifest m = decoded(json);
        const auto wrap = [](const auto &optional) { return optional ? QVariant::fromValue(*optional) : QVariant(); };
        const QHash<QString, QVariant> actual {
            { u"version"_s, m.version },
            { u"minimumOs"_s, wrap(m.minimumOs) },
            { u"releasedAt"_s, wrap(m.releasedAt) },
            { u"releaseNotesUrl"_s,
                m.releaseNotesUrl ? QVariant(m.releaseNotesUrl->toString(QUrl::FullyEncoded)) : QVariant() },
            { u"url"_s, m.download.url.toString(QUrl::FullyEncoded) },
            { u"size"_s, wrap(m.download.size) },
            { u"sha256"_s, wrap(m.download.sha256) },
            { u"signature"_s, wrap(m.download.signature) },
        };
        QVERIFY(actual.contains(field));
        QCOMPARE(actual.value(field), expected);
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("path");

        for (const char *key : { "version", "build", "bundle_name", "download" }) {
            const QString k = QString::fromLatin1(key);
            QTest::addRow("missing %s", key) << manifestWith("{}", top, { k }) << int(Kind::keyNotFound) << k;
            QTest::addRow("null %s", key)
                << manifestWith(qPrintable(u"{\"%1\": null}"_s.arg(k))) << int(Kind::valueNotFound) << k;
            QTest::addRow("number for %s", key)
                << manifestWith(qPrintable(u"{\"%1\": 7}"_s.arg(k))) << int(Kind::typeMismatch) << k;
        }
        const QString url = u"download.url"_s;
        const QString size = u"download.size"_s;
        QTest::newRow("missing url") << manifestWith("{}", inDownload, { u"url"_s }) << int(Kind::keyNotFound) << url;
        QTest::newRow("null url") << manifestWith("{\"url\": null}", inDownload) << int(Kind::valueNotFound) << url;
        QTest::newRow("number url") << manifestWith("{\"url\": 3}", inDownload) << int(Kind::typeMismatch) << url;
        QTest::newRow("blank url") << manifestWith("{\"url\": \"  \\n \"}", inDownload) << int(Kind::dataCorrupted)
                                   << url;
        QTest::newRow("unparsable url") << manifestWith("{\"url\": \"http://exa mple.com/\"}", inDownload)
                                        << int(Kind::dataCorrupted) << url;
        QTest::newRow("fractional size") << manifestWith("{\"size\": 12.5}", inDownload) << int(Kind::dataCorrupted)
                                         << size;
        QTest::newRow("size as text") << manifestWith("{\"size\": \"12\"}", inDownload) << int(Kind::typeMismatch)
                                      << size;
        QTest::newRow("size 1e300") << manifestWith("{\"size\": 1e300}", inDownload) << int(Kind::dataCorrupted)
                                    << size;
        QTest::newRow("size 2^63") << QByteArray("{\"version\":\"1\",\"build\":\"1\",\"bundle_name\":\"\",\n"
                                                 "                                                   "
                                                 "\"download\":{\"url\":\"a\",\"size\":9223372036854775808}}")
                                   << int(Kind::dataCorrupted) << size;
        QTest::newRow("boolean sha256") << manifestWith("{\"sha256\": true}", inDownload) << int(Kind::typeMismatch)
                                        << u"download.sha256"_s;
        QTest::newRow("number signature")
            << manifestWith("{\"signature\": 1}", inDownload) << int(Kind::typeMismatch) << u"download.signature"_s;
        QTest::newRow("number minimum_os")
            << manifestWith("{\"minimum_os\": 13}") << int(Kind::typeMismatch) << u"minimum_os"_s;
        QTest::newRow("array notes url") << manifestWith("{\"release_notes_url\": []}") << int(Kind::typeMismatch)
                                         << u"release_notes_url"_s;
        for (const char *date : { "2025-01-31", "2025-01-31T09:30:00", "2025-02-30T09:30:00Z", "2025-01-31 09:30:00Z",
                 "2025-01-31T09:30:00+25:00", "yesterday" })
            QTest::addRow("date %s", date)
                << manifestWith(qPrintable(u"{\"released_at\": \"%1\"}"_s.arg(QLatin1String(date))))
                << int(Kind::dataCorrupted) << u"released_at"_s;
        QTest::newRow("number date") << manifestWith("{\"released_at\": 5}") << int(Kind::typeMismatch)
                                     << u"released_at"_s;
        QTest::newRow("string download") << manifestWith("{\"download\": \"x\"}") << int(Kind::typeMismatch)
                                         << u"download"_s;
        QTest::newRow("capitalised key") << QByteArray("{\"Version\":\"1.3\"}") << int(Kind::keyNotFound)
                                         << u"version"_s;
        QTest::newRow("not json") << QByteArray("<html>oops</html>") << int(Kind::dataCorrupted) << QString();
        QTest::newRow("truncated") << fullManifest.left(40) << int(Kind::dataCorrupted) << QString();
        QTest::newRow("array document") << QByteArray("[]") << int(Kind::typeMismatch) << QString();
        QTest::newRow("empty body") << QByteArray() << int(Kind::dataCorrupted) << QString();
    }

    void failures()
    {
        QFETCH(QByteArray, json);
        QFETCH(int, kind);
        QFETCH(QString, path);
        const auto result = UpdateManifest::decode(json);
        const auto *error = std::get_if<ManifestDecodeError>(&result);
        QVERIFY(error);
        QCOMPARE(int(error->kind()), kind);
        QCOMPARE(error->codingPath(), path);
        if (!path.isEmpty())
            QVERIFY2(error->description().contains(path), qPrintable(error->description()));
    }

    void invalidUrlIsNamed()
    {
        const auto result = UpdateManifest::decode(manifestWith("{\"url\": \" \"}", inDownload));
        const auto *error = std::get_if<ManifestDecodeError>(&result);
        QVERIFY(error);
        QCOMPARE(error->debugDescription(), QStringLiteral("Invalid URL value"));
        QVERIFY(error->description().contains(QStringLiteral("Invalid URL value")));
    }
};

QTEST_GUILESS_MAIN(UpdateManifestTest)
#include "UpdateManifestTest.moc"
