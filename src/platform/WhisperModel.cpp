#include "platform/WhisperModel.h"

#include "base/Log.h"
#include "updates/Sha256.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <ggml-backend.h>
#include <whisper.h>

#include <cstdlib>
#include <unistd.h>

namespace {

void logFromWhisper(ggml_log_level level, const char *text, void *)
{
    const QByteArray line = QByteArray(text).trimmed();
    if (line.isEmpty())
        return;
    if (level == GGML_LOG_LEVEL_ERROR)
        SLOG_ERROR(lcSpeech, "whisper.cpp: %s", line);
    else
        SLOG_DEBUG(lcSpeech, "whisper.cpp: %s", line);
}

QString unreadable(const QString &path, const QString &reason)
{
    return QCoreApplication::translate("WhisperModel", "The accurate speech model %1 could not be used: %2.")
        .arg(path, reason);
}

} // namespace

void WhisperModel::restartWithSleepingThreads(char **argv)
{
    if (std::getenv("OMP_WAIT_POLICY"))
        return; // already set, by the user or by the first start
    setenv("OMP_WAIT_POLICY", "passive", 1);
    execv("/proc/self/exe", argv);
    // Not restarted: captions still work, at a higher cost on a busy machine.
}

void WhisperModel::loadBackends()
{
    static std::once_flag once;
    std::call_once(once, [] {
        ggml_log_set(logFromWhisper, nullptr);
        whisper_log_set(logFromWhisper, nullptr);
        // An installed Sonorel has ggml's CPU variants under its prefix, found from where the program is; the
        // build's own folder is for running from the build tree.
        const QString programFolder = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
        const QString installed = programFolder.isEmpty()
            ? QString()
            : QDir::cleanPath(programFolder + QStringLiteral("/../" SONOREL_GGML_INSTALLED_DIR));
        const QString folder = !installed.isEmpty() && QFileInfo(installed).isDir()
            ? installed
            : QStringLiteral(SONOREL_GGML_BACKEND_DIR);
        SLOG_INFO(lcSpeech, "Speech back ends from %s", folder);
        ggml_backend_load_all_from_path(QFile::encodeName(folder).constData());
        for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
            ggml_backend_dev_t device = ggml_backend_dev_get(i);
            SLOG_INFO(lcSpeech, "Speech back end %s (%s)", ggml_backend_dev_name(device),
                ggml_backend_dev_description(device));
        }
    });
}

WhisperModel::WhisperModel(QString path, QByteArray sha256) : m_path(std::move(path)), m_sha256(std::move(sha256))
{
    m_loader = std::thread([this] { load(); });
}

WhisperModel::~WhisperModel()
{
    if (m_loader.joinable())
        m_loader.join();
    if (m_context)
        whisper_free(m_context);
}

void WhisperModel::load()
{
    QString error;
    whisper_context *context = nullptr;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = unreadable(m_path, file.errorString());
    } else if (!m_sha256.isEmpty()) {
        Sha256 hash;
        QByteArray chunk;
        while (!(chunk = file.read(4 << 20)).isEmpty())
            hash.addData(chunk);
        if (file.error() != QFileDevice::NoError)
            error = unreadable(m_path, file.errorString());
        else if (hash.result().toHex() != m_sha256.toLower())
            error
                = unreadable(m_path, QCoreApplication::translate("WhisperModel", "the file is damaged or incomplete"));
    }
    file.close();
    if (error.isEmpty()) {
        loadBackends();
        whisper_context_params params = whisper_context_default_params();
        params.use_gpu = false;
        context = whisper_init_from_file_with_params_no_state(QFile::encodeName(m_path).constData(), params);
        if (!context)
            error
                = unreadable(m_path, QCoreApplication::translate("WhisperModel", "it is not a model Sonorel can read"));
    }
    if (!error.isEmpty())
        SLOG_ERROR(lcSpeech, "Whisper model not loaded %s", error);
    else
        SLOG_INFO(lcSpeech, "Whisper model loaded %s", m_path);
    {
        std::lock_guard lock(m_mutex);
        m_context = context;
        m_loadError = error;
        m_state = context ? State::ready : State::failed;
    }
    m_changed.notify_all();
}

bool WhisperModel::isUsable() const
{
    std::lock_guard lock(m_mutex);
    return m_state != State::failed;
}

whisper_context *WhisperModel::waitForContext(const std::atomic<bool> &cancelled, QString *error)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_state != State::loading || cancelled.load(); });
    if (m_state == State::ready && !cancelled.load())
        return m_context;
    if (m_state == State::failed && error)
        *error = m_loadError;
    return nullptr;
}

void WhisperModel::wake()
{
    {
        std::lock_guard lock(m_mutex); // a waiter is either before its check or inside wait()
    }
    m_changed.notify_all();
}
