#pragma once

#include "base/PlatformError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <sys/types.h>

#include <optional>

// A new file in a folder, written under a fresh name and renamed to its final name only when complete. It is
// created exclusively and never through a link, and the rename replaces whatever entry held the final name,
// so a link planted there is replaced, not written through. Removed unless committed.
class StagedFile final
{
    Q_DISABLE_COPY_MOVE(StagedFile)

public:
    // Nothing is created before open(); `mode` is narrowed by the umask.
    StagedFile(QString directory, QString prefix, mode_t mode);
    ~StagedFile();

    // Creates the file as <prefix><random> in the folder.
    std::optional<PlatformError> open();
    // All of `bytes`, or the system's reason why not.
    std::optional<PlatformError> write(QByteArrayView bytes);
    // Closes the file, first forcing it to disk when `durable`, and renames it to `name` in the same folder.
    std::optional<PlatformError> commit(const QString &name, bool durable);

    // The file's path under its current name.
    QString path() const;

private:
    QString m_directory;
    QString m_prefix;
    mode_t m_mode;
    int m_directoryFd = -1;
    int m_fd = -1;
    QByteArray m_name; // empty until created
    bool m_committed = false;
};
