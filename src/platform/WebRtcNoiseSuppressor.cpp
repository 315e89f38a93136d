#include "platform/WebRtcNoiseSuppressor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>

namespace {

class WebRtcNoiseSuppressor final : public NoiseSuppressor
{
public:
    explicit WebRtcNoiseSuppressor(int level)
        : m_processing(webrtc::AudioProcessing::Create()), m_config(16000, 1, false)
    {
        m_processing->high_pass_filter()->Enable(true);
        m_processing->noise_suppression()->set_level(
            static_cast<webrtc::NoiseSuppression::Level>(std::clamp(level, 0, 3)));
        m_processing->noise_suppression()->Enable(true);
    }

    void process(float *frame) override
    {
        float *channels[] = { frame };
        if (m_processing->ProcessStream(channels, m_config, m_config, channels) != webrtc::AudioProcessing::kNoError)
            return; // the frame passes as it came
        for (std::size_t i = 0; i < frameSamples; ++i)
            frame[i] = std::clamp(frame[i], -1.0f, 1.0f);
    }

private:
    std::unique_ptr<webrtc::AudioProcessing> m_processing;
    webrtc::StreamConfig m_config;
};

} // namespace

NoiseSuppressorFactory makeWebRtcNoiseSuppressorFactory(int level)
{
    return [level] { return std::make_unique<WebRtcNoiseSuppressor>(level); };
}
