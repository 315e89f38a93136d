#include "UpdateManager.h"
#include "BundleInfo.h"
#include "LocalHttpServer.h"
#include "LogCapture.h"
#include "RecordingAlertPresenter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Qt::StringLiterals;
using Mode = LocalHttpServer::Mode;
using Response = LocalHttpServer::Response;

namespace {

// One check against the local server and, when `install` is set, the download it leads to. Empty addresses
// are the server's, an empty manifest body is one made of the fields; `alerts` are "message: informative",
// a trailing "..." matching any end.
struct Case {
    Response manifest {};
    bool install = false;
    Response image {};
    QUrl manifestUrl {}, imageUrl {};
    QVariant sha256 {};
    QString bundleName = u"Sonorel"_s, version = u"1.3"_s, build = u"99"_s;
    QString downloads {}; // "", "a file", "read-only"
    int transferMs = 10000, overallMs = 30000;
    QStringList alerts {};
    QString savedName {};
    QStringList log {};
};

QByteArray manifestJson(const Case &c, const QUrl &image)
{
    QJsonObject download { { u"url"_s, image.toString() } };
    if (c.sha256.isValid())
        download.insert(u"sha256"_s, c.sha256.toString());
    return QJsonDocument(QJsonObject { { u"version"_s, c.version }, { u"build"_s, c.build },
                             { u"bundle_name"_s, c.bundleName }, { u"download"_s, download } })
        .toJson();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

Q_DECLARE_METATYPE(Case)

class UpdateManagerTest final : public QObject
{
    Q_OBJECT

    std::unique_ptr<LocalHttpServer> m_server;
    std::unique_ptr<QTemporaryDir> m_home;

    QString downloads() const { return m_home->filePath(u"Downloads"_s); }

    UpdateManager::Configuration configuration(
        const QUrl &manifestUrl = QUrl(), int transferMs = 10000, int overallMs = 30000) const
    {
        return { manifestUrl.isEmpty() ? m_server->url(u"/manifest.json"_s) : manifestUrl,
            std::chrono::milliseconds(transferMs), std::chrono::milliseconds(overallMs), [this] { return downloads(); },
            [] { return QDateTime(QDate(2025, 1, 31), QTime(9, 30), Qt::UTC); } };
    }

private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<LocalHttpServer>();
        m_home = std::make_unique<QTemporaryDir>();
        BundleInfo::setInfoDictionary(
            { { BundleInfo::shortVersionKey, u"1.2"_s }, { BundleInfo::versionKey, u"41"_s } });
    }

    void cleanup() { BundleInfo::resetInfoDictionary(); }

    void checkAndDownload_data()
    {
        QTest::addColumn<Case>("c");
        const QString failed = u"Update failed: "_s;
        const QString newer = u"A new version is available: Version 1.3 is available. You are running 1.2."_s;
        const QString timedOut = failed + u"The request timed out."_s;
        const QString upToDate = u"You are up to date: "_s;
        const auto row = [](const char *name, const Case &c) { QTest::newRow(name) << c; };
        row("newer", { .alerts = { newer } });
        row("equal", { .version = u"1.2"_s, .build = u"41"_s, .alerts = { upToDate } });
        row("older version, greater build",
            { .version = u"1.1"_s,
                .build = u"50"_s,
                .alerts = { u"A new version is available: Version 1.1 is available. You are running 1.2."_s } });
        for (const int status : { 204, 304, 404, 500 })
            QTest::addRow("status %d", status) << Case { .manifest = { status, {} },
                .alerts = { failed + u"The update server returned an error status."_s } };
        const QByteArray html = "<html>maintenance</html>";
        row("not a manifest",
            { .manifest = { 200, html },
                .alerts = { failed + std::get<ManifestDecodeError>(UpdateManifest::decode(html)).description() } });
        // A valid manifest padded past 1 MiB with an ignored key, with and without an announced length.
        QJsonObject padded = QJsonDocument::fromJson(manifestJson({}, QUrl(u"https://a/b"_s))).object();
        padded.insert(u"padding"_s, QString(1024 * 1024, u'x'));
        const Response large { 200, QJsonDocument(padded).toJson() };
        const QString tooLarge = failed + u"The update server's answer is larger than 1 MiB."_s;
        row("over 1 MiB", { .manifest = large, .alerts = { tooLarge } });
        row("over 1 MiB, chunked", { .manifest = { 200, large.body, Mode::chunked }, .alerts = { tooLarge } });
        row("refused",
            { .manifestUrl = LocalHttpServer::refusingUrl(u"/manifest.json"_s),
                .alerts = { failed + u"Connection refused"_s } });
        row("silent past the transfer time-out",
            { .manifest = { 200, {}, Mode::silent }, .transferMs = 300, .alerts = { timedOut } });
        row("trickling past the overall time-out",
            { .manifest = { 200, {}, Mode::trickle }, .overallMs = 800, .alerts = { timedOut } });
        for (const char *url : { "file:///etc/hostname", "manifest.json" })
            row(url,
                { .manifestUrl = QUrl(QLatin1String(url)),
                    .alerts
                    = { failed + u"Unsupported URL: %1 is not an http or https address."_s.arg(QLatin1String(url)) } });

        // Larger than the 256 KiB pieces in which the image is hashed and copied.
        const Response image { 200, QByteArray(800123, 'i') };
        const QString sha
            = QString::fromLatin1(QCryptographicHash::hash(image.body, QCryptographicHash::Sha256).toHex());
        const QString name = u"Sonorel-1.3-2025-01-31T09:30:00Z.dmg"_s;
        const QString saved = u"Update downloaded: Version 1.3 was saved to your Downloads folder as "_s + name;
        const QString mismatch = failed + u"The downloaded update failed verification."_s;
        const QStringList unverified { u"Download status: 200"_s, u"Saved DMG bytes: 800123"_s };
        const QStringList verified = unverified + QStringList { u"Downloaded bytes: 800123"_s };
        const QStringList notFoundLog { u"Download status: 404"_s, u"Saved DMG bytes: 9"_s };
        row("verified",
            { .install = true,
                .image = image,
                .sha256 = sha,
                .alerts = { newer, saved + u". (800.1 kB)"_s },
                .savedName = name,
                .log = verified });
        row("upper-case checksum",
            { .install = true,
                .image = image,
                .sha256 = sha.toUpper(),
                .alerts = { newer, saved + u". (800.1 kB)"_s },
                .savedName = name,
                .log = verified });
        row("no checksum",
            { .install = true,
                .image = image,
                .alerts = { newer, saved + u". (800.1 kB)"_s },
                .savedName = name,
                .log = unverified });
        row("mismatch",
            { .install = true,
                .image = image,
                .sha256 = QString(sha.left(63) + u'0'),
                .alerts = { newer, mismatch },
                .log = verified });
        row("404 with checksum",
            { .install = true,
                .image = { 404, "not found" },
                .sha256 = sha,
                .alerts = { newer, mismatch },
                .log = notFoundLog + QStringList { u"Downloaded bytes: 9"_s } });
        row("404 without checksum saves the page",
            { .install = true,
                .image = { 404, "not found" },
                .alerts = { newer, saved + u". (9 bytes)"_s },
                .savedName = name,
                .log = notFoundLog });
        const QString escaped = u"-..-My-App-1-..-x-2025-01-31T09:30:00Z.dmg"_s;
        row("name with separators, parents and spaces",
            { .install = true,
                .image = image,
                .sha256 = sha,
                .bundleName = u"../../My App"_s,
                .version = u"1/../x"_s,
                .alerts = { u"A new version is available: Version 1/../x is available. You are running 1.2."_s,
                    u"Update downloaded: Version 1/../x was saved to your Downloads folder as "_s + escaped
                        + u". (800.1 kB)"_s },
                .savedName = escaped,
                .log = verified });
        row("Downloads cannot be created",
            { .install = true,
                .image = image,
                .sha256 = sha,
                .downloads = u"a file"_s,
                .alerts = { newer, failed + u"The Downloads folder is unavailable."_s },
                .log = verified });
        row("Downloads read-only",
            { .install = true,
                .image = image,
                .sha256 = sha,
                .downloads = u"read-only"_s,
                .alerts = { newer, failed + u"The update could not be saved: ..."_s },
                .log = verified });
        row("image refused",
            { .install = true,
                .imageUrl = LocalHttpServer::refusingUrl(u"/image.dmg"_s),
                .alerts = { newer, failed + u"Connection refused"_s } });
        row("image stalled",
            { .install = true, .image = { 200, {}, Mode::silent }, .transferMs = 400, .alerts = { newer, timedOut } });
        row("image cut short",
            { .install = true,
                .image = { 200, image.body, Mode::truncated },
                .alerts = { newer, failed + u"Connection closed"_s } });
        row("image from a file address",
            { .install = true,
                .imageUrl = QUrl(u"file:///etc/hostname"_s),
                .alerts
                = { newer, failed + u"Unsupported URL: file:///etc/hostname is not an http or https address."_s } });
    }

    void checkAndDownload()
    {
        QFETCH(Case, c);
        if (c.downloads == u"a file") {
            QVERIFY(write(downloads(), "not a folder"));
        } else if (c.downloads == u"read-only") {
            if (geteuid() == 0)
                QSKIP("a read-only folder does not stop root");
            QVERIFY(QDir().mkpath(downloads()));
            QVERIFY(QFile::setPermissions(downloads(), QFile::ReadOwner | QFile::ExeOwner));
        }
        const QUrl imageUrl = c.imageUrl.isEmpty() ? m_server->url(u"/image.dmg"_s) : c.imageUrl;
        if (c.manifest.body.isEmpty() && c.manifest.status == 200)
            c.manifest.body = manifestJson(c, imageUrl);
        m_server->setResponse(u"/manifest.json"_s, c.manifest);
        m_server->setResponse(u"/image.dmg"_s, c.image);
        const QStringList imagesBefore = QDir::temp().entryList({ u"*.dmg"_s }, QDir::Files);
        UpdateManager manager(configuration(c.manifestUrl, c.transferMs, c.overallMs));
        auto presenter = std::make_shared<RecordingAlertPresenter>(&manager);
        auto revealer = std::make_shared<RecordingFileRevealer>();
        manager.setAlertPresenter(presenter);
        manager.setFileRevealer(revealer);
        // "Install Update" and "Show in Finder", or else the last button, "Later" or "OK".
        presenter->answers = c.install ? QList<int> { 0, 0 } : QList<int> {};
        QStringList statuses;
        const Subscription subscription = manager.statusMessage.subscribe(
            [&statuses](const std::optional<QString> &message) { statuses.append(message.value_or(u"-"_s)); });
        LogCapture logs;

        QCoro::waitFor(manager.checkForUpdates());
        QTRY_COMPARE_WITH_TIMEOUT(presenter->shown.size(), c.alerts.size(), 30000);
        QCoreApplication::processEvents();
        QCOMPARE(presenter->shown.size(), c.alerts.size());
        for (qsizetype i = 0; i < c.alerts.size(); ++i) {
            const auto &[alert, isBusy, statusMessage] = presenter->shown.at(i);
            const QString shown = alert.messageText + u": "_s + alert.informativeText;
            const QString expected = c.alerts.at(i);
            if (expected.endsWith(u"..."_s))
                QVERIFY2(shown.startsWith(expected.chopped(3)) && shown.size() > expected.size(), qPrintable(shown));
            else
                QCOMPARE(shown, expected);
            QCOMPARE(alert.style == UpdateAlert::Style::critical, expected.startsWith(u"Update failed"_s));
            QVERIFY(!isBusy && !statusMessage);
        }
        QVERIFY(!manager.isBusy.get());
        QCOMPARE(logs.lines().filter(u"Updater: "_s).replaceInStrings(u"Updater: "_s, QString()), c.log);
        QStringList expectedStatuses { u"-"_s, u"Checking for updates\u2026"_s, u"-"_s };
        if (c.install) {
            expectedStatuses << u"Downloading update\u2026"_s;
            if (!c.log.isEmpty() && !c.alerts.last().contains(u"verification"_s))
                expectedStatuses << u"Preparing update\u2026"_s;
            expectedStatuses << u"-"_s;
        }
        QCOMPARE(statuses, expectedStatuses);
        QCOMPARE(m_server->requestCount(u"/image.dmg"_s), c.install && c.imageUrl.isEmpty() ? 1 : 0);
        // The manifest's cookie did not come back with the image request.
        QVERIFY(!m_server->lastRequestHead().toLower().contains("cookie"));

        // The downloaded image stays in the temporary folder whatever happens next; a failed transfer
        // leaves nothing there.
        QStringList imagesAfter = QDir::temp().entryList({ u"*.dmg"_s }, QDir::Files);
        for (const QString &before : imagesBefore)
            imagesAfter.removeOne(before);
        QCOMPARE(imagesAfter.size(), c.log.isEmpty() ? 0 : 1);
        if (!c.log.isEmpty())
            QCOMPARE(contents(QDir::temp().filePath(imagesAfter.first())), c.image.body);
        // Nothing but the image is written, and only inside the Downloads folder.
        const QString saved = QDir(downloads()).filePath(c.savedName);
        QCOMPARE(QDir(downloads()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            c.savedName.isEmpty() ? QStringList() : QStringList { c.savedName });
        if (!c.savedName.isEmpty()) {
            QCOMPARE(QDir(m_home->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                QStringList { u"Downloads"_s });
            QCOMPARE(contents(saved), c.image.body);
        }
        QCOMPARE(revealer->revealed, c.savedName.isEmpty() ? QStringList() : QStringList { saved });
    }

    void backgroundCheckReturnsAtOnce()
    {
        m_server->setResponse(u"/manifest.json"_s, { 404, {} });
        UpdateManager manager(configuration());
        auto presenter = std::make_shared<RecordingAlertPresenter>(&manager);
        manager.setAlertPresenter(presenter);
        manager.checkForUpdatesInBackground();
        QVERIFY(!manager.isBusy.get()); // nothing started inside the call
        QTRY_COMPARE_WITH_TIMEOUT(presenter->shown.size(), 1, 30000);
        QCOMPARE(m_server->requestCount(u"/manifest.json"_s), 1);
    }

    void failedSaveKeepsTheExistingFile()
    {
        UpdateManager manager(configuration());
        UpdateManifest manifest;
        manifest.version = u"1.3"_s;
        const QString target = QDir(downloads()).filePath(u"Sonorel-1.3-2025-01-31T09:30:00Z.dmg"_s);
        QVERIFY(QDir().mkpath(downloads()) && write(target, "earlier download"));

        // A folder as the source: the copy fails once the target's temporary file is open.
        const UpdateResult<QString> failedSave = manager.saveToDownloads(m_home->path(), manifest);
        QVERIFY(!failedSave.ok() && failedSave.failure().updateError());
        QCOMPARE(failedSave.failure().updateError()->code(), UpdateError::Code::moveFailed);
        QCOMPARE(contents(target), QByteArray("earlier download"));
        QCOMPARE(QDir(downloads()).entryList(QDir::Files | QDir::Hidden), QStringList { QFileInfo(target).fileName() });

        const QString image = m_home->filePath(u"image.dmg"_s);
        QVERIFY(write(image, "new image"));
        const UpdateResult<QString> save = manager.saveToDownloads(image, manifest);
        QVERIFY(save.ok());
        QCOMPARE(save.value(), target);
        QCOMPARE(contents(target), QByteArray("new image"));
    }
};

QTEST_GUILESS_MAIN(UpdateManagerTest)
#include "UpdateManagerTest.moc"
