#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

struct ps_decoder_s;

// Where one locale's model lives: a folder with an acoustic-model folder (holding mdef), a language
// model (*.lm.bin or *.lm) and a pronunciation dictionary (*.dict).
struct PocketSphinxModelFiles {
    QString localeIdentifier; // "en-US" for a folder named "en-us"
    QString folder;
    QString acousticModel;
    QString languageModel;
    QString dictionary;

    // The files of a model folder, or nothing when a part is missing.
    static std::optional<PocketSphinxModelFiles> inspect(const QString &folder);
    // "en-us" and "en_US" become "en-US"; a name that is not language[-region] gives an empty string.
    static QString localeIdentifierForFolderName(const QString &name);
};

// One locale's loaded model and the decoder built on it. Loading starts at construction on a thread of
// its own (it takes about half a second and 100 MB), never on the caller's. The decoder is kept for the
// model's life, across utterances and tasks, and lent to one task at a time.
class PocketSphinxModel final
{
public:
    // `settings` are "-name", "value" pairs over decoderArguments().
    explicit PocketSphinxModel(PocketSphinxModelFiles files, QStringList settings = {});
    ~PocketSphinxModel();
    PocketSphinxModel(const PocketSphinxModel &) = delete;
    PocketSphinxModel &operator=(const PocketSphinxModel &) = delete;

    const PocketSphinxModelFiles &files() const { return m_files; }
    // False once loading has failed; true while it is still under way.
    bool isUsable() const;

    // Blocks until the model is loaded and no other task holds the decoder, then lends it. Returns null
    // with `error` set when loading failed, and null without an error when `cancelled` became true
    // (wake() makes the wait look again).
    ps_decoder_s *acquireDecoder(const std::atomic<bool> &cancelled, QString *error);
    void releaseDecoder();
    void wake();

    // The settings every decoder is built with, measured to suit live captions.
    static QStringList decoderArguments(const PocketSphinxModelFiles &files, const QStringList &settings = {});
    const QStringList &settings() const { return m_settings; }

private:
    void load();

    const PocketSphinxModelFiles m_files;
    const QStringList m_settings;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    enum class State { loading, ready, failed } m_state = State::loading;
    QString m_loadError;
    ps_decoder_s *m_decoder = nullptr;
    bool m_lent = false;
    std::thread m_loader;
};

// Routes the engine's own diagnostic output: errors to the task (or load) that is running on the
// calling thread, everything else to the Speech log at debug level. Nothing reaches the terminal.
class PocketSphinxDiagnostics final
{
public:
    static void install();

    // While alive, errors reported on this thread are collected here.
    class Capture final
    {
    public:
        Capture();
        ~Capture();
        Capture(const Capture &) = delete;
        Capture &operator=(const Capture &) = delete;
        QStringList errors;

    private:
        Capture *m_previous;
    };
};
