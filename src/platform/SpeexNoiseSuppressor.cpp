#include "platform/SpeexNoiseSuppressor.h"

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>

namespace {

class SpeexNoiseSuppressor final : public NoiseSuppressor
{
public:
    explicit SpeexNoiseSuppressor(int suppressionDb) : m_state(speex_preprocess_state_init(int(frameSamples), 16000))
    {
        int on = 1, off = 0;
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_AGC, &off);
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_DEREVERB, &off);
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppressionDb);
    }
    ~SpeexNoiseSuppressor() override { speex_preprocess_state_destroy(m_state); }
    SpeexNoiseSuppressor(const SpeexNoiseSuppressor &) = delete;
    SpeexNoiseSuppressor &operator=(const SpeexNoiseSuppressor &) = delete;

    void process(float *frame) override
    {
        spx_int16_t pcm[frameSamples];
        for (std::size_t i = 0; i < frameSamples; ++i)
            pcm[i] = spx_int16_t(std::lrintf(std::clamp(frame[i], -1.0f, 1.0f) * 32767.0f));
        speex_preprocess_run(m_state, pcm);
        for (std::size_t i = 0; i < frameSamples; ++i)
            frame[i] = float(pcm[i]) / 32768.0f;
    }

private:
    SpeexPreprocessState *m_state;
};

} // namespace

NoiseSuppressorFactory makeSpeexNoiseSuppressorFactory(int suppressionDb)
{
    return [suppressionDb] { return std::make_unique<SpeexNoiseSuppressor>(suppressionDb); };
}
