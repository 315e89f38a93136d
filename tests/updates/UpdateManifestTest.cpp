#include "updates/UpdateManifest.h"

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

class UpdateManifestTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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

QTEST_GUILESS_MAIN(UpdateManifestTest)
#include "UpdateManifestTest.moc"
