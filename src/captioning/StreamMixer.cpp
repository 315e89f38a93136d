#include "captioning/StreamMixer.h"

#include <algorithm>

void StreamMixer::push(std::uint32_t id, std::span<const float> samples, std::vector<float> &out)
{
    out.clear();
    std::deque<float> &queue = m_pending[id];
    queue.insert(queue.end(), samples.begin(), samples.end());

    std::size_t fewest = queue.size();
    std::size_t most = 0;
    for (const auto &[_, pending] : m_pending) {
        fewest = std::min(fewest, pending.size());
        most = std::max(most, pending.size());
    }
    const std::size_t ready = std::max(fewest, most > m_slack ? most - m_slack : 0);
    if (ready == 0)
        return;
    out.assign(ready, 0.0f);
    for (auto &[_, pending] : m_pending) {
        const std::size_t take = std::min(ready, pending.size());
        for (std::size_t i = 0; i < take; ++i)
            out[i] += pending[i];
        pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(take));
    }
    for (float &sample : out)
        sample = std::clamp(sample, -1.0f, 1.0f);
}
