#include "base/SafeSave.h"

#include <QSaveFile>

#include <cerrno>
#include <unistd.h>

namespace SafeSave {

std::optional<Failure> write(const QString &fileName, const QByteArray &bytes)
{
    // Not committed, the file's temporary copy is removed when it goes out of scope.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return Failure { Failure::Stage::Open, file.errorString() };
    const auto failed = [](const QString &reason) { return Failure { Failure::Stage::Write, reason }; };
    if (file.write(bytes) != bytes.size() || !file.flush())
        return failed(file.errorString());
    // Where blocks are given out late (network file systems, delayed allocation), a full disk shows only here.
    while (::fsync(file.handle()) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EINVAL) // a file that cannot be synced; what was written is all there is to check
            break;
        return failed(qt_error_string(errno));
    }
    if (!file.commit())
        return failed(file.errorString());
    return std::nullopt;
}

} // namespace SafeSave
