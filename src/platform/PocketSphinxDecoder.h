#pragma once

#include "captioning/UtteranceDecoder.h"
#include "platform/PocketSphinxModel.h"

#include <memory>
#include <vector>

// PocketSphinx as an utterance decoder: bare lower-case words, its own voice detection, partial text as
// cheap as a backtrace. Holds its model's decoder, lent by the model for as long as this lives; made and
// used on one task's worker thread.
class PocketSphinxDecoder final : public UtteranceDecoder
{
public:
    // Waits for the model to load and its decoder to be free (see PocketSphinxModel::acquireDecoder).
    static std::unique_ptr<UtteranceDecoder> acquire(
        std::shared_ptr<PocketSphinxModel> model, const std::atomic<bool> &cancelled, QString *error);
    ~PocketSphinxDecoder() override;

    bool hearsSpeech() const override { return true; }
    bool writesText() const override { return false; }
    // Speech that runs this long without a pause is cut at its quietest point, so that music or noise
    // cannot grow the search without bound and no caption line becomes a wall of words.
    double maxUtteranceSeconds() const override { return 12.0; }
    // A backtrace over the whole utterance after every 20 ms buffer costs more than decoding does;
    // every 100 ms of audio keeps captions just as current.
    std::size_t partialIntervalSamples(std::size_t) const override { return 1600; }

    bool begin() override;
    bool feed(const float *samples, std::size_t count) override;
    bool inSpeech() const override;
    std::optional<QString> partial() override;
    bool end(DecodedUtterance &out) override;
    void abandon() override;
    QString takeError() override;

private:
    PocketSphinxDecoder(std::shared_ptr<PocketSphinxModel> model, ps_decoder_s *decoder);

    const std::shared_ptr<PocketSphinxModel> m_model;
    ps_decoder_s *const m_decoder;
    PocketSphinxDiagnostics::Capture m_capture;
    std::vector<short> m_pcm;
    std::uint64_t m_fed = 0;
    bool m_open = false;
    QString m_error;
};
