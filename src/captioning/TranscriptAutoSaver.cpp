#include "captioning/TranscriptAutoSaver.h"

#include "base/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString reason(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return QCoreApplication::translate("TranscriptAutoSaver", "the disk is full");
    case EACCES:
    case EPERM:
    case EROFS:
        return QCoreApplication::translate("TranscriptAutoSaver", "the folder cannot be written to");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

} // namespace

QString TranscriptAutoSaver::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/Sonorel/Transcripts");
}

QString TranscriptAutoSaver::fileNameFor(const QString &folder, const QDateTime &sessionStart)
{
    return folder + u'/' + sessionStart.toString(QStringLiteral("yyyy-MM-dd HH.mm.ss")) + QStringLiteral(".txt");
}

QString TranscriptAutoSaver::line(const QDateTime &sessionStart, const TimedSentence &sentence)
{
    const QDateTime at = sessionStart.addMSecs(qint64(sentence.start * 1000.0));
    return QStringLiteral("[%1] %2").arg(at.toString(QStringLiteral("HH:mm:ss")), sentence.text.simplified());
}

TranscriptAutoSaver::TranscriptAutoSaver(QString fileName, FailureHandler onFailure)
    : m_fileName(std::move(fileName)), m_onFailure(std::move(onFailure))
{
    m_thread = std::thread([this] { run(); });
}

TranscriptAutoSaver::~TranscriptAutoSaver()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void TranscriptAutoSaver::append(const QString &line)
{
    if (m_failed.load())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(line.toUtf8() + '\n');
    }
    m_wake.notify_one();
}

// The whole line or an error: a short write is continued, and the line reaches the disk before the next.
bool TranscriptAutoSaver::write(int &fd, const QByteArray &bytes, QString *error)
{
    if (fd < 0) {
        const QFileInfo info(m_fileName);
        if (!QDir().mkpath(info.absolutePath())) {
            *error = reason(EACCES);
            return false;
        }
        fd = ::open(QFile::encodeName(m_fileName).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            *error = reason(errno);
            return false;
        }
    }
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = reason(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += n;
    }
    if (::fdatasync(fd) != 0 && errno != EINVAL) { // EINVAL: a file that cannot be synced, such as a pipe
        *error = reason(errno);
        return false;
    }
    return true;
}

void TranscriptAutoSaver::run()
{
    int fd = -1;
    for (;;) {
        QByteArray bytes;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                break;
            bytes = std::move(m_queue.front());
            m_queue.pop_front();
        }
        QString error;
        if (!write(fd, bytes, &error)) {
            m_failed.store(true);
            SLOG_ERROR(lcCaptions, "Transcript not kept %s", error);
            {
                std::lock_guard lock(m_mutex);
                m_queue.clear();
            }
            if (m_onFailure)
                m_onFailure(QCoreApplication::translate("TranscriptAutoSaver",
                    "Sonorel could not keep the transcript in “%1” because %2, so it stopped keeping it for this "
                    "session. Captions go on as before.")
                                .arg(QDir::toNativeSeparators(m_fileName), error));
            break;
        }
        m_written.fetch_add(1);
    }
    if (fd >= 0)
        ::close(fd);
}
