#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Replaces a file with new contents, whole or not at all. QSaveFile alone is not enough on Qt 6.4: its commit()
// reports success when flushing the last buffered bytes fails (a full disk) and ignores a failed sync, and
// the old file is then replaced by an empty or cut one. Here every byte is flushed and synced, and each step
// checked, before the new file takes the old one's place; on failure the old file stays as it was.
namespace SafeSave {

struct Failure {
    enum class Stage {
        Open, // nothing could be written there: the folder is missing or may not be written in
        Write, // writing, syncing or replacing failed (a full disk, an I/O error)
    };
    Stage stage;
    QString reason; // the system's words
};

// Nothing on success. A link at `fileName` is written through, as QSaveFile does.
std::optional<Failure> write(const QString &fileName, const QByteArray &bytes);

} // namespace SafeSave
