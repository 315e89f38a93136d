#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <vector>

// Mixes mono streams that run on one clock but arrive in fragments of their own timing, such as the
// several streams of one application. Audio is given out as soon as every stream has delivered it; a
// stream that falls more than `slackFrames` behind the one furthest ahead counts as silent for the
// difference, so that a paused stream never holds the others back. With one stream, audio passes
// straight through. Used on one thread.
class StreamMixer final
{
public:
    explicit StreamMixer(std::size_t slackFrames) : m_slack(slackFrames) { }

    void addStream(std::uint32_t id) { m_pending.try_emplace(id); }
    // What the stream still held that the others had not reached is dropped with it.
    void removeStream(std::uint32_t id) { m_pending.erase(id); }
    std::size_t streamCount() const { return m_pending.size(); }

    // Takes `samples` of stream `id` (added if new) and replaces `out` with the mixed audio that is
    // ready now, clipped to [-1, 1]; `out` is empty while other streams are still awaited.
    void push(std::uint32_t id, std::span<const float> samples, std::vector<float> &out);

private:
    std::size_t m_slack;
    std::map<std::uint32_t, std::deque<float>> m_pending;
};
