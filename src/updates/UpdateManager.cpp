#include "updates/UpdateManager.h"

#include "base/BundleInfo.h"
#include "base/Log.h"
#include "base/UserFolders.h"
#include "updates/Sha256.h"
#include "updates/StagedFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <QUuid>

#include <qcoro/qcoronetworkreply.h>

#include <algorithm>

namespace {

constexpr qint64 manifestSizeLimit = 1024 * 1024;
constexpr qint64 fileChunkSize = 256 * 1024;
constexpr qint64 downloadReadBuffer = 4 * 1024 * 1024;

const QString networkDomain = QStringLiteral("Network");
const QString fileDomain = QStringLiteral("File");

// Keeps nothing: the session is ephemeral, so no cookie outlives a request.
class NoCookieJar final : public QNetworkCookieJar
{
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl &) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) override { return false; }
};

// An optional sign and decimal digits only: no white space, no overflow.
std::optional<qint64> parseInt64(QStringView text)
{
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    if (!decimal.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Text order in which runs of digits compare by their numeric value (leading zeros ignored) and every
// other character by its code, case-sensitively and without a locale.
int compareNumericText(QStringView a, QStringView b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (isAsciiDigit(a[i]) && isAsciiDigit(b[j])) {
            qsizetype ie = i;
            qsizetype je = j;
            while (ie < a.size() && isAsciiDigit(a[ie]))
                ++ie;
            while (je < b.size() && isAsciiDigit(b[je]))
                ++je;
            QStringView ra = a.sliced(i, ie - i);
            QStringView rb = b.sliced(j, je - j);
            while (ra.size() > 1 && ra.front() == u'0')
                ra = ra.sliced(1);
            while (rb.size() > 1 && rb.front() == u'0')
                rb = rb.sliced(1);
            if (ra.size() != rb.size())
                return ra.size() < rb.size() ? -1 : 1;
            if (const int c = ra.compare(rb, Qt::CaseSensitive); c != 0)
                return c < 0 ? -1 : 1;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j] ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return 0;
}

QList<qint64> versionNumbers(const QString &version)
{
    QList<qint64> numbers;
    for (const QStringView piece : QStringView(version).split(u'.', Qt::SkipEmptyParts)) {
        if (const auto n = parseInt64(piece))
            numbers.append(*n);
    }
    return numbers;
}

PlatformError fileError(const QFileDevice &file)
{
    return PlatformError { fileDomain, int(file.error()), file.errorString() };
}

QString defaultDownloadsDirectory()
{
    // Empty where the environment names no sound folder: the download then fails with its own error.
    return UserFolders::downloads();
}

// The images' names are made of parts that come from the network: they must name a visible file inside
// its folder, one that reads as it is stored (no control characters, no bidirectional overrides) and is
// not taken for an option.
QString safeFileName(QString name)
{
    for (QChar &c : name) {
        const char16_t u = c.unicode();
        if (u == u'/' || u == u'\\' || c.category() == QChar::Other_Control || u == 0x200E || u == 0x200F
            || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069))
            c = u'-';
    }
    qsizetype start = 0;
    while (start < name.size() && (name[start] == u'.' || name[start] == u'-'))
        ++start;
    return name.mid(start);
}

} // namespace

// What came back from a GET: the HTTP status when the server answered, or why the transfer failed.
struct UpdateManager::Transfer {
    std::optional<int> status;
    std::optional<PlatformError> transportError;
    std::optional<PlatformError> sinkError;
};

UpdateManager::UpdateManager(QObject *parent) : UpdateManager(Configuration(), parent)
{ }

UpdateManager::UpdateManager(Configuration configuration, QObject *parent)
    : QObject(parent), m_configuration(std::move(configuration)), m_network(new QNetworkAccessManager(this))
{
    if (!m_configuration.downloadsDirectory)
        m_configuration.downloadsDirectory = defaultDownloadsDirectory;
    if (!m_configuration.now)
        m_configuration.now = [] { return QDateTime::currentDateTimeUtc(); };
    m_network->setCache(nullptr);
    m_network->setCookieJar(new NoCookieJar(m_network));
    m_network->setStrictTransportSecurityEnabled(false);
    m_network->setTransferTimeout(int(m_configuration.transferTimeout.count()));
}

UpdateManager::~UpdateManager() = default;

UpdateManager &UpdateManager::shared()
{
    // Never destroyed: alerts and downloads may still refer to it while the application quits.
    static UpdateManager *const instance = new UpdateManager();
    return *instance;
}

void UpdateManager::setAlertPresenter(std::shared_ptr<UpdateAlertPresenter> presenter)
{
    m_presenter = std::move(presenter);
}

void UpdateManager::setFileRevealer(std::shared_ptr<FileRevealer> revealer)
{
    m_revealer = std::move(revealer);
}

void UpdateManager::setBusy(const QString &message)
{
    isBusy = true;
    statusMessage = message;
}

void UpdateManager::setIdle()
{
    isBusy = false;
    statusMessage = std::nullopt;
}

QCoro::Task<> UpdateManager::checkForUpdates()
{
    return checkForUpdates(true);
}

QCoro::Task<> UpdateManager::checkForUpdates(bool userInitiated)
{
    QPointer<UpdateManager> self(this);
    setBusy(tr("Checking for updates\u2026"));
    const UpdateResult<UpdateManifest> result = co_await fetchManifest();
    if (!self)
        co_return;
    setIdle();
    if (!result.ok()) {
        if (userInitiated)
            presentUpdateFailure(result.failure());
        co_return;
    }
    if (isUpdateAvailable(result.value()))
        presentUpdateAvailable(result.value());
    else if (userInitiated)
        presentUpToDate();
}

void UpdateManager::checkForUpdatesInBackground()
{
    QMetaObject::invokeMethod(
        this, [this] { checkForUpdates(); }, Qt::QueuedConnection);
}

QCoro::Task<UpdateManager::Transfer> UpdateManager::get(QUrl url, ChunkSink sink, qint64 readBufferSize)
{
    Transfer transfer;
    // Only web addresses are fetched: a file: or relative address from the network must not read local files.
    const QString scheme = url.scheme().toLower();
    if (url.isRelative() || (scheme != u"http" && scheme != u"https") || url.host().isEmpty()) {
        transfer.transportError = PlatformError { networkDomain, -1002,
            QStringLiteral("Unsupported URL: %1 is not an http or https address.").arg(url.toDisplayString()) };
        co_return transfer;
    }

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setTransferTimeout(int(m_configuration.transferTimeout.count()));

    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        m_network->get(request), [](QNetworkReply *r) { r->deleteLater(); });
    reply->setReadBufferSize(readBufferSize);

    // The connections below die with this frame's context object, before the frame's locals do.
    bool overallExpired = false;
    {
        QObject context;
        QTimer overall;
        overall.setSingleShot(true);
        QObject::connect(&overall, &QTimer::timeout, &context, [&] {
            overallExpired = true;
            reply->abort();
        });
        const auto drain = [&] {
            while (!transfer.sinkError && reply->bytesAvailable() > 0) {
                const QByteArray chunk = reply->read(256 * 1024);
                if (chunk.isEmpty())
                    break;
                if (auto error = sink(chunk)) {
                    transfer.sinkError = std::move(error);
                    reply->abort();
                }
            }
        };
        QObject::connect(reply.get(), &QNetworkReply::readyRead, &context, drain);
        overall.start(m_configuration.overallTimeout);
        co_await qCoro(reply.get()).waitForFinished();
        if (reply->error() == QNetworkReply::NoError)
            drain();
    }

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        transfer.status = status.toInt();

    const QNetworkReply::NetworkError error = reply->error();
    // Errors that only restate the HTTP status are not transport failures: the server did answer.
    const bool statusOnly = (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || error == QNetworkReply::ProtocolInvalidOperationError
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
    if (transfer.sinkError) {
        // Aborted on purpose: the sink says why.
    } else if (overallExpired || error == QNetworkReply::TimeoutError
        || (error == QNetworkReply::OperationCanceledError)) {
        // Nothing here cancels a request but the two time-outs.
        transfer.transportError = PlatformError { networkDomain, -1001, QStringLiteral("The request timed out.") };
    } else if (error != QNetworkReply::NoError && !(statusOnly && transfer.status)) {
        transfer.transportError = PlatformError { networkDomain, int(error), reply->errorString() };
    }
    co_return transfer;
}

QCoro::Task<UpdateResult<UpdateManifest>> UpdateManager::fetchManifest()
{
    QByteArray body;
    bool tooLarge = false;
    const auto sink = [&](QByteArrayView chunk) -> std::optional<PlatformError> {
        if (body.size() + chunk.size() > manifestSizeLimit) {
            tooLarge = true;
            return PlatformError { networkDomain, -1103,
                QStringLiteral("The update server's answer is larger than 1 MiB.") };
        }
        body.append(chunk);
        return std::nullopt;
    };
    const Transfer transfer = co_await get(m_configuration.manifestUrl, sink, manifestSizeLimit);
    if (transfer.transportError)
        co_return *transfer.transportError;
    if (!transfer.status)
        co_return UpdateError(UpdateError::Code::invalidResponse);
    if (*transfer.status != 200)
        co_return UpdateError(UpdateError::Code::invalidStatusCode);
    if (tooLarge || transfer.sinkError)
        co_return *transfer.sinkError;
    auto decoded = UpdateManifest::decode(body);
    if (auto *error = std::get_if<ManifestDecodeError>(&decoded))
        co_return UpdateFailure(std::move(*error));
    co_return std::get<UpdateManifest>(std::move(decoded));
}

bool UpdateManager::isUpdateAvailable(const UpdateManifest &manifest)
{
    const auto runningVersion = BundleInfo::string(BundleInfo::shortVersionKey);
    if (!runningVersion)
        return true;
    if (compareVersions(manifest.version, *runningVersion) == 1)
        return true;
    const auto runningBuild = BundleInfo::string(BundleInfo::versionKey);
    if (!runningBuild)
        return true;
    const auto newBuild = parseInt64(manifest.build);
    const auto oldBuild = parseInt64(*runningBuild);
    if (newBuild && oldBuild)
        return *newBuild > *oldBuild;
    return compareNumericText(manifest.build, *runningBuild) > 0;
}

int UpdateManager::compareVersions(const QString &a, const QString &b)
{
    const QList<qint64> left = versionNumbers(a);
    const QList<qint64> right = versionNumbers(b);
    const qsizetype n = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < n; ++i) {
        const qint64 x = left.value(i, 0);
        const qint64 y = right.value(i, 0);
        if (x != y)
            return x > y ? 1 : -1;
    }
    return 0;
}

int UpdateManager::runAlert(const UpdateAlert &alert)
{
    if (!m_presenter) {
        SLOG_ERROR(lcUpdater, "No alert presenter for \"%{public}s\"", alert.messageText);
        return -1;
    }
    return m_presenter->runModal(alert);
}

void UpdateManager::presentUpToDate()
{
    runAlert({ UpdateAlert::Style::informational, tr("You are up to date"), QString(), { tr("OK") } });
}

void UpdateManager::presentUpdateAvailable(const UpdateManifest &manifest)
{
    const QString text = QStringLiteral("Version ") + manifest.version
        + QStringLiteral(" is available. You are running ") + BundleInfo::stringOrDash(BundleInfo::shortVersionKey)
        + QStringLiteral(".");
    const int answer = runAlert({ UpdateAlert::Style::informational, tr("A new version is available"), text,
        { tr("Install Update"), tr("Later") } });
    if (answer != 0)
        return;
    // A task of its own, started after the alert has gone, like any other main-thread task.
    QMetaObject::invokeMethod(
        this, [this, manifest] { downloadAndInstall(manifest); }, Qt::QueuedConnection);
}

void UpdateManager::presentUpdateFailure(const UpdateFailure &failure)
{
    runAlert({ UpdateAlert::Style::critical, tr("Update failed"), failure.description(), { tr("OK") } });
}

QCoro::Task<> UpdateManager::downloadAndInstall(UpdateManifest manifest)
{
    QPointer<UpdateManager> self(this);
    setBusy(tr("Downloading update\u2026"));
    const UpdateResult<QString> downloaded = co_await downloadPayload(manifest.download.url);
    if (!self) {
        if (downloaded.ok())
            QFile::remove(downloaded.value());
        co_return;
    }
    if (!downloaded.ok()) {
        setIdle();
        presentUpdateFailure(downloaded.failure());
        co_return;
    }
    // The temporary image is of no further use once saved or rejected, and may be large.
    const auto discardImage = [&downloaded] { QFile::remove(downloaded.value()); };
    if (const UpdateStatus verified = verifyChecksum(downloaded.value(), manifest)) {
        discardImage();
        setIdle();
        presentUpdateFailure(*verified);
        co_return;
    }
    setBusy(tr("Preparing update\u2026"));
    const UpdateResult<QString> saved = saveToDownloads(downloaded.value(), manifest);
    discardImage();
    setIdle();
    if (!saved.ok()) {
        presentUpdateFailure(saved.failure());
        co_return;
    }
    presentUpdateDownloaded(saved.value(), manifest);
}

QCoro::Task<UpdateResult<QString>> UpdateManager::downloadPayload(QUrl url)
{
    // The body goes to disk as it arrives, so an image of any size never sits in memory. The file goes with
    // this frame on any failure.
    StagedFile file(QDir::tempPath(), QStringLiteral("sonorel-download-"), 0600);
    if (auto error = file.open())
        co_return *error;
    const auto sink = [&file](QByteArrayView chunk) { return file.write(chunk); };
    const Transfer transfer = co_await get(url, sink, downloadReadBuffer);
    if (transfer.transportError)
        co_return *transfer.transportError;
    if (transfer.sinkError)
        co_return *transfer.sinkError;
    if (!transfer.status)
        co_return UpdateError(UpdateError::Code::invalidResponse);
    // The status decides nothing: a wrong body is rejected by the checksum.
    SLOG_INFO(lcUpdater, "Download status: %d", *transfer.status);

    const QString name = safeFileName(QUuid::createUuid().toString(QUuid::WithoutBraces) + imageExtension(url));
    if (auto error = file.commit(name, false))
        co_return *error;
    const QString imagePath = file.path();

    const QFileInfo info(imagePath);
    if (info.exists())
        SLOG_INFO(lcUpdater, "Saved DMG bytes: %{public}@", QString::number(info.size()));
    co_return imagePath;
}

UpdateStatus UpdateManager::verifyChecksum(const QString &imagePath, const UpdateManifest &manifest)
{
    if (!manifest.download.sha256 || manifest.download.sha256->isEmpty())
        return std::nullopt;
    QFile image(imagePath);
    if (!image.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return UpdateFailure(fileError(image));
    // Read and hashed in chunks: the digest is the same as over the whole file at once.
    Sha256 hasher;
    QByteArray buffer(fileChunkSize, Qt::Uninitialized);
    quint64 total = 0;
    for (;;) {
        const qint64 n = image.read(buffer.data(), buffer.size());
        if (n < 0)
            return UpdateFailure(fileError(image));
        if (n == 0)
            break;
        hasher.addData(QByteArrayView(buffer.constData(), n));
        total += quint64(n);
    }
    SLOG_INFO(lcUpdater, "Downloaded bytes: %lu", total);
    const QString digest = QString::fromLatin1(hasher.result().toHex());
    if (digest != manifest.download.sha256->toLower())
        return UpdateFailure(UpdateError(UpdateError::Code::checksumMismatch));
    return std::nullopt;
}

QString UpdateManager::imageExtension(const QUrl &url)
{
    const QString name = url.fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0) // no dot, or only the one of a hidden name such as ".deb"
        return QString();
    // The digits after the last dot of "sonorel-1.3" are a version, not a kind of file.
    const QString extension = name.mid(dot);
    if (std::none_of(extension.begin(), extension.end(), [](QChar c) { return c.isLetter(); }))
        return QString();
    // A compressed archive is known by both parts: ".tar.xz".
    const qsizetype inner = name.lastIndexOf(u'.', dot - 1);
    if (inner > 0 && QStringView(name).sliced(inner, dot - inner).compare(u".tar", Qt::CaseInsensitive) == 0)
        return name.mid(inner);
    return extension;
}

QString UpdateManager::savedFileName(const UpdateManifest &manifest, const QDateTime &now)
{
    QString base = manifest.bundleName.isEmpty() ? QStringLiteral("Sonorel") : manifest.bundleName;
    base.replace(u' ', u'-');
    const QString stamp = now.toUTC().toString(Qt::ISODate);
    return safeFileName(base + u'-' + manifest.version + u'-' + stamp + imageExtension(manifest.download.url));
}

UpdateResult<QString> UpdateManager::saveToDownloads(const QString &imagePath, const UpdateManifest &manifest)
{
    const QString downloads = m_configuration.downloadsDirectory();
    if (downloads.isEmpty() || !QDir().mkpath(downloads))
        return UpdateError(UpdateError::Code::downloadsDirectoryUnavailable);
    const QString name = savedFileName(manifest, m_configuration.now());

    // Written under a fresh name in the Downloads folder and renamed over the target only when complete: a
    // failed save never costs the file that was there, and a link planted at the target's name is replaced
    // rather than followed out of the folder.
    QFile source(imagePath);
    if (!source.open(QIODevice::ReadOnly))
        return UpdateError::moveFailed(source.errorString());
    StagedFile copy(downloads, QStringLiteral("sonorel-save-"), 0666);
    if (auto error = copy.open())
        return UpdateError::moveFailed(error->message());
    QByteArray buffer(fileChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = source.read(buffer.data(), buffer.size());
        if (n < 0)
            return UpdateError::moveFailed(source.errorString());
        if (n == 0)
            break;
        if (auto error = copy.write(QByteArrayView(buffer.constData(), n)))
            return UpdateError::moveFailed(error->message());
    }
    if (auto error = copy.commit(name, true))
        return UpdateError::moveFailed(error->message());
    return copy.path();
}

void UpdateManager::presentUpdateDownloaded(const QString &savedPath, const UpdateManifest &manifest)
{
    const QFileInfo info(savedPath);
    const qint64 size = info.exists() ? info.size() : 0;
    QString text = QStringLiteral("Version ") + manifest.version
        + QStringLiteral(" was saved to your Downloads folder as ") + info.fileName() + QStringLiteral(".");
    if (size >= 1)
        text += QStringLiteral(" (") + QLocale().formattedDataSize(size, 1, QLocale::DataSizeSIFormat) + u')';
    const int answer = runAlert(
        { UpdateAlert::Style::informational, tr("Update downloaded"), text, { tr("Show in Folder"), tr("OK") } });
    if (answer != 0)
        return;
    if (m_revealer)
        m_revealer->reveal(savedPath);
    else
        SLOG_ERROR(lcUpdater, "No file manager to reveal %{public}s", savedPath);
}
