#include "platform/PocketSphinxModel.h"

#include "base/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

thread_local PocketSphinxDiagnostics::Capture *t_capture = nullptr;

// The library keeps one process-wide log file: building a decoder replaces it (-logfn) while another
// decoder being built may be writing its configuration to it. Decoders are built and freed one at a time.
std::mutex &decoderLifecycleMutex()
{
    static std::mutex mutex;
    return mutex;
}

void sphinxDiagnostic(void *, err_lvl_t level, const char *format, ...)
{
    const bool isError = level == ERR_ERROR || level == ERR_FATAL;
    if (!isError && !lcSpeech().isDebugEnabled())
        return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const QString line = QString::fromUtf8(text).trimmed();
    if (line.isEmpty())
        return;
    if (isError && t_capture)
        t_capture->errors.append(line);
    else if (isError)
        SLOG_ERROR(lcSpeech, "Speech engine error %s", line);
    else
        SLOG_DEBUG(lcSpeech, "Speech engine %s", line);
}

} // namespace

void PocketSphinxDiagnostics::install()
{
    static std::once_flag once;
    std::call_once(once, [] { err_set_callback(sphinxDiagnostic, nullptr); });
}

PocketSphinxDiagnostics::Capture::Capture() : m_previous(t_capture)
{
    t_capture = this;
}

PocketSphinxDiagnostics::Capture::~Capture()
{
    t_capture = m_previous;
}

QString PocketSphinxModelFiles::localeIdentifierForFolderName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^([A-Za-z]{2,3})[-_]([A-Za-z]{2}|[0-9]{3})$"));
    const auto match = pattern.match(name);
    if (!match.hasMatch())
        return {};
    return match.captured(1).toLower() + QLatin1Char('-') + match.captured(2).toUpper();
}

std::optional<PocketSphinxModelFiles> PocketSphinxModelFiles::inspect(const QString &folder)
{
    const QDir dir(folder);
    if (!dir.exists())
        return std::nullopt;
    PocketSphinxModelFiles files;
    files.folder = dir.absolutePath();
    files.localeIdentifier = localeIdentifierForFolderName(dir.dirName());
    if (files.localeIdentifier.isEmpty())
        return std::nullopt;

    for (const QString &sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (QFileInfo::exists(dir.filePath(sub + QStringLiteral("/mdef")))) {
            files.acousticModel = dir.filePath(sub);
            break;
        }
    }
    // Debian's folder also carries a phone-loop model ("en-us-phone.lm.bin"); the word model is the one
    // named after the folder, otherwise any that is not a phone model.
    const auto pick = [&dir](const QStringList &patterns) {
        const QStringList names = dir.entryList(patterns, QDir::Files | QDir::Readable, QDir::Name);
        for (const QString &n : names) {
            if (n.startsWith(dir.dirName() + QLatin1Char('.')))
                return dir.filePath(n);
        }
        for (const QString &n : names) {
            if (!n.contains(QLatin1String("phone")))
                return dir.filePath(n);
        }
        return QString();
    };
    files.languageModel = pick({ QStringLiteral("*.lm.bin") });
    if (files.languageModel.isEmpty())
        files.languageModel = pick({ QStringLiteral("*.lm"), QStringLiteral("*.lm.dmp"), QStringLiteral("*.lm.DMP") });
    files.dictionary = pick({ QStringLiteral("*.dict") });
    if (files.acousticModel.isEmpty() || files.languageModel.isEmpty() || files.dictionary.isEmpty())
        return std::nullopt;
    return files;
}

// A bounded search (maxhmmpf, no flat or best-path pass) keeps the decoder well inside real time on one
// core. Tried on the tuning half of bench_robustness's recordings: wider beams, a best-path pass, other
// language weights, insertion penalties and silence-detector thresholds made no difference beyond the
// noise of the measurement (a language weight of 5 or 10 made it worse). An utterance ends after 0.3 s of
// pause, so that sentences end where speakers pause; joining what does not read complete is the
// transcript's job.
QStringList PocketSphinxModel::decoderArguments(const PocketSphinxModelFiles &files, const QStringList &settings)
{
    QStringList arguments { QStringLiteral("-hmm"), files.acousticModel, QStringLiteral("-lm"), files.languageModel,
        QStringLiteral("-dict"), files.dictionary, QStringLiteral("-maxhmmpf"), QStringLiteral("3000"),
        QStringLiteral("-fwdflat"), QStringLiteral("no"), QStringLiteral("-bestpath"), QStringLiteral("no"),
        QStringLiteral("-vad_postspeech"), QStringLiteral("30"), QStringLiteral("-logfn"),
        QStringLiteral("/dev/null") };
    for (qsizetype i = 0; i + 1 < settings.size(); i += 2) {
        const qsizetype at = arguments.indexOf(settings[i]);
        if (at >= 0 && at % 2 == 0)
            arguments[at + 1] = settings[i + 1];
        else
            arguments << settings[i] << settings[i + 1];
    }
    return arguments;
}

PocketSphinxModel::PocketSphinxModel(PocketSphinxModelFiles files, QStringList settings)
    : m_files(std::move(files)), m_settings(std::move(settings))
{
    PocketSphinxDiagnostics::install();
    SLOG_DEBUG(lcSpeech, "Loading speech model %s", m_files.folder);
    m_loader = std::thread([this] { load(); });
}

PocketSphinxModel::~PocketSphinxModel()
{
    if (m_loader.joinable())
        m_loader.join();
    if (m_decoder) {
        std::lock_guard lifecycle(decoderLifecycleMutex());
        ps_free(m_decoder);
    }
}

void PocketSphinxModel::load()
{
    PocketSphinxDiagnostics::Capture capture;

    const QStringList arguments = decoderArguments(m_files, m_settings);
    std::vector<QByteArray> utf8;
    for (const QString &a : arguments)
        utf8.push_back(a.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &a : utf8)
        argv.push_back(a.data());
    std::unique_lock lifecycle(decoderLifecycleMutex());
    cmd_ln_t *config = cmd_ln_parse_r(nullptr, ps_args(), int32(argv.size()), argv.data(), TRUE);
    ps_decoder_t *decoder = config ? ps_init(config) : nullptr;
    if (config)
        cmd_ln_free_r(config); // the decoder keeps its own reference
    lifecycle.unlock();

    std::lock_guard lock(m_mutex);
    if (decoder) {
        m_decoder = decoder;
        m_state = State::ready;
        SLOG_DEBUG(lcSpeech, "Speech model loaded %s", m_files.localeIdentifier);
    } else {
        m_state = State::failed;
        m_loadError = capture.errors.isEmpty()
            ? QStringLiteral("The speech model for %1 could not be loaded").arg(m_files.localeIdentifier)
            : capture.errors.join(QLatin1Char(' '));
        SLOG_ERROR(lcSpeech, "Speech model failed to load %s", m_loadError);
    }
    m_changed.notify_all();
}

bool PocketSphinxModel::isUsable() const
{
    std::lock_guard lock(m_mutex);
    return m_state != State::failed;
}

ps_decoder_s *PocketSphinxModel::acquireDecoder(const std::atomic<bool> &cancelled, QString *error)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(
        lock, [&] { return cancelled.load() || m_state == State::failed || (m_state == State::ready && !m_lent); });
    if (cancelled.load())
        return nullptr;
    if (m_state == State::failed) {
        if (error)
            *error = m_loadError;
        return nullptr;
    }
    m_lent = true;
    return m_decoder;
}

void PocketSphinxModel::releaseDecoder()
{
    {
        std::lock_guard lock(m_mutex);
        m_lent = false;
    }
    m_changed.notify_all();
}

void PocketSphinxModel::wake()
{
    {
        std::lock_guard lock(m_mutex);
    }
    m_changed.notify_all();
}
