#pragma once

#include "captioning/SpeechEngine.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Keeps a session's transcript on disk as it is made: one line per finished sentence, appended and
// flushed to the disk by a thread of its own, so that the caller never waits on the disk and a crash
// or power cut loses at most the sentence being written. The first failure (a folder that cannot be
// written, a full disk) is reported once and ends the saving; whatever calls append() goes on as before.
class TranscriptAutoSaver final
{
public:
    // Called once, on the saver's thread, with what went wrong in plain words.
    using FailureHandler = std::function<void(const QString &message)>;

    // ~/Documents/Sonorel/Transcripts, in the user's own documents folder.
    static QString defaultFolder();
    // "<folder>/2026-12-07 06.51.13.txt": the session's date and start time.
    static QString fileNameFor(const QString &folder, const QDateTime &sessionStart);
    // "[06:51:20] Sentence.": the sentence's start on the clock, from the session's start.
    static QString line(const QDateTime &sessionStart, const TimedSentence &sentence);

    TranscriptAutoSaver(QString fileName, FailureHandler onFailure);
    // Writes what is still queued, then ends the thread.
    ~TranscriptAutoSaver();
    TranscriptAutoSaver(const TranscriptAutoSaver &) = delete;
    TranscriptAutoSaver &operator=(const TranscriptAutoSaver &) = delete;

    const QString &fileName() const { return m_fileName; }
    // Any thread; never touches the disk.
    void append(const QString &line);
    // Lines now on disk; whether saving has failed.
    std::uint64_t writtenLines() const { return m_written.load(); }
    bool hasFailed() const { return m_failed.load(); }

private:
    void run();
    bool write(int &fd, const QByteArray &bytes, QString *error);

    const QString m_fileName;
    const FailureHandler m_onFailure;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QByteArray> m_queue;
    bool m_stopping = false;
    std::atomic<std::uint64_t> m_written = 0;
    std::atomic<bool> m_failed = false;
    std::thread m_thread;
};
