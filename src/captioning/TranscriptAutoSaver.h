#pragma once

#include "captioning/SpeechEngine.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

// Keeps a session's transcript on disk as it is made: one line per finished sentence, appended and
// flushed to the disk by a thread of its own, so that the caller never waits on the disk and a crash
// or power cut loses at most the sentence being written. The first failure (a folder that cannot be
// written, a full disk, something other than a regular file at the name) is reported once and ends the
// saving; whatever calls append() goes on as before.
class TranscriptAutoSaver final
{
public:
    // Called once, on the saver's thread, with what went wrong in plain words; never after release().
    using FailureHandler = std::function<void(const QString &message)>;

    // How long a saver that is let go of waits for its queued lines to reach the file. A file that does not
    // return by then (stalled network storage) is left to the saver's thread, so that quitting never hangs.
    static constexpr std::chrono::milliseconds shutdownBound { 3000 };

    // Destroys a saver on the disposal thread, its failure handler dropped at once: the owner's way to let
    // go of one without waiting on the disk.
    struct Disposer {
        void operator()(TranscriptAutoSaver *saver) const;
    };
    using Owner = std::unique_ptr<TranscriptAutoSaver, Disposer>;
    static Owner make(QString fileName, FailureHandler onFailure);

    // ~/Documents/Sonorel/Transcripts, in the user's own documents folder; empty when the environment names
    // no sound one.
    static QString defaultFolder();
    // "<folder>/2026-12-07 06.51.13.txt": the session's date and start time.
    static QString fileNameFor(const QString &folder, const QDateTime &sessionStart);
    // "[06:51:20] Sentence.": the sentence's start on the clock, from the session's start.
    static QString line(const QDateTime &sessionStart, const TimedSentence &sentence);

    TranscriptAutoSaver(QString fileName, FailureHandler onFailure);
    // Writes what is still queued, then ends the thread; waits shutdownBound at most. The failure handler is
    // not called once this has begun.
    ~TranscriptAutoSaver();
    TranscriptAutoSaver(const TranscriptAutoSaver &) = delete;
    TranscriptAutoSaver &operator=(const TranscriptAutoSaver &) = delete;

    const QString &fileName() const { return m_fileName; }
    // Any thread; never touches the disk.
    void append(const QString &line);
    // From now on the failure handler is never called; returns at once. Any thread.
    void release();
    // Lines now on disk; whether saving has failed.
    std::uint64_t writtenLines() const;
    bool hasFailed() const;

private:
    struct State; // shared with the thread, which may outlive this object when the file never returns

    const QString m_fileName;
    const std::shared_ptr<State> m_state;
    std::thread m_thread;
};
