#include "updates/UpdateManager.h"
#include "FileContents.h"
#include "LocalHttpServer.h"
#include "RecordingAlertPresenter.h"
#include "SmallFileSystem.h"
#include "WriteFile.h"
#include "base/BundleInfo.h"

#include <QCryptographicHash>
#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Mode = LocalHttpServer::Mode;
using Response = LocalHttpServer::Response;
using Code = UpdateError::Code;

namespace {

const QString imagePath = u"/sonorel_1.3_amd64.deb"_s; // on the local server
const QString savedName = u"Sonorel-1.3-2025-01-31T09:30:00Z.deb"_s;

// A check and, when `install` is set, its download; an empty manifest is made of the fields. `alerts`: "message: text".
struct Case {
    Response manifest {};
    bool install = false;
    Response image {};
    QUrl manifestUrl {}; // empty: the local server's
    QVariant sha256 {};
    QString version = u"1.3"_s, build = u"99"_s;
    // "full" (100 kB, holding an earlier download of the saved name) or "link out" (the saved name a link to ~/.bashrc)
    QString downloads {};
    bool fullTemporaryFolder = false; // 100 kB
    int transferMs = 10000, overallMs = 30000;
    QStringList alerts {};
};

QByteArray manifestJson(const Case &c, const QUrl &image)
{
    const QString sha256 = c.sha256.isValid() ? u", \"sha256\": \"%1\""_s.arg(c.sha256.toString()) : QString();
    return u"{\"version\": \"%1\", \"build\": \"%2\", \"bundle_name\": \"Sonorel\", "
           u"\"download\": {\"url\": \"%3\"%4}}"_s.arg(c.version, c.build, image.toString(), sha256)
               .toUtf8();
}

} // namespace

Q_DECLARE_METATYPE(Case)

class UpdateManagerTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        BundleInfo::setInfoDictionary(
            { { BundleInfo::shortVersionKey, u"1.2"_s }, { BundleInfo::versionKey, u"41"_s } });
    }

    void checkAndDownload_data()
    {
        QTest::addColumn<Case>("c");
        const QString failed = u"Update failed: "_s, timedOut = failed + u"The request timed out."_s;
        const auto failure = [&failed](Code code) { return failed + UpdateError(code).errorDescription(); };
        const QString newer = u"A new version is available: Version 1.3 is available. You are running 1.2."_s;
        // A check answered `alert`; `c` holds what differs from a newer release on the local server.
        const auto check = [](const char *name, const QString &alert, Case c = {}) {
            c.alerts = { alert };
            QTest::newRow(name) << c;
        };
        check("newer", newer);
        check("equal", u"You are up to date: "_s, { .version = u"1.2"_s, .build = u"41"_s });
        check("404", failure(Code::invalidStatusCode), { .manifest = { 404, {} } });
        const QByteArray html = "<html>maintenance</html>";
        check("not a manifest", failed + std::get<ManifestDecodeError>(UpdateManifest::decode(html)).description(),
            { .manifest = { 200, html } });
        // A valid manifest after 1 MiB of white space.
        check("over 1 MiB", failed + u"The update server's answer is larger than 1 MiB."_s,
            { .manifest = { 200, QByteArray(1 << 20, ' ') + manifestJson({}, QUrl(u"https://a/b"_s)) } });
        // Nothing listens on port 1.
        check("refused", failed + u"Connection refused"_s, { .manifestUrl = QUrl(u"http://127.0.0.1:1/m.json"_s) });
        check("silent", timedOut, { .manifest = { 200, {}, Mode::silent }, .transferMs = 300 });
        check("trickling", timedOut, { .manifest = { 200, {}, Mode::trickle }, .overallMs = 800 });
        for (const char *url : { "file:///etc/hostname", "manifest.json" })
            check(url, failed + u"Unsupported URL: %1 is not an http or https address."_s.arg(QLatin1String(url)),
                { .manifestUrl = QUrl(QLatin1String(url)) });

        // "Install Update" on a newer release whose image is `image`, ending with the alert `alert`.
        const auto install = [&newer](const char *name, const Response &image, const QVariant &sha256,
                                 const QString &alert, Case c = {}) {
            c.install = true, c.image = image, c.sha256 = sha256, c.alerts = { newer, alert };
            QTest::newRow(name) << c;
        };
        // Larger than the 256 KiB pieces in which the image is hashed and copied.
        const Response image { 200, QByteArray(800123, 'i') };
        const QString sha
            = QString::fromLatin1(QCryptographicHash::hash(image.body, QCryptographicHash::Sha256).toHex());
        const QString savedImage = u"Update downloaded: Version 1.3 was saved to your Downloads folder as "_s
            + savedName + u". (800.1 kB)"_s;
        install("verified", image, sha, savedImage);
        install("upper-case checksum", image, sha.toUpper(), savedImage);
        install("no checksum", image, QVariant(), savedImage);
        install("mismatch", image, QString(sha.left(63) + u'0'), failure(Code::checksumMismatch));
        install("Downloads full", image, sha, failed + u"The update could not be saved: No space left on device"_s,
            { .downloads = u"full"_s });
        install("saved name links out of Downloads", image, sha, savedImage, { .downloads = u"link out"_s });
        install("temporary folder full", image, sha, failed + u"No space left on device"_s,
            { .fullTemporaryFolder = true });
        install("image cut short", { 200, image.body, Mode::truncated }, sha, failed + u"Connection closed"_s);
    }

    void checkAndDownload()
    {
        QFETCH(Case, c);
        LocalHttpServer server;
        QTemporaryDir home;
        const QString downloads = home.filePath(u"Downloads"_s), target = QDir(downloads).filePath(savedName);
        const QString bashrc = home.filePath(u".bashrc"_s), temporary = home.filePath(u"tmp"_s);
        const QByteArray bashrcBytes = "alias ls='ls --color'\n", originalTmpdir = qgetenv("TMPDIR");
        const QString mounted = c.fullTemporaryFolder ? temporary : c.downloads == u"full" ? downloads : QString();
        const auto restore = qScopeGuard([&] {
            if (!mounted.isEmpty())
                SmallFileSystem::unmount(mounted);
            qputenv("TMPDIR", originalTmpdir);
        });
        if (!mounted.isEmpty() && !SmallFileSystem::mount(mounted))
            QSKIP("a small file system can only be mounted by root");
        if (c.fullTemporaryFolder)
            qputenv("TMPDIR", QFile::encodeName(temporary));
        if (c.downloads == u"full")
            QVERIFY(writeFile(target, "earlier download"));
        if (c.downloads == u"link out")
            QVERIFY(writeFile(bashrc, bashrcBytes) && QDir().mkpath(downloads) && QFile::link(bashrc, target));
        if (c.manifest.body.isEmpty() && c.manifest.status == 200)
            c.manifest.body = manifestJson(c, server.url(imagePath));
        server.setResponse(u"/manifest.json"_s, c.manifest);
        server.setResponse(imagePath, c.image);
        const auto temporaryEntries
            = [] { return QDir::temp().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); };
        const QStringList temporaryBefore = temporaryEntries();
        UpdateManager manager({ c.manifestUrl.isEmpty() ? server.url(u"/manifest.json"_s) : c.manifestUrl,
            std::chrono::milliseconds(c.transferMs), std::chrono::milliseconds(c.overallMs), [&] { return downloads; },
            [] { return QDateTime(QDate(2025, 1, 31), QTime(9, 30), Qt::UTC); } });
        auto presenter = std::make_shared<RecordingAlertPresenter>(&manager);
        auto revealer = std::make_shared<RecordingFileRevealer>();
        manager.setAlertPresenter(presenter);
        manager.setFileRevealer(revealer);
        // "Install Update" and "Show in Folder", or else the last button, "Later" or "OK".
        presenter->answers = c.install ? QList<int> { 0, 0 } : QList<int> {};

        QCoro::waitFor(manager.checkForUpdates());
        QTRY_COMPARE_WITH_TIMEOUT(presenter->shown.size(), c.alerts.size(), 30000);
        QCoreApplication::processEvents();
        QCOMPARE(presenter->shown.size(), c.alerts.size());
        for (qsizetype i = 0; i < c.alerts.size(); ++i) {
            const auto &[alert, isBusy, statusMessage] = presenter->shown.at(i);
            QCOMPARE(alert.messageText + u": "_s + alert.informativeText, c.alerts.at(i));
            QCOMPARE(alert.style == UpdateAlert::Style::critical, c.alerts.at(i).startsWith(u"Update failed"_s));
            QVERIFY(!isBusy && !statusMessage);
        }
        QVERIFY(!manager.isBusy.get());
        QCOMPARE(server.requestCount(imagePath), c.install ? 1 : 0);
        if (c.install) // the manifest's cookie did not come back with it
            QVERIFY(!server.lastRequestHead().toLower().contains("cookie"));

        // Whether saved, rejected or cut short, the download leaves nothing in the temporary folder.
        QCOMPARE(temporaryEntries(), temporaryBefore);
        // Only the image is written, in Downloads: a failed save keeps the earlier one, a link there is replaced.
        const bool saved = c.alerts.last().startsWith(u"Update downloaded"_s), kept = c.downloads == u"full";
        QCOMPARE(QDir(downloads).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System),
            saved || kept ? QStringList { savedName } : QStringList());
        QCOMPARE(fileContents(target), saved ? c.image.body : kept ? "earlier download" : fileContents(QString()));
        QVERIFY(!QFileInfo(target).isSymLink());
        if (saved)
            QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList(u"Downloads"_s));
        if (c.downloads == u"link out")
            QCOMPARE(fileContents(bashrc), bashrcBytes);
        QCOMPARE(revealer->revealed, saved ? QStringList { target } : QStringList());
    }
};

QTEST_GUILESS_MAIN(UpdateManagerTest)
#include "UpdateManagerTest.moc"
