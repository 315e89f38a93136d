#pragma once

#include "base/ObjectWillChange.h"
#include "base/Published.h"
#include "updates/FileRevealer.h"
#include "updates/UpdateAlertPresenter.h"
#include "updates/UpdateFailure.h"
#include "updates/UpdateManifest.h"

#include <QDateTime>
#include <QObject>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

// The application's one object for updates: on request it fetches the manifest, decides whether the
// release is newer than the running build, and reports by modal alerts; "Install Update" downloads the
// disk image, verifies it and saves it to the Downloads folder. Lives on the main thread; never checks
// on its own.
class UpdateManager final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateManager)

public:
    // The update server's manifest. Only tests construct a manager with another address.
    static inline const QUrl defaultManifestUrl = QUrl(QStringLiteral("https://updates.sonorel.app/manifest.json"));

    // What a manager is built with. The defaults are the application's; tests shorten the time-outs and
    // point the manager at their own server, Downloads folder and clock.
    struct Configuration {
        QUrl manifestUrl = defaultManifestUrl;
        // No byte may take longer than this to arrive...
        std::chrono::milliseconds transferTimeout { std::chrono::seconds(30) };
        // ...and no request may take longer than this altogether.
        std::chrono::milliseconds overallTimeout { std::chrono::seconds(60) };
        // The Downloads folder; empty when there is none.
        std::function<QString()> downloadsDirectory;
        std::function<QDateTime()> now;
    };

    explicit UpdateManager(QObject *parent = nullptr);
    explicit UpdateManager(Configuration configuration, QObject *parent = nullptr);
    ~UpdateManager() override;

    // Created on first use, on the main thread, and kept for the life of the process.
    static UpdateManager &shared();

    ObjectWillChange objectWillChange;
    // True while a check or a download is between its start and its end.
    Published<bool> isBusy { false, &objectWillChange };
    // Progress text of the running operation; absent when idle.
    Published<std::optional<QString>> statusMessage { std::nullopt, &objectWillChange };

    // The application's alerts and file manager. Without a presenter, alerts are logged and count as
    // dismissed.
    void setAlertPresenter(std::shared_ptr<UpdateAlertPresenter> presenter);
    void setFileRevealer(std::shared_ptr<FileRevealer> revealer);

    const QUrl &manifestUrl() const { return m_configuration.manifestUrl; }

    // The menu's check: reports every outcome by an alert and never fails to its caller.
    QCoro::Task<> checkForUpdates();
    // Without userInitiated only a newer release is reported.
    QCoro::Task<> checkForUpdates(bool userInitiated);
    // Starts checkForUpdates() on a later turn of the event loop and returns at once.
    void checkForUpdatesInBackground();

    QCoro::Task<UpdateResult<UpdateManifest>> fetchManifest();
    static bool isUpdateAvailable(const UpdateManifest &manifest);
    // -1, 0 or 1 as a is before, equal to or after b; dotted decimal pieces, unparsable pieces dropped.
    static int compareVersions(const QString &a, const QString &b);

    void presentUpToDate();
    void presentUpdateAvailable(const UpdateManifest &manifest);
    void presentUpdateFailure(const UpdateFailure &failure);

    // Download, verify and save; reports success and failure by alerts.
    QCoro::Task<> downloadAndInstall(UpdateManifest manifest);
    // The downloaded image in the temporary directory, named <uuid> and the download address's extension; the
    // caller removes it.
    QCoro::Task<UpdateResult<QString>> downloadPayload(QUrl url);
    UpdateStatus verifyChecksum(const QString &imagePath, const UpdateManifest &manifest);
    UpdateResult<QString> saveToDownloads(const QString &imagePath, const UpdateManifest &manifest);
    void presentUpdateDownloaded(const QString &savedPath, const UpdateManifest &manifest);

    // The saved image's file name: base-version-timestamp and the download address's extension, safe to put
    // in a folder.
    static QString savedFileName(const UpdateManifest &manifest, const QDateTime &now);
    // The extension of the file name in a download address (".deb", ".AppImage", ".tar.xz"); empty when it
    // has none.
    static QString imageExtension(const QUrl &url);

private:
    struct Transfer;
    using ChunkSink = std::function<std::optional<PlatformError>(QByteArrayView)>;

    QCoro::Task<Transfer> get(QUrl url, ChunkSink sink, qint64 readBufferSize);
    int runAlert(const UpdateAlert &alert);
    void setIdle();
    void setBusy(const QString &message);

    Configuration m_configuration;
    QNetworkAccessManager *m_network;
    std::shared_ptr<UpdateAlertPresenter> m_presenter;
    std::shared_ptr<FileRevealer> m_revealer;
};
