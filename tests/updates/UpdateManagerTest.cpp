#include "UpdateManager.h"
#include "BundleInfo.h"
#include "LocalHttpServer.h"
#include "RecordingAlertPresenter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <unistd.h>

using namespace Qt::StringLiterals;
using Mode = LocalHttpServer::Response::Mode;

namespace {

QStringList &updaterLog()
{
    static QStringList lines;
    return lines;
}

QtMessageHandler previousHandler = nullptr;

void captureUpdaterLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArrayView(context.category) == "com.ambrite.sonorel.Updater")
        updaterLog().append(message);
    if (previousHandler)
        previousHandler(type, context, message);
}

QByteArray manifestJson(const QString &version, const QString &build, const QUrl &image = QUrl(),
    const QVariant &sha256 = QVariant(), const QString &bundleName = u"Sonorel"_s)
{
    QJsonObject download { { u"url"_s, image.isEmpty() ? u"https://updates.sonorel.app/x.dmg"_s : image.toString() } };
    if (sha256.isValid())
        download.insert(u"sha256"_s, sha256.toString());
    return QJsonDocument(QJsonObject { { u"version"_s, version }, { u"build"_s, build },
                             { u"bundle_name"_s, bundleName }, { u"download"_s, download } })
        .toJson();
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The manager's state as a list of texts, "-" for an absent status message.
QString statusText(const std::optional<QString> &message)
{
    return message.value_or(u"-"_s);
}

const QString informational = u"informational"_s;
const QString critical = u"critical"_s;

QString styleName(UpdateAlert::Style style)
{
    return style == UpdateAlert::Style::critical ? critical : informational;
}

} // namespace

class UpdateManagerTest final : public QObject
{
    Q_OBJECT

    // One manager wired to the local server, a recording presenter and file manager, a private Downloads
    // folder and a fixed clock, with the history of its published state.
    struct Harness {
        explicit Harness(UpdateManager::Configuration configuration)
            : manager(std::move(configuration)), presenter(std::make_shared<RecordingAlertPresenter>(&manager)),
              revealer(std::make_shared<RecordingFileRevealer>())
        {
            manager.setAlertPresenter(presenter);
            manager.setFileRevealer(revealer);
            cancellables.push_back(manager.isBusy.subscribe([this](bool busy) { busyHistory.append(busy); }));
            cancellables.push_back(manager.statusMessage.subscribe(
                [this](const std::optional<QString> &message) { statusHistory.append(statusText(message)); }));
        }

        UpdateManager manager;
        std::shared_ptr<RecordingAlertPresenter> presenter;
        std::shared_ptr<RecordingFileRevealer> revealer;
        QList<bool> busyHistory;
        QStringList statusHistory;
        Cancellables cancellables;
    };

    LocalHttpServer *m_server = nullptr;
    std::unique_ptr<QTemporaryDir> m_home;

    QString downloadsPath() const { return m_home->filePath(u"Downloads"_s); }

    UpdateManager::Configuration configuration(std::chrono::milliseconds transfer = std::chrono::seconds(5),
        std::chrono::milliseconds overall = std::chrono::seconds(20)) const
    {
        UpdateManager::Configuration c;
        c.manifestUrl = m_server->url(u"/manifest.json"_s);
        c.transferTimeout = transfer;
        c.overallTimeout = overall;
        c.downloadsDirectory = [this] { return downloadsPath(); };
        c.now = [] { return QDateTime(QDate(2025, 1, 31), QTime(9, 30), Qt::UTC); };
        return c;
    }

    static void verifyIdleAtEveryAlert(const Harness &h)
    {
        for (const auto &shown : h.presenter->shown) {
            QVERIFY2(!shown.isBusy, qPrintable(shown.alert.messageText));
            QVERIFY2(!shown.statusMessage, qPrintable(shown.alert.messageText));
        }
    }

private Q_SLOTS:
    void initTestCase() { previousHandler = qInstallMessageHandler(captureUpdaterLog); }

    void init()
    {
        m_server = new LocalHttpServer(this);
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
        BundleInfo::setInfoDictionary(
            { { BundleInfo::shortVersionKey, u"1.2"_s }, { BundleInfo::versionKey, u"41"_s } });
        updaterLog().clear();
    }

    void cleanup()
    {
        delete m_server;
        m_server = nullptr;
        BundleInfo::resetInfoDictionary();
    }

    void check_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QVariantMap>("bundle");
        QTest::addColumn<QString>("style");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("informative");

        const QVariantMap running { { BundleInfo::shortVersionKey, u"1.2"_s }, { BundleInfo::versionKey, u"41"_s } };
        const QString newVersion = u"A new version is available"_s;
        const QString failed = u"Update failed"_s;
        const QString errorStatus = u"The update server returned an error status."_s;
        const int complete = int(Mode::complete);
        const QByteArray newer = manifestJson(u"1.3"_s, u"5"_s);
        QTest::newRow("newer") << 200 << newer << complete << running << informational << newVersion
                               << u"Version 1.3 is available. You are running 1.2."_s;
        QTest::newRow("equal") << 200 << manifestJson(u"1.2"_s, u"41"_s) << complete << running << informational
                               << u"You are up to date"_s << QString();
        QTest::newRow("older version, greater build")
            << 200 << manifestJson(u"1.1"_s, u"50"_s) << complete << running << informational << newVersion
            << u"Version 1.1 is available. You are running 1.2."_s;
        QTest::newRow("running version missing")
            << 200 << newer << complete << QVariantMap { { BundleInfo::versionKey, u"41"_s } } << informational
            << newVersion << u"Version 1.3 is available. You are running -."_s;
        QTest::newRow("chunked answer") << 200 << manifestJson(u"1.2"_s, u"41"_s) << int(Mode::chunked) << running
                                        << informational << u"You are up to date"_s << QString();
        for (int status : { 204, 304, 404, 500 })
            QTest::addRow("status %d", status)
                << status << newer << complete << running << critical << failed << errorStatus;
        const QByteArray html = "<html>maintenance</html>";
        const auto decodeError = std::get<ManifestDecodeError>(UpdateManifest::decode(html)).description();
        QTest::newRow("not a manifest") << 200 << html << complete << running << critical << failed << decodeError;
        const QByteArray missingBuild = R"({"version": "1.3", "bundle_name": "", "download": {"url": "a"}})";
        QTest::newRow("manifest without build")
            << 200 << missingBuild << complete << running << critical << failed
            << std::get<ManifestDecodeError>(UpdateManifest::decode(missingBuild)).description();
        // A valid manifest padded past 1 MiB with an ignored key.
        QJsonObject padded = QJsonDocument::fromJson(newer).object();
        padded.insert(u"padding"_s, QString(1024 * 1024, u'x'));
        const QByteArray large = QJsonDocument(padded).toJson();
        const QString tooLarge = u"The update server's answer is larger than 1 MiB."_s;
        QTest::newRow("over 1 MiB with length")
            << 200 << large << complete << running << critical << failed << tooLarge;
        QTest::newRow("over 1 MiB chunked")
            << 200 << large << int(Mode::chunked) << running << critical << failed << tooLarge;
    }

    void check()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, mode);
        QFETCH(QVariantMap, bundle);
        QFETCH(QString, style);
        QFETCH(QString, message);
        QFETCH(QString, informative);
        BundleInfo::setInfoDictionary(bundle);
        m_server->setResponse(u"/manifest.json"_s, { status, body, Mode(mode), {}, 50 });
        Harness h(configuration());

        QCoro::waitFor(h.manager.checkForUpdates());

        QCOMPARE(m_server->requestCount(u"/manifest.json"_s), 1);
        QVERIFY(m_server->lastRequestHead().startsWith("GET /manifest.json HTTP/1.1\r\n"));
        QCOMPARE(h.presenter->shown.size(), 1);
        const UpdateAlert &alert = h.presenter->shown.first().alert;
        QCOMPARE(styleName(alert.style), style);
        QCOMPARE(alert.messageText, message);
        QCOMPARE(alert.informativeText, informative);
        const QStringList buttons = message == u"A new version is available"_s
            ? QStringList { u"Install Update"_s, u"Later"_s }
            : QStringList { u"OK"_s };
        QCOMPARE(alert.buttons, buttons);
        verifyIdleAtEveryAlert(h);
        QCOMPARE(h.busyHistory, (QList<bool> { false, true, false }));
        QCOMPARE(h.statusHistory, (QStringList { u"-"_s, u"Checking for updates\u2026"_s, u"-"_s }));
        QVERIFY(!h.manager.isBusy.get());
    }

    void checkTransportFailures_data()
    {
        QTest::addColumn<QUrl>("manifestUrl");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("transferMs");
        QTest::addColumn<int>("overallMs");
        QTest::addColumn<QString>("informative");

        QTest::newRow("connection refused")
            << LocalHttpServer::refusingUrl(u"/manifest.json"_s) << 0 << 5000 << 20000 << u"Connection refused"_s;
        QTest::newRow("server silent past transfer time-out")
            << QUrl() << int(Mode::silent) << 300 << 20000 << u"The request timed out."_s;
        QTest::newRow("server trickling past overall time-out")
            << QUrl() << int(Mode::trickle) << 5000 << 800 << u"The request timed out."_s;
        QTest::newRow("file address") << QUrl(u"file:///etc/hostname"_s) << 0 << 5000 << 20000
                                      << u"Unsupported URL: file:///etc/hostname is not an http or https address."_s;
        QTest::newRow("relative address") << QUrl(u"manifest.json"_s) << 0 << 5000 << 20000
                                          << u"Unsupported URL: manifest.json is not an http or https address."_s;
    }

    void checkTransportFailures()
    {
        QFETCH(QUrl, manifestUrl);
        QFETCH(int, mode);
        QFETCH(int, transferMs);
        QFETCH(int, overallMs);
        QFETCH(QString, informative);
        m_server->setResponse(u"/manifest.json"_s, { 200, manifestJson(u"1.3"_s, u"1"_s), Mode(mode), {}, 50 });
        auto c = configuration(std::chrono::milliseconds(transferMs), std::chrono::milliseconds(overallMs));
        if (!manifestUrl.isEmpty())
            c.manifestUrl = manifestUrl;
        Harness h(std::move(c));

        QCoro::waitFor(h.manager.checkForUpdates());

        QCOMPARE(h.presenter->shown.size(), 1);
        QCOMPARE(h.presenter->shown.first().alert.messageText, u"Update failed"_s);
        QCOMPARE(h.presenter->shown.first().alert.informativeText, informative);
        verifyIdleAtEveryAlert(h);
        QCOMPARE(h.statusHistory, (QStringList { u"-"_s, u"Checking for updates\u2026"_s, u"-"_s }));
    }

    void backgroundCheckReportsOnlyNewer_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QStringList>("alerts");
        QTest::newRow("failure is silent") << 500 << u"1.3"_s << QStringList();
        QTest::newRow("up to date is silent") << 200 << u"1.2"_s << QStringList();
        QTest::newRow("newer is shown") << 200 << u"1.3"_s << QStringList { u"A new version is available"_s };
    }

    void backgroundCheckReportsOnlyNewer()
    {
        QFETCH(int, status);
        QFETCH(QString, version);
        QFETCH(QStringList, alerts);
        m_server->setResponse(u"/manifest.json"_s, { status, manifestJson(version, u"41"_s), Mode::complete, {}, 50 });
        Harness h(configuration());
        QCoro::waitFor(h.manager.checkForUpdates(false));
        QStringList shown;
        for (const auto &s : h.presenter->shown)
            shown.append(s.alert.messageText);
        QCOMPARE(shown, alerts);
        QVERIFY(!h.manager.isBusy.get());
    }

    void checkInBackgroundReturnsAtOnce()
    {
        m_server->setResponse(u"/manifest.json"_s, { 200, manifestJson(u"1.2"_s, u"41"_s), Mode::complete, {}, 50 });
        Harness h(configuration());
        h.manager.checkForUpdatesInBackground();
        // Nothing has started inside the call: the check runs on a later turn of the event loop.
        QCOMPARE(h.busyHistory, QList<bool> { false });
        QTRY_COMPARE_WITH_TIMEOUT(h.presenter->shown.size(), 1, 20000);
        QCOMPARE(h.presenter->shown.first().alert.messageText, u"You are up to date"_s);
    }

    void laterStartsNothing()
    {
        m_server->setResponse(u"/manifest.json"_s,
            { 200, manifestJson(u"1.3"_s, u"1"_s, m_server->url(u"/image.dmg"_s)), Mode::complete, {}, 50 });
        Harness h(configuration());
        h.presenter->answers = { 1 };
        QCoro::waitFor(h.manager.checkForUpdates());
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(h.presenter->shown.size(), 1);
        QCOMPARE(m_server->requestCount(u"/image.dmg"_s), 0);
        QCOMPARE(h.busyHistory, (QList<bool> { false, true, false }));
    }

    void noCookiesAreKept()
    {
        m_server->setResponse(u"/manifest.json"_s,
            { 200, manifestJson(u"1.2"_s, u"41"_s), Mode::complete, { { "Set-Cookie", "session=abc; Path=/" } }, 50 });
        Harness h(configuration());
        QCoro::waitFor(h.manager.checkForUpdates());
        QCoro::waitFor(h.manager.checkForUpdates());
        QCOMPARE(m_server->requestCount(u"/manifest.json"_s), 2);
        QVERIFY2(!m_server->lastRequestHead().toLower().contains("cookie:"), m_server->lastRequestHead().constData());
    }

    void download_data()
    {
        QTest::addColumn<int>("imageStatus");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QVariant>("sha256");
        QTest::addColumn<QString>("bundleName");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("downloads"); // "normal", "under a file", "read-only", "target is a folder"
        QTest::addColumn<int>("successAnswer");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("informative");
        QTest::addColumn<QString>("savedName"); // empty: nothing saved
        QTest::addColumn<QStringList>("log");

        const QByteArray image(12300, 'i');
        const QString sha = sha256Hex(image);
        const QString stamp = u"2025-01-31T09:30:00Z"_s;
        const QString saved = u"Update downloaded"_s;
        const QString failed = u"Update failed"_s;
        const QString mismatch = u"The downloaded update failed verification."_s;
        const QString normal = u"normal"_s;
        const QString name = u"Sonorel-1.3-"_s + stamp + u".dmg"_s;
        const QStringList verifiedLog { u"Download status: 200"_s, u"Saved DMG bytes: 12300"_s,
            u"Downloaded bytes: 12300"_s };
        const auto savedText = [](const QString &file, const QString &size) {
            return u"Version 1.3 was saved to your Downloads folder as "_s + file + u". ("_s + size + u")"_s;
        };

        QTest::newRow("verified, shown in the file manager")
            << 200 << image << QVariant(sha) << u"Sonorel"_s << u"1.3"_s << normal << 0 << saved
            << savedText(name, u"12.3 kB"_s) << name << verifiedLog;
        QTest::newRow("upper-case checksum, OK")
            << 200 << image << QVariant(sha.toUpper()) << u"Sonorel"_s << u"1.3"_s << normal << 1 << saved
            << savedText(name, u"12.3 kB"_s) << name << verifiedLog;
        QTest::newRow("no checksum") << 200 << image << QVariant() << u"Sonorel"_s << u"1.3"_s << normal << 1 << saved
                                     << savedText(name, u"12.3 kB"_s) << name
                                     << QStringList { u"Download status: 200"_s, u"Saved DMG bytes: 12300"_s };
        QTest::newRow("empty checksum") << 200 << image << QVariant(QString()) << u"Sonorel"_s << u"1.3"_s << normal
                                        << 1 << saved << savedText(name, u"12.3 kB"_s) << name
                                        << QStringList { u"Download status: 200"_s, u"Saved DMG bytes: 12300"_s };
        QTest::newRow("mismatch") << 200 << image << QVariant(sha256Hex("other")) << u"Sonorel"_s << u"1.3"_s << normal
                                  << 1 << failed << mismatch << QString() << verifiedLog;
        QTest::newRow("checksum with a trailing space")
            << 200 << image << QVariant(sha + u' ') << u"Sonorel"_s << u"1.3"_s << normal << 1 << failed << mismatch
            << QString() << verifiedLog;
        QTest::newRow("404 with checksum")
            << 404 << QByteArray("not found") << QVariant(sha) << u"Sonorel"_s << u"1.3"_s << normal << 1 << failed
            << mismatch << QString()
            << QStringList { u"Download status: 404"_s, u"Saved DMG bytes: 9"_s, u"Downloaded bytes: 9"_s };
        QTest::newRow("404 without checksum saves the page")
            << 404 << QByteArray("not found") << QVariant() << u"Sonorel"_s << u"1.3"_s << normal << 1 << saved
            << savedText(name, u"9 bytes"_s) << name
            << QStringList { u"Download status: 404"_s, u"Saved DMG bytes: 9"_s };
        const QString spaced = u"My-App-1.3-"_s + stamp + u".dmg"_s;
        QTest::newRow("name with spaces") << 200 << image << QVariant(sha) << u"My App"_s << u"1.3"_s << normal << 1
                                          << saved << savedText(spaced, u"12.3 kB"_s) << spaced << verifiedLog;
        const QString empty = u"Sonorel-1.3-"_s + stamp + u".dmg"_s;
        QTest::newRow("empty bundle name") << 200 << image << QVariant(sha) << QString() << u"1.3"_s << normal << 1
                                           << saved << savedText(empty, u"12.3 kB"_s) << empty << verifiedLog;
        const QString escaped = u"-..-evil-1-..-x-"_s + stamp + u".dmg"_s;
        QTest::newRow("name with separators and parents")
            << 200 << image << QVariant(sha) << u"../../evil"_s << u"1/../x"_s << normal << 1 << saved
            << u"Version 1/../x was saved to your Downloads folder as "_s + escaped + u". (12.3 kB)"_s << escaped
            << verifiedLog;
        QTest::newRow("Downloads cannot be created")
            << 200 << image << QVariant(sha) << u"Sonorel"_s << u"1.3"_s << u"under a file"_s << 1 << failed
            << u"The Downloads folder is unavailable."_s << QString() << verifiedLog;
        QTest::newRow("Downloads read-only")
            << 200 << image << QVariant(sha) << u"Sonorel"_s << u"1.3"_s << u"read-only"_s << 1 << failed
            << u"The update could not be saved: "_s << QString() << verifiedLog;
        QTest::newRow("a folder holds the name")
            << 200 << image << QVariant(sha) << u"Sonorel"_s << u"1.3"_s << u"target is a folder"_s << 1 << failed
            << u"The update could not be saved: "_s << QString() << verifiedLog;
    }

    void download()
    {
        QFETCH(int, imageStatus);
        QFETCH(QByteArray, image);
        QFETCH(QVariant, sha256);
        QFETCH(QString, bundleName);
        QFETCH(QString, version);
        QFETCH(QString, downloads);
        QFETCH(int, successAnswer);
        QFETCH(QString, message);
        QFETCH(QString, informative);
        QFETCH(QString, savedName);
        QFETCH(QStringList, log);

        const QString folder = downloadsPath();
        if (downloads == u"under a file") {
            QFile blocker(folder);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else if (downloads == u"read-only") {
            if (geteuid() == 0)
                QSKIP("a read-only folder does not stop root");
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        } else if (downloads == u"target is a folder") {
            QVERIFY(QDir().mkpath(folder + u"/Sonorel-1.3-2025-01-31T09:30:00Z.dmg/inside"_s));
        }
        m_server->setResponse(u"/image.dmg"_s, { imageStatus, image, Mode::complete, {}, 50 });
        m_server->setResponse(u"/manifest.json"_s,
            { 200, manifestJson(version, u"99"_s, m_server->url(u"/image.dmg"_s), sha256, bundleName), Mode::complete,
                {}, 50 });
        const QStringList imagesBefore = QDir::temp().entryList({ u"*.dmg"_s }, QDir::Files);
        Harness h(configuration());
        h.presenter->answers = { 0, successAnswer };

        QCoro::waitFor(h.manager.checkForUpdates());
        QTRY_COMPARE_WITH_TIMEOUT(h.presenter->shown.size(), 2, 30000);

        const UpdateAlert &alert = h.presenter->shown.at(1).alert;
        QCOMPARE(alert.messageText, message);
        if (informative.endsWith(u": "_s))
            QVERIFY2(alert.informativeText.startsWith(informative) && alert.informativeText.size() > informative.size(),
                qPrintable(alert.informativeText));
        else
            QCOMPARE(alert.informativeText, informative);
        verifyIdleAtEveryAlert(h);
        QCOMPARE(m_server->requestCount(u"/image.dmg"_s), 1);
        QCOMPARE(updaterLog(), log);

        QStringList expectedStatuses { u"-"_s, u"Checking for updates\u2026"_s, u"-"_s, u"Downloading update\u2026"_s };
        const bool verified = message == u"Update downloaded"_s || !informative.contains(u"verification"_s);
        if (verified)
            expectedStatuses.append(u"Preparing update\u2026"_s);
        expectedStatuses.append(u"-"_s);
        QCOMPARE(h.statusHistory, expectedStatuses);

        // The downloaded image stays in the temporary folder whatever happened next.
        QStringList imagesAfter = QDir::temp().entryList({ u"*.dmg"_s }, QDir::Files);
        for (const QString &before : imagesBefore)
            imagesAfter.removeOne(before);
        QCOMPARE(imagesAfter.size(), 1);
        QFile temporary(QDir::temp().filePath(imagesAfter.first()));
        QVERIFY(temporary.open(QIODevice::ReadOnly));
        QCOMPARE(temporary.readAll(), image);

        const QStringList savedFiles = QDir(folder).exists() && downloads == u"normal"
            ? QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot)
            : QStringList();
        if (savedName.isEmpty()) {
            QVERIFY2(savedFiles.isEmpty(), qPrintable(savedFiles.join(u", ")));
            QVERIFY(h.revealer->revealed.isEmpty());
            return;
        }
        QCOMPARE(savedFiles, QStringList { savedName });
        // Nothing was written beside the Downloads folder.
        QCOMPARE(
            QDir(m_home->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList { u"Downloads"_s });
        QFile savedFile(QDir(folder).filePath(savedName));
        QVERIFY(savedFile.open(QIODevice::ReadOnly));
        QCOMPARE(savedFile.readAll(), image);
        const QStringList revealed = successAnswer == 0 ? QStringList { savedFile.fileName() } : QStringList();
        QCOMPARE(h.revealer->revealed, revealed);
    }

    void downloadTransportFailures_data()
    {
        QTest::addColumn<QUrl>("imageUrl"); // empty: the local server's image
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("informative");
        QTest::newRow("refused") << LocalHttpServer::refusingUrl(u"/image.dmg"_s) << int(Mode::complete)
                                 << u"Connection refused"_s;
        QTest::newRow("stalled") << QUrl() << int(Mode::silent) << u"The request timed out."_s;
        QTest::newRow("closed before the end") << QUrl() << int(Mode::truncated) << u"Connection closed"_s;
        QTest::newRow("file address") << QUrl(u"file:///etc/hostname"_s) << int(Mode::complete)
                                      << u"Unsupported URL: file:///etc/hostname is not an http or https address."_s;
    }

    void downloadTransportFailures()
    {
        QFETCH(QUrl, imageUrl);
        QFETCH(int, mode);
        QFETCH(QString, informative);
        m_server->setResponse(u"/image.dmg"_s, { 200, QByteArray(50000, 'p'), Mode(mode), {}, 50 });
        const QUrl url = imageUrl.isEmpty() ? m_server->url(u"/image.dmg"_s) : imageUrl;
        m_server->setResponse(
            u"/manifest.json"_s, { 200, manifestJson(u"1.3"_s, u"1"_s, url), Mode::complete, {}, 50 });
        const QStringList imagesBefore = QDir::temp().entryList(QDir::Files);
        Harness h(configuration(std::chrono::milliseconds(mode == int(Mode::silent) ? 400 : 5000)));
        h.presenter->answers = { 0 };

        QCoro::waitFor(h.manager.checkForUpdates());
        QTRY_COMPARE_WITH_TIMEOUT(h.presenter->shown.size(), 2, 30000);

        QCOMPARE(h.presenter->shown.at(1).alert.messageText, u"Update failed"_s);
        QCOMPARE(h.presenter->shown.at(1).alert.informativeText, informative);
        verifyIdleAtEveryAlert(h);
        QVERIFY(updaterLog().isEmpty());
        // A failed transfer leaves no partial file behind.
        QCOMPARE(QDir::temp().entryList(QDir::Files), imagesBefore);
    }

    void failedSaveKeepsTheExistingFile()
    {
        const QString folder = downloadsPath();
        QVERIFY(QDir().mkpath(folder));
        UpdateManifest manifest;
        manifest.version = u"1.3"_s;
        const QString target = QDir(folder).filePath(u"Sonorel-1.3-2025-01-31T09:30:00Z.dmg"_s);
        QFile existing(target);
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("earlier download");
        existing.close();
        UpdateManager manager(configuration());

        // A source that cannot be read fails half-way through the copy.
        const QString unreadable = m_home->filePath(u"folder.dmg"_s);
        QVERIFY(QDir().mkpath(unreadable));
        const UpdateResult<QString> failedSave = manager.saveToDownloads(unreadable, manifest);
        QVERIFY(!failedSave.ok());
        QVERIFY(failedSave.failure().updateError());
        QCOMPARE(failedSave.failure().updateError()->code(), UpdateError::Code::moveFailed);
        QVERIFY(!failedSave.failure().updateError()->reason().isEmpty());
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("earlier download"));
        existing.close();
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList { QFileInfo(target).fileName() });

        // A complete copy replaces it.
        const QString image = m_home->filePath(u"image.dmg"_s);
        QFile source(image);
        QVERIFY(source.open(QIODevice::WriteOnly));
        source.write("new image");
        source.close();
        const UpdateResult<QString> save = manager.saveToDownloads(image, manifest);
        QVERIFY(save.ok());
        QCOMPARE(save.value(), target);
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("new image"));
    }
};

QTEST_GUILESS_MAIN(UpdateManagerTest)
#include "UpdateManagerTest.moc"
