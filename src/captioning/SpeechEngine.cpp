#include "captioning/SpeechEngine.h"

#include "base/Log.h"

#include <algorithm>

std::size_t SpeechAudioRequest::append(const float *samples, std::size_t frames)
{
    std::size_t dropped = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_ended || frames == 0)
            return 0;
        // Only the newest `m_capacity` frames of this buffer can be kept at all.
        if (frames > m_capacity) {
            dropped += frames - m_capacity;
            samples += frames - m_capacity;
            frames = m_capacity;
        }
        const std::size_t overflow = m_queue.size() + frames > m_capacity ? m_queue.size() + frames - m_capacity : 0;
        if (overflow > 0) {
            m_queue.erase(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(overflow));
            dropped += overflow;
        }
        m_queue.insert(m_queue.end(), samples, samples + frames);
        m_appended += frames + (dropped - overflow);
        m_dropped += dropped;
        if (dropped > 0 && m_consumerAttached) {
            // One line per second at most: a recognizer that falls behind does so for many buffers in a row.
            m_droppedSinceReport += dropped;
            const auto now = std::chrono::steady_clock::now();
            if (now - m_lastDropReport >= std::chrono::seconds(1)) {
                SLOG_ERROR(lcSpeech, "Recognizer behind, dropped oldest audio frames %u", m_droppedSinceReport);
                m_droppedSinceReport = 0;
                m_lastDropReport = now;
            }
        }
    }
    m_wake.notify_one();
    return dropped;
}

void SpeechAudioRequest::endAudio()
{
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
    }
    m_wake.notify_all();
}

bool SpeechAudioRequest::isAudioEnded() const
{
    std::lock_guard lock(m_mutex);
    return m_ended;
}

std::uint64_t SpeechAudioRequest::take(std::vector<float> &out, std::size_t maxFrames, std::chrono::milliseconds wait)
{
    out.clear();
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, wait, [this] { return !m_queue.empty() || m_ended || m_interrupted; });
    m_interrupted = false;
    const std::size_t n = std::min(maxFrames, m_queue.size());
    out.assign(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(n));
    const std::uint64_t first = m_appended - m_queue.size();
    m_queue.erase(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(n));
    return first;
}

void SpeechAudioRequest::interrupt()
{
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
    }
    m_wake.notify_all();
}

void SpeechAudioRequest::setConsumerAttached(bool attached)
{
    std::lock_guard lock(m_mutex);
    m_consumerAttached = attached;
}

std::size_t SpeechAudioRequest::queuedFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_queue.size();
}

std::uint64_t SpeechAudioRequest::appendedFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_appended;
}

std::uint64_t SpeechAudioRequest::droppedFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

void SpeechAudioRequest::setFinished()
{
    std::lock_guard lock(m_mutex);
    m_finished = true;
}

bool SpeechAudioRequest::isFinished() const
{
    std::lock_guard lock(m_mutex);
    return m_finished;
}
