#include "captioning/TranscriptAutoSaver.h"

#include "base/BackgroundDisposal.h"
#include "base/Log.h"
#include "base/UserFolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Not an errno: something other than a regular file at the name.
constexpr int notARegularFile = -1;

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
    case notARegularFile:
    case ENXIO: // a FIFO that no program reads
        return QCoreApplication::translate("TranscriptAutoSaver", "it is not a regular file");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// A regular file opened for appending, or -1 with the reason in `error`. A FIFO or a device would block the
// open or every write, so the open never waits and anything but a regular file is refused.
int openRegularFile(const QString &fileName, int *error)
{
    const int fd = ::open(QFile::encodeName(fileName).constData(),
        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = notARegularFile;
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

struct TranscriptAutoSaver::State {
    explicit State(QString name, FailureHandler handler) : fileName(std::move(name)), onFailure(std::move(handler)) { }

    void run();
    bool write(int &fd, const QByteArray &bytes, QString *error);

    const QString fileName;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finishedChanged;
    std::deque<QByteArray> queue; // under mutex
    bool stopping = false; // under mutex
    bool finished = false; // under mutex
    FailureHandler onFailure; // under mutex, and called under it, so that release() takes effect at once
    std::atomic<std::uint64_t> written = 0;
    std::atomic<bool> failed = false;
};

void TranscriptAutoSaver::Disposer::operator()(TranscriptAutoSaver *saver) const
{
    saver->release();
    BackgroundDisposal::run([saver] { delete saver; });
}

TranscriptAutoSaver::Owner TranscriptAutoSaver::make(QString fileName, FailureHandler onFailure)
{
    return Owner(new TranscriptAutoSaver(std::move(fileName), std::move(onFailure)));
}

QString TranscriptAutoSaver::defaultFolder()
{
    const QString documents = UserFolders::documents();
    return documents.isEmpty() ? QString() : documents + QStringLiteral("/Sonorel/Transcripts");
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
    : m_fileName(fileName), m_state(std::make_shared<State>(std::move(fileName), std::move(onFailure)))
{
    m_thread = std::thread([state = m_state] { state->run(); });
}

TranscriptAutoSaver::~TranscriptAutoSaver()
{
    release();
    std::unique_lock lock(m_state->mutex);
    if (m_state->finishedChanged.wait_for(lock, shutdownBound, [this] { return m_state->finished; })) {
        lock.unlock();
        m_thread.join();
        return;
    }
    lock.unlock();
    m_thread.detach();
    SLOG_ERROR(lcCaptions, "Transcript file %s did not answer; left to its thread", m_fileName);
}

void TranscriptAutoSaver::release()
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
        m_state->onFailure = nullptr;
    }
    m_state->wake.notify_one();
}

void TranscriptAutoSaver::append(const QString &line)
{
    if (m_state->failed.load())
        return;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->queue.push_back(line.toUtf8() + '\n');
    }
    m_state->wake.notify_one();
}

std::uint64_t TranscriptAutoSaver::writtenLines() const
{
    return m_state->written.load();
}

bool TranscriptAutoSaver::hasFailed() const
{
    return m_state->failed.load();
}

// The whole line or an error: a short write is continued, and the line reaches the disk before the next.
bool TranscriptAutoSaver::State::write(int &fd, const QByteArray &bytes, QString *error)
{
    if (fd < 0) {
        const QFileInfo info(fileName);
        if (fileName.isEmpty() || !QDir().mkpath(info.absolutePath())) {
            *error = reason(EACCES);
            return false;
        }
        int openError = 0;
        fd = openRegularFile(fileName, &openError);
        if (fd < 0) {
            *error = reason(openError);
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
    if (::fdatasync(fd) != 0 && errno != EINVAL) {
        *error = reason(errno);
        return false;
    }
    return true;
}

void TranscriptAutoSaver::State::run()
{
    int fd = -1;
    for (;;) {
        QByteArray bytes;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty())
                break;
            bytes = std::move(queue.front());
            queue.pop_front();
        }
        QString error;
        if (!write(fd, bytes, &error)) {
            failed.store(true);
            SLOG_ERROR(lcCaptions, "Transcript not kept %s", error);
            std::lock_guard lock(mutex);
            queue.clear();
            if (onFailure)
                onFailure(QCoreApplication::translate("TranscriptAutoSaver",
                    "Sonorel could not keep the transcript in “%1” because %2, so it stopped keeping it for this "
                    "session. Captions go on as before.")
                              .arg(QDir::toNativeSeparators(fileName), error));
            break;
        }
        written.fetch_add(1);
    }
    if (fd >= 0)
        ::close(fd);
    std::lock_guard lock(mutex);
    finished = true;
    finishedChanged.notify_all();
}
