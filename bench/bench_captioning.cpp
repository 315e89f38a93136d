// Live captioning through the real sound server: end-to-end latency, memory over a long stream and
// processor use idle and while captioning. Starts a private PulseAudio daemon of its own (the test
// script), plays LibriVox recordings into its null sink and captions its monitor with the controller.
//
//   build/release/bench/bench_captioning latency        word-end to caption, speech-end to final text
//   build/release/bench/bench_captioning soak [seconds] memory and processor use while captioning (600 s)
//   build/release/bench/bench_captioning idle [seconds] processor use and wake-ups while not captioning
// SONOREL_BENCH_ENGINE=light measures PocketSphinx instead of Whisper (accurate, the default).
#include "captioning/AudioCaptureService.h"
#include "captioning/CaptionViewModel.h"
#include "platform/DesktopServices.h"
#include "platform/WhisperModel.h"
#include "settings/AppSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <pocketsphinx.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

const QString librivox = QStringLiteral("/usr/share/pocketsphinx/test/data/librivox");
const QString model = QStringLiteral("/usr/share/pocketsphinx/model/en-us");
const QStringList ids { QStringLiteral("0870"), QStringLiteral("0880"), QStringLiteral("0890"), QStringLiteral("0920"),
    QStringLiteral("0930") };
constexpr float onsetLevel = 0.02f;

QString wavPath(const QString &id)
{
    return librivox + QStringLiteral("/sense_and_sensibility_01_austen_64kb-%1.wav").arg(id);
}

double secondsSince(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename F> bool waitFor(F condition, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        wait(10);
    }
    return true;
}

// 16-bit mono samples of a WAV file, as floats.
std::vector<float> readWav(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const qsizetype data = bytes.indexOf("data");
    if (data < 0)
        return {};
    std::vector<float> out;
    for (qsizetype i = data + 8; i + 1 < bytes.size(); i += 2)
        out.push_back(float(std::int16_t(quint8(bytes[i]) | (quint8(bytes[i + 1]) << 8))) / 32768.0f);
    return out;
}

double onsetSeconds(const std::vector<float> &samples)
{
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) > onsetLevel)
            return double(i) / 16000.0;
    }
    return 0.0;
}

QStringList words(const QString &text)
{
    return text.toLower().split(QRegularExpression(QStringLiteral("[^a-z']+")), Qt::SkipEmptyParts);
}

struct TimedWord {
    QString word;
    double end; // seconds into the file
};

// Word end times of a recording from Debian's model in batch mode: where each word ends in the audio.
std::vector<TimedWord> alignWords(ps_decoder_t *decoder, const std::vector<float> &samples)
{
    std::vector<std::int16_t> pcm(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        pcm[i] = std::int16_t(std::lround(samples[i] * 32767.0f));
    ps_start_utt(decoder);
    ps_process_raw(decoder, pcm.data(), pcm.size(), FALSE, TRUE);
    ps_end_utt(decoder);
    std::vector<TimedWord> out;
    for (ps_seg_t *seg = ps_seg_iter(decoder); seg; seg = ps_seg_next(seg)) {
        QString word = QString::fromUtf8(ps_seg_word(seg));
        word = word.section(QLatin1Char('('), 0, 0); // alternative pronunciations: "the(2)"
        if (word.startsWith(QLatin1Char('<')) || word.startsWith(QLatin1Char('[')))
            continue;
        int start = 0, end = 0;
        ps_seg_frames(seg, &start, &end);
        out.push_back({ word.toLower(), double(end + 1) / 100.0 });
    }
    return out;
}

// Longest common subsequence of two word lists: pairs of matching indices.
std::vector<std::pair<int, int>> matchWords(const QStringList &a, const QStringList &b)
{
    const int n = int(a.size()), m = int(b.size());
    std::vector<std::vector<int>> len(n + 1, std::vector<int>(m + 1, 0));
    for (int i = n - 1; i >= 0; --i)
        for (int j = m - 1; j >= 0; --j)
            len[i][j] = a[i] == b[j] ? len[i + 1][j + 1] + 1 : std::max(len[i + 1][j], len[i][j + 1]);
    std::vector<std::pair<int, int>> pairs;
    for (int i = 0, j = 0; i < n && j < m;) {
        if (a[i] == b[j]) {
            pairs.emplace_back(i, j);
            ++i;
            ++j;
        } else if (len[i + 1][j] >= len[i][j + 1]) {
            ++i;
        } else {
            ++j;
        }
    }
    return pairs;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

long residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

double processorSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Context switches of every thread of the process: each wake-up of a sleeping thread is one.
long contextSwitches()
{
    long total = 0;
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(task));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                total += line.split(':').last().trimmed().toLong();
        }
    }
    return total;
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// The private daemon of this run.
class SoundServer final
{
public:
    SoundServer()
    {
        QProcess script;
        script.start(scriptPath(), { QStringLiteral("start"), m_dir.path() });
        script.waitForFinished(30000);
        m_address = QString::fromUtf8(script.readAllStandardOutput()).trimmed();
        qputenv("PULSE_SERVER", m_address.toUtf8());
    }
    ~SoundServer()
    {
        QProcess script;
        script.start(scriptPath(), { QStringLiteral("stop"), m_dir.path() });
        script.waitForFinished(30000);
    }
    bool isValid() const { return m_address.startsWith(QStringLiteral("unix:")); }

    // paplay of one file; the caller owns the process.
    std::unique_ptr<QProcess> play(const QString &file) const
    {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral("paplay"), { file });
        process->waitForStarted();
        return process;
    }

private:
    static QString scriptPath() { return QStringLiteral(SONOREL_SOURCE_DIR "/scripts/test-sound-server"); }
    QTemporaryDir m_dir { QStringLiteral("/tmp/sonorel-bench-XXXXXX") };
    QString m_address;
};

// Wraps the real capture service to time the moment played audio starts arriving: the arrival of the
// buffer in which it crosses a level, less the frames that follow the crossing in that buffer.
class OnsetTap final : public AudioCaptureService
{
public:
    explicit OnsetTap(std::shared_ptr<AudioCaptureService> inner) : m_inner(std::move(inner)) { }

    void arm()
    {
        std::lock_guard lock(m_mutex);
        m_armed = true;
        m_onset.reset();
    }
    std::optional<Clock::time_point> onset()
    {
        std::lock_guard lock(m_mutex);
        return m_onset;
    }

    void getShareableContent(ContentCompletion completion) override
    {
        m_inner->getShareableContent(std::move(completion));
    }
    std::shared_ptr<void> watchContent(ContentHandler handler) override
    {
        return m_inner->watchContent(std::move(handler));
    }
    std::shared_ptr<AudioCaptureStream> makeStream(const AudioCaptureConfiguration &configuration) override
    {
        return std::make_shared<Stream>(this, m_inner->makeStream(configuration));
    }

private:
    class Stream final : public AudioCaptureStream
    {
    public:
        Stream(OnsetTap *tap, std::shared_ptr<AudioCaptureStream> inner) : m_tap(tap), m_inner(std::move(inner)) { }
        AudioCaptureConfiguration configuration() const override { return m_inner->configuration(); }
        std::optional<PlatformError> addOutput(OutputHandler handler) override
        {
            return m_inner->addOutput([tap = m_tap, handler](const AudioBuffer &buffer) {
                tap->look(buffer);
                handler(buffer);
            });
        }
        void setFailureHandler(FailureHandler handler) override { m_inner->setFailureHandler(std::move(handler)); }
        void startCapture(Completion completion) override { m_inner->startCapture(std::move(completion)); }
        void stopCapture(Completion completion) override { m_inner->stopCapture(std::move(completion)); }

    private:
        OnsetTap *m_tap;
        std::shared_ptr<AudioCaptureStream> m_inner;
    };

    void look(const AudioBuffer &buffer)
    {
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(m_mutex);
        if (!m_armed)
            return;
        const float *samples = buffer.floatChannelData(0);
        for (std::uint32_t i = 0; samples && i < buffer.frameLength(); ++i) {
            if (std::abs(samples[i]) > onsetLevel) {
                const double after = double(buffer.frameLength() - i) / buffer.format().sampleRate;
                m_onset = now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(after));
                m_armed = false;
                return;
            }
        }
    }

    std::shared_ptr<AudioCaptureService> m_inner;
    std::mutex m_mutex;
    bool m_armed = false;
    std::optional<Clock::time_point> m_onset;
};

struct Pipeline {
    QTemporaryDir dir;
    std::unique_ptr<AppSettings> settings;
    std::shared_ptr<OnsetTap> tap;
    std::unique_ptr<CaptionViewModel> model;

    Pipeline()
    {
        settings = std::make_unique<AppSettings>(dir.filePath(QStringLiteral("settings.conf")));
        settings->setSelectedLanguage(QStringLiteral("en-US"));
        const QString engine = qEnvironmentVariable("SONOREL_BENCH_ENGINE", AppSettings::accurateEngine);
        CaptioningServices services = makeDesktopCaptioningServices(true, [engine] { return engine; });
        tap = std::make_shared<OnsetTap>(services.capture);
        services.capture = tap;
        model = std::make_unique<CaptionViewModel>(std::move(services), *settings);
    }
    bool start()
    {
        model->start();
        return waitFor([&] { return model->isRunning.get() || !model->errorMessage.get().isEmpty(); }, 30000)
            && model->isRunning.get();
    }
};

int latency()
{
    const QByteArray hmm = (model + QStringLiteral("/en-us")).toUtf8();
    const QByteArray lm = (model + QStringLiteral("/en-us.lm.bin")).toUtf8();
    const QByteArray dict = (model + QStringLiteral("/cmudict-en-us.dict")).toUtf8();
    cmd_ln_t *config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.constData(), "-lm", lm.constData(), "-dict",
        dict.constData(), "-logfn", "/dev/null", static_cast<const char *>(nullptr));
    ps_decoder_t *decoder = ps_init(config);
    if (!decoder) {
        std::fprintf(stderr, "cannot load the model for alignment\n");
        return 1;
    }

    SoundServer server;
    if (!server.isValid())
        return 1;
    Pipeline pipeline;
    // Start while speech is already playing: how soon the first words are on screen.
    wait(3000); // the model loads in the background from the controller's construction
    auto first = server.play(wavPath(ids[0]));
    wait(500);
    const auto startPressed = Clock::now();
    if (!pipeline.start()) {
        std::fprintf(stderr, "captions did not start: %s\n", qPrintable(pipeline.model->errorMessage.get()));
        return 1;
    }
    waitFor([&] { return !pipeline.model->captionText.get().isEmpty(); }, 30000);
    std::printf("start -> first caption: %.0f ms\n\n", secondsSince(startPressed, Clock::now()) * 1000.0);
    waitFor([&] { return first->state() == QProcess::NotRunning; }, 60000);
    wait(3000);

    // Every caption update, timed as it is published.
    std::vector<std::pair<Clock::time_point, QStringList>> updates;
    const Subscription watch = pipeline.model->captionText.subscribe(
        [&](const QString &text) { updates.emplace_back(Clock::now(), words(text)); });

    std::vector<double> wordLatencies;
    std::vector<double> finalLatencies;
    std::printf("%-6s %6s %8s %10s %12s\n", "file", "words", "matched", "median ms", "final ms");
    for (int round = 0; round < 2; ++round) {
        for (const QString &id : ids) {
            const std::vector<float> samples = readWav(wavPath(id));
            const std::vector<TimedWord> reference = alignWords(decoder, samples);
            const double fileOnset = onsetSeconds(samples);
            const int base = updates.empty() ? 0 : int(updates.back().second.size());
            const std::size_t firstUpdate = updates.size();

            pipeline.tap->arm();
            auto player = server.play(wavPath(id));
            // Waits in the event loop: caption updates are delivered on this thread meanwhile.
            waitFor([&] { return player->state() == QProcess::NotRunning; }, 60000);
            wait(2500); // silence: the utterance is finalised
            const auto onset = pipeline.tap->onset();
            if (!onset || updates.size() == firstUpdate) {
                std::printf("%-6s no audio or no caption\n", qPrintable(id));
                continue;
            }
            auto wallEnd = [&](double fileSeconds) {
                return *onset
                    + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(fileSeconds - fileOnset));
            };

            const QStringList finalWords = updates.back().second.mid(base);
            QStringList referenceWords;
            for (const TimedWord &w : reference)
                referenceWords << w.word;
            // A word counts as shown from the first update whose words, aligned with the reference, hold
            // it: partial hypotheses may insert or drop words before it, so positions are not compared.
            std::vector<std::optional<Clock::time_point>> shown(reference.size());
            for (std::size_t u = firstUpdate; u < updates.size(); ++u) {
                for (const auto &[ri, ci] : matchWords(referenceWords, updates[u].second.mid(base))) {
                    if (!shown[std::size_t(ri)])
                        shown[std::size_t(ri)] = updates[u].first;
                }
            }
            std::vector<double> fileLatencies;
            for (const auto &[ri, ci] : matchWords(referenceWords, finalWords)) {
                if (shown[std::size_t(ri)])
                    fileLatencies.push_back(
                        secondsSince(wallEnd(reference[std::size_t(ri)].end), *shown[std::size_t(ri)]));
            }
            if (qEnvironmentVariableIsSet("SONOREL_BENCH_TRACE")) {
                for (const TimedWord &w : reference)
                    std::printf("  ref %-12s ends %6.0f ms\n", qPrintable(w.word), (w.end - fileOnset) * 1000.0);
                for (std::size_t u = firstUpdate; u < updates.size(); ++u)
                    std::printf("  %6.0f ms  %s\n", secondsSince(*onset, updates[u].first) * 1000.0,
                        qPrintable(updates[u].second.mid(base).join(QLatin1Char(' '))));
            }
            const double speechEnd = reference.empty() ? 0.0 : reference.back().end;
            const double final = secondsSince(wallEnd(speechEnd), updates.back().first);
            finalLatencies.push_back(final);
            wordLatencies.insert(wordLatencies.end(), fileLatencies.begin(), fileLatencies.end());
            std::printf("%-6s %6zu %8zu %10.0f %12.0f\n", qPrintable(id), reference.size(), fileLatencies.size(),
                median(fileLatencies) * 1000.0, final * 1000.0);
        }
    }
    pipeline.model->stop();
    double sum = 0;
    for (double l : wordLatencies)
        sum += l;
    std::printf("\nword end -> caption: mean %.0f ms, median %.0f ms, 90th percentile %.0f ms, 95th percentile %.0f ms "
                "over %zu words\n",
        wordLatencies.empty() ? NAN : 1000.0 * sum / double(wordLatencies.size()), median(wordLatencies) * 1000.0,
        percentile(wordLatencies, 0.9) * 1000.0, percentile(wordLatencies, 0.95) * 1000.0, wordLatencies.size());
    std::printf("speech end -> final text: median %.0f ms, worst %.0f ms over %zu sentences\n",
        median(finalLatencies) * 1000.0,
        finalLatencies.empty() ? NAN : *std::max_element(finalLatencies.begin(), finalLatencies.end()) * 1000.0,
        finalLatencies.size());
    ps_free(decoder);
    cmd_ln_free_r(config);
    return 0;
}

int soak(int seconds)
{
    SoundServer server;
    if (!server.isValid())
        return 1;
    Pipeline pipeline;
    std::unique_ptr<QProcess> player;
    int played = 0;
    auto next = [&] { player = server.play(wavPath(ids[played++ % ids.size()])); };
    next();
    QTimer replay;
    replay.setInterval(50);
    QObject::connect(&replay, &QTimer::timeout, [&] {
        if (player->state() == QProcess::NotRunning)
            next();
    });
    replay.start();
    if (!pipeline.start()) {
        std::fprintf(stderr, "captions did not start: %s\n", qPrintable(pipeline.model->errorMessage.get()));
        return 1;
    }

    int updates = 0;
    const Subscription watch = pipeline.model->captionText.subscribe([&](const QString &) { ++updates; });
    const auto begin = Clock::now();
    const double cpuBegin = processorSeconds();
    long rssAtMinute = -1;
    long rssMax = 0;
    double cpuAtMinute = 0.0;
    std::printf("%8s %10s %10s %8s %8s\n", "seconds", "RSS MB", "CPU %", "threads", "updates");
    double lastCpu = cpuBegin;
    auto lastTime = begin;
    for (int s = 10; s <= seconds; s += 10) {
        wait(int(std::max(0.0, s - secondsSince(begin, Clock::now())) * 1000.0));
        const long rss = residentKilobytes();
        const double cpu = processorSeconds();
        const auto now = Clock::now();
        rssMax = std::max(rssMax, rss);
        if (s == 60) {
            rssAtMinute = rss;
            cpuAtMinute = cpu;
        }
        std::printf("%8d %10.1f %10.1f %8d %8d\n", s, double(rss) / 1024.0,
            100.0 * (cpu - lastCpu) / secondsSince(lastTime, now), threadCount(), updates);
        std::fflush(stdout);
        lastCpu = cpu;
        lastTime = now;
    }
    const long rssEnd = residentKilobytes();
    const double cpuEnd = processorSeconds();
    const bool running = pipeline.model->isRunning.get();
    pipeline.model->stop();
    replay.stop();
    player->kill();
    player->waitForFinished();
    std::printf("\ncaptioned %d s of looped LibriVox speech (%d recordings played), still running: %s, error: \"%s\"\n",
        seconds, played, running ? "yes" : "no", qPrintable(pipeline.model->errorMessage.get()));
    std::printf("resident memory: %.1f MB at 60 s, %.1f MB at the end, %.1f MB peak; growth after the first minute "
                "%+.1f MB\n",
        double(rssAtMinute) / 1024.0, double(rssEnd) / 1024.0, double(rssMax) / 1024.0,
        double(rssEnd - rssAtMinute) / 1024.0);
    std::printf("processor while captioning: %.1f %% of one core over the run, %.1f %% after the first minute\n",
        100.0 * (cpuEnd - cpuBegin) / secondsSince(begin, Clock::now()),
        seconds > 60 ? 100.0 * (cpuEnd - cpuAtMinute) / (secondsSince(begin, Clock::now()) - 60.0) : NAN);
    return 0;
}

// Processor time and wake-ups of the whole process over a quiet window (the window's own timer is one
// wake-up of the main thread).
void measureIdle(const char *label, int seconds)
{
    wait(2000); // settle
    const long switches = contextSwitches();
    const double cpu = processorSeconds();
    wait(seconds * 1000);
    std::printf("%-40s %8.3f ms CPU/s %8.1f wake-ups/s  (%d threads)\n", label,
        1000.0 * (processorSeconds() - cpu) / seconds, double(contextSwitches() - switches) / seconds, threadCount());
}

int idle(int seconds)
{
    SoundServer server;
    if (!server.isValid())
        return 1;
    Pipeline pipeline;
    measureIdle("idle, never started", seconds);
    if (!pipeline.start()) {
        std::fprintf(stderr, "captions did not start: %s\n", qPrintable(pipeline.model->errorMessage.get()));
        return 1;
    }
    measureIdle("captioning silence", seconds);
    pipeline.model->stop();
    measureIdle("idle after a session", seconds);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    WhisperModel::restartWithSleepingThreads(argv);
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(
        QStringLiteral("com.ambrite.sonorel.*.info=false\ncom.ambrite.sonorel.*.debug=false"));
    const QString mode = argc > 1 ? QString::fromUtf8(argv[1]) : QStringLiteral("latency");
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == QStringLiteral("latency"))
        return latency();
    if (mode == QStringLiteral("soak"))
        return soak(seconds > 0 ? seconds : 600);
    if (mode == QStringLiteral("idle"))
        return idle(seconds > 0 ? seconds : 10);
    std::fprintf(stderr, "usage: %s latency | soak [seconds] | idle [seconds]\n", argv[0]);
    return 2;
}
