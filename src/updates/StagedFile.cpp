#include "updates/StagedFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// 64 random bits hardly ever collide; the bound only keeps a folder that answers oddly from holding us here.
constexpr int createAttempts = 16;

PlatformError systemError(int error)
{
    return PlatformError { QStringLiteral("File"), error, qt_error_string(error) };
}

} // namespace

StagedFile::StagedFile(QString directory, QString prefix, mode_t mode)
    : m_directory(std::move(directory)), m_prefix(std::move(prefix)), m_mode(mode)
{ }

StagedFile::~StagedFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_name.isEmpty() && !m_committed)
        ::unlinkat(m_directoryFd, m_name.constData(), 0);
    if (m_directoryFd >= 0)
        ::close(m_directoryFd);
}

std::optional<PlatformError> StagedFile::open()
{
    // Every name below is taken relative to the folder as opened here, so that the file and its rename stay
    // in the one folder even if its path comes to lead elsewhere.
    m_directoryFd = ::open(QFile::encodeName(m_directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_directoryFd < 0)
        return systemError(errno);
    for (int attempt = 0; attempt < createAttempts; ++attempt) {
        const QByteArray name
            = QFile::encodeName(m_prefix) + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        m_fd = ::openat(m_directoryFd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, m_mode);
        if (m_fd >= 0) {
            m_name = name;
            return std::nullopt;
        }
        if (errno != EEXIST)
            break;
    }
    return systemError(errno);
}

std::optional<PlatformError> StagedFile::write(QByteArrayView bytes)
{
    if (m_fd < 0)
        return systemError(EBADF);
    // A full disk first shows as a short write; only the next write says why.
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return systemError(n < 0 ? errno : EIO);
        data += n;
        left -= n;
    }
    return std::nullopt;
}

std::optional<PlatformError> StagedFile::commit(const QString &name, bool durable)
{
    if (m_fd < 0)
        return systemError(EBADF);
    if (durable && ::fsync(m_fd) != 0)
        return systemError(errno);
    // Some file systems report a failed write only when the file is closed.
    const int closed = ::close(m_fd);
    m_fd = -1;
    if (closed != 0 && errno != EINTR)
        return systemError(errno);
    const QByteArray finalName = QFile::encodeName(name);
    if (::renameat(m_directoryFd, m_name.constData(), m_directoryFd, finalName.constData()) != 0)
        return systemError(errno);
    m_name = finalName;
    m_committed = true;
    // The new entry outlives a crash only once the folder is on disk too; the file itself is complete already.
    if (durable)
        ::fsync(m_directoryFd);
    return std::nullopt;
}

QString StagedFile::path() const
{
    return QDir(m_directory).filePath(QFile::decodeName(m_name));
}
