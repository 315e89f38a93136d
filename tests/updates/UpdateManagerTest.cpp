#include "updates/UpdateManager.h"
#include "LocalHttpServer.h"
#include "LogCapture.h"
#include "RecordingAlertPresenter.h"
#include "SmallFileSystem.h"
#include "base/BundleInfo.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
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
    QString imagePath = u"/sonorel_1.3_amd64.deb"_s; // on the local server
    QVariant sha256 {};
    QString bundleName = u"Sonorel"_s, version = u"1.3"_s, build = u"99"_s;
    // "", "a file", "read-only", "full" (100 kB, holding an earlier download of the saved name), or the saved
    // name already a link to ~/.bashrc: "link out" or "dangling link".
    QString downloads {};
    bool fullTemporaryFolder = false; // 100 kB
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
        // A check answered `alert`; `c` holds what differs from a newer release on the local server.
        const auto check = [](const char *name, const QString &alert, Case c = {}) {
            c.alerts = { alert };
            QTest::newRow(name) << c;
        };
        check("newer", newer);
        check("equal", u"You are up to date: "_s, { .version = u"1.2"_s, .build = u"41"_s });
        check("older version, greater build",
            u"A new version is available: Version 1.1 is available. You are running 1.2."_s,
            { .version = u"1.1"_s, .build = u"50"_s });
        for (const int status : { 204, 304, 404, 500 })
            check(qPrintable(QString::number(status)), failed + u"The update server returned an error status."_s,
                { .manifest = { status, {} } });
        const QByteArray html = "<html>maintenance</html>";
        check("not a manifest", failed + std::get<ManifestDecodeError>(UpdateManifest::decode(html)).description(),
            { .manifest = { 200, html } });
        // A valid manifest padded past 1 MiB with an ignored key, with and without an announced length.
        QJsonObject padded = QJsonDocument::fromJson(manifestJson({}, QUrl(u"https://a/b"_s))).object();
        padded.insert(u"padding"_s, QString(1024 * 1024, u'x'));
        const QByteArray large = QJsonDocument(padded).toJson();
        const QString tooLarge = failed + u"The update server's answer is larger than 1 MiB."_s;
        check("over 1 MiB", tooLarge, { .manifest = { 200, large } });
        check("over 1 MiB, chunked", tooLarge, { .manifest = { 200, large, Mode::chunked } });
        check("refused", failed + u"Connection refused"_s,
            { .manifestUrl = LocalHttpServer::refusingUrl(u"/manifest.json"_s) });
        check("silent past the transfer time-out", timedOut,
            { .manifest = { 200, {}, Mode::silent }, .transferMs = 300 });
        check("trickling past the overall time-out", timedOut,
            { .manifest = { 200, {}, Mode::trickle }, .overallMs = 800 });
        for (const char *url : { "file:///etc/hostname", "manifest.json" })
            check(url, failed + u"Unsupported URL: %1 is not an http or https address."_s.arg(QLatin1String(url)),
                { .manifestUrl = QUrl(QLatin1String(url)) });

        // "Install Update" on a newer release whose image is `image`, ending with the alert `alert`.
        const auto install = [&newer](const char *name, const Response &image, const QVariant &sha256,
                                 const QString &alert, const QString &savedName, const QStringList &log, Case c = {}) {
            c.install = true;
            c.image = image;
            c.sha256 = sha256;
            c.alerts = { c.alerts.value(0, newer), alert };
            c.savedName = savedName;
            c.log = log;
            QTest::newRow(name) << c;
        };
        // Larger than the 256 KiB pieces in which the image is hashed and copied.
        const Response image { 200, QByteArray(800123, 'i') };
        const QString sha
            = QString::fromLatin1(QCryptographicHash::hash(image.body, QCryptographicHash::Sha256).toHex());
        const QString name = u"Sonorel-1.3-2025-01-31T09:30:00Z.deb"_s;
        const QString saved = u"Update downloaded: Version 1.3 was saved to your Downloads folder as "_s + name;
        const QString mismatch = failed + u"The downloaded update failed verification."_s;
        const QStringList unverified { u"Download status: 200"_s, u"Saved DMG bytes: 800123"_s };
        const QStringList verified = unverified + QStringList { u"Downloaded bytes: 800123"_s };
        const QStringList notFound { u"Download status: 404"_s, u"Saved DMG bytes: 9"_s };
        install("verified", image, sha, saved + u". (800.1 kB)"_s, name, verified);
        install("upper-case checksum", image, sha.toUpper(), saved + u". (800.1 kB)"_s, name, verified);
        install("no checksum", image, QVariant(), saved + u". (800.1 kB)"_s, name, unverified);
        install("mismatch", image, QString(sha.left(63) + u'0'), mismatch, QString(), verified);
        install("404 with checksum", { 404, "not found" }, sha, mismatch, QString(),
            notFound + QStringList { u"Downloaded bytes: 9"_s });
        install("404 without checksum saves the page", { 404, "not found" }, QVariant(), saved + u". (9 bytes)"_s, name,
            notFound);
        install("address without an extension", image, sha, saved.chopped(4) + u". (800.1 kB)"_s, name.chopped(4),
            verified, { .imagePath = u"/download"_s });
        const QString escaped = u"My-App-1-..-x-2025-01-31T09:30:00Z.deb"_s;
        install("name with separators, parents and spaces", image, sha,
            u"Update downloaded: Version 1/../x was saved to your Downloads folder as "_s + escaped + u". (800.1 kB)"_s,
            escaped, verified,
            { .bundleName = u"../../My App"_s,
                .version = u"1/../x"_s,
                .alerts = { u"A new version is available: Version 1/../x is available. You are running 1.2."_s } });
        install("Downloads cannot be created", image, sha, failed + u"The Downloads folder is unavailable."_s,
            QString(), verified, { .downloads = u"a file"_s });
        install("Downloads read-only", image, sha, failed + u"The update could not be saved: ..."_s, QString(),
            verified, { .downloads = u"read-only"_s });
        install("Downloads full", image, sha, failed + u"The update could not be saved: No space left on device"_s,
            QString(), verified, { .downloads = u"full"_s });
        install("saved name links out of Downloads", image, sha, saved + u". (800.1 kB)"_s, name, verified,
            { .downloads = u"link out"_s });
        install("saved name is a dangling link", image, sha, saved + u". (800.1 kB)"_s, name, verified,
            { .downloads = u"dangling link"_s });
        install("temporary folder full", image, sha, failed + u"No space left on device"_s, QString(), {},
            { .fullTemporaryFolder = true });
        install("image stalled", { 200, {}, Mode::silent }, sha, timedOut, QString(), {}, { .transferMs = 400 });
        install("image cut short", { 200, image.body, Mode::truncated }, sha, failed + u"Connection closed"_s,
            QString(), {});
        install("image from a file address", image, sha,
            failed + u"Unsupported URL: file:///etc/hostname is not an http or https address."_s, QString(), {},
            { .imageUrl = QUrl(u"file:///etc/hostname"_s) });
    }

    void checkAndDownload()
    {
        QFETCH(Case, c);
        UpdateManifest named;
        named.bundleName = c.bundleName;
        named.version = c.version;
        const QUrl imageUrl = c.imageUrl.isEmpty() ? m_server->url(c.imagePath) : c.imageUrl;
        named.download.url = imageUrl;
        const QString target = QDir(downloads()).filePath(UpdateManager::savedFileName(named, configuration().now()));
        const QString bashrc = m_home->filePath(u".bashrc"_s);
        const QByteArray bashrcBytes = "alias ls='ls --color'\n";
        const QString temporary = m_home->filePath(u"tmp"_s);
        const QByteArray originalTmpdir = qgetenv("TMPDIR");
        const auto restore = qScopeGuard([&] {
            if (c.downloads == u"full")
                SmallFileSystem::unmount(downloads());
            if (c.fullTemporaryFolder) {
                SmallFileSystem::unmount(temporary);
                qputenv("TMPDIR", originalTmpdir);
            }
        });
        if (c.downloads == u"full" || c.fullTemporaryFolder) {
            if (!SmallFileSystem::mount(c.fullTemporaryFolder ? temporary : downloads()))
                QSKIP("a small file system can only be mounted by root");
            if (c.fullTemporaryFolder)
                qputenv("TMPDIR", QFile::encodeName(temporary));
            else
                QVERIFY(write(target, "earlier download"));
        } else if (c.downloads.contains(u"link"_s)) {
            QVERIFY(QDir().mkpath(downloads()));
            QVERIFY(c.downloads != u"link out" || write(bashrc, bashrcBytes));
            QVERIFY(QFile::link(bashrc, target));
        } else if (c.downloads == u"a file") {
            QVERIFY(write(downloads(), "not a folder"));
        } else if (c.downloads == u"read-only") {
            if (geteuid() == 0)
                QSKIP("a read-only folder does not stop root");
            QVERIFY(QDir().mkpath(downloads()));
            QVERIFY(QFile::setPermissions(downloads(), QFile::ReadOwner | QFile::ExeOwner));
        }
        if (c.manifest.body.isEmpty() && c.manifest.status == 200)
            c.manifest.body = manifestJson(c, imageUrl);
        m_server->setResponse(u"/manifest.json"_s, c.manifest);
        m_server->setResponse(c.imagePath, c.image);
        const QStringList temporaryBefore
            = QDir::temp().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        UpdateManager manager(configuration(c.manifestUrl, c.transferMs, c.overallMs));
        auto presenter = std::make_shared<RecordingAlertPresenter>(&manager);
        auto revealer = std::make_shared<RecordingFileRevealer>();
        manager.setAlertPresenter(presenter);
        manager.setFileRevealer(revealer);
        // "Install Update" and "Show in Folder", or else the last button, "Later" or "OK".
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
            if (alert.messageText == u"Update downloaded"_s)
                QCOMPARE(alert.buttons, QStringList({ u"Show in Folder"_s, u"OK"_s }));
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
        const bool imageRequested = c.install && c.imageUrl.isEmpty();
        QCOMPARE(m_server->requestCount(c.imagePath), imageRequested ? 1 : 0);
        if (imageRequested) // the manifest's cookie did not come back with it
            QVERIFY(!m_server->lastRequestHead().toLower().contains("cookie"));

        // Whether saved, rejected or cut short, the download leaves nothing in the temporary folder.
        QCOMPARE(QDir::temp().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), temporaryBefore);
        // Nothing but the image is written, and only as an entry of the Downloads folder: a failed save keeps
        // the earlier download, a link at the saved name is replaced and the file it led to left alone.
        const QString saved = QDir(downloads()).filePath(c.savedName);
        const bool kept = c.downloads == u"full";
        QCOMPARE(QDir(downloads()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System),
            c.savedName.isEmpty() ? (kept ? QStringList { QFileInfo(target).fileName() } : QStringList())
                                  : QStringList { c.savedName });
        if (kept)
            QCOMPARE(contents(target), QByteArray("earlier download"));
        if (!c.savedName.isEmpty()) {
            QCOMPARE(QDir(m_home->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                QStringList { u"Downloads"_s });
            QVERIFY(!QFileInfo(saved).isSymLink());
            QCOMPARE(contents(saved), c.image.body);
        }
        QCOMPARE(QFileInfo::exists(bashrc), c.downloads == u"link out");
        if (c.downloads == u"link out")
            QCOMPARE(contents(bashrc), bashrcBytes);
        QCOMPARE(revealer->revealed, c.savedName.isEmpty() ? QStringList() : QStringList { saved });
    }

    void failedSaveKeepsTheExistingFile()
    {
        UpdateManager manager(configuration());
        UpdateManifest manifest;
        manifest.version = u"1.3"_s;
        manifest.download.url = m_server->url(u"/Sonorel-1.3-x86_64.AppImage"_s);
        const QString target = QDir(downloads()).filePath(u"Sonorel-1.3-2025-01-31T09:30:00Z.AppImage"_s);
        QVERIFY(QDir().mkpath(downloads()) && write(target, "earlier download"));

        // A folder as the source: the copy fails once the target's temporary file is open.
        const UpdateResult<QString> failedSave = manager.saveToDownloads(m_home->path(), manifest);
        QVERIFY(!failedSave.ok() && failedSave.failure().updateError());
        QCOMPARE(failedSave.failure().updateError()->code(), UpdateError::Code::moveFailed);
        QCOMPARE(contents(target), QByteArray("earlier download"));
        QCOMPARE(QDir(downloads()).entryList(QDir::Files | QDir::Hidden), QStringList { QFileInfo(target).fileName() });

        // The temporary image is named after the download address's kind of file, like the saved one.
        m_server->setResponse(manifest.download.url.path(), { 200, "new image" });
        std::optional<UpdateResult<QString>> image;
        QCoro::waitFor([&]() -> QCoro::Task<> { image = co_await manager.downloadPayload(manifest.download.url); }());
        QVERIFY(image && image->ok());
        const QString imagePath = image->value();
        const auto removeImage = qScopeGuard([&imagePath] { QFile::remove(imagePath); });
        QCOMPARE(QFileInfo(imagePath).dir(), QDir::temp());
        QVERIFY2(imagePath.endsWith(u".AppImage"_s), qPrintable(imagePath));
        const UpdateResult<QString> save = manager.saveToDownloads(imagePath, manifest);
        QVERIFY(save.ok());
        QCOMPARE(save.value(), target);
        QCOMPARE(contents(target), QByteArray("new image"));
    }
};

QTEST_GUILESS_MAIN(UpdateManagerTest)
#include "UpdateManagerTest.moc"
