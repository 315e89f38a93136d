#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct whisper_context;

// The Whisper model file, loaded once on a thread of its own (it takes about a second and 200 MB) and shared
// by every task: the weights are read-only, and each task decodes with a state of its own. A file whose
// SHA-256 is not the one expected, or that whisper.cpp cannot read, fails to load with a plain reason.
class WhisperModel final
{
public:
    // An empty `sha256` (hex) checks nothing.
    WhisperModel(QString path, QByteArray sha256);
    ~WhisperModel();
    WhisperModel(const WhisperModel &) = delete;
    WhisperModel &operator=(const WhisperModel &) = delete;

    const QString &path() const { return m_path; }
    // False once loading has failed; true while it is still under way.
    bool isUsable() const;
    // Blocks until the model is loaded. Null with `error` set when loading failed, and null without an error
    // when `cancelled` became true (wake() makes the wait look again).
    whisper_context *waitForContext(const std::atomic<bool> &cancelled, QString *error);
    void wake();

    // ggml's processor back end, once per process: the variant that suits this processor, from the folder
    // the build was made with, with OpenMP threads that sleep rather than spin while they wait.
    static void loadBackends();
    // ggml's OpenMP runtime reads how its threads wait when the process starts, before main() runs: a
    // program that uses Whisper calls this first thing, and starts itself again once with threads that
    // sleep rather than spin while they wait (spinning cost tokens ten times their time on a busy machine).
    static void restartWithSleepingThreads(char **argv);

private:
    void load();

    const QString m_path;
    const QByteArray m_sha256;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    enum class State { loading, ready, failed } m_state = State::loading;
    QString m_loadError;
    whisper_context *m_context = nullptr;
    std::thread m_loader;
};
