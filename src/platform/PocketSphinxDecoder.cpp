#include "platform/PocketSphinxDecoder.h"
#include "base/Log.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/cmd_ln.h>

#include <algorithm>
#include <cmath>

namespace {

// Music passes the decoder's voice detection, and the decoder hears words in it: a few over long stretches
// ("oh where bowen don't know did oh do voodoo the" in 12 s), or one drawn out over a note ("oh" held for
// 0.3-0.8 s). People say two to three words a second, the slowest over one, and hold a sound for well under
// 0.2 s. So a hypothesis with fewer words than this for the speech searched, beyond the time one short word
// takes with the detector's margins, or whose words are held longer than this per sound, is not speech.
constexpr double minWordsPerSecond = 1.2;
constexpr double oneWordSeconds = 0.5;
constexpr double maxSecondsPerPhone = 0.2;

int frameRate(ps_decoder_t *decoder)
{
    return std::max(1, int(cmd_ln_int32_r(ps_get_config(decoder), "-frate")));
}

bool isWord(const char *word)
{
    return word && *word != '<' && *word != '[' && *word != '+';
}

// Whether the best hypothesis so far reads as something other than speech (see above).
bool notSpeech(ps_decoder_t *decoder)
{
    int words = 0, wordFrames = 0, phones = 0;
    for (ps_seg_t *seg = ps_seg_iter(decoder); seg; seg = ps_seg_next(seg)) {
        const char *word = ps_seg_word(seg);
        if (!isWord(word))
            continue;
        int first = 0, last = 0;
        ps_seg_frames(seg, &first, &last);
        ++words;
        wordFrames += last + 1 - first;
        char *pronunciation = ps_lookup_word(decoder, word);
        phones += pronunciation ? int(QByteArray(pronunciation).count(' ')) + 1 : 1;
        ckd_free(pronunciation);
    }
    if (words == 0)
        return false;
    const double rate = frameRate(decoder);
    const double searched = double(ps_get_n_frames(decoder)) / rate;
    return words < minWordsPerSecond * (searched - oneWordSeconds) || wordFrames / rate > maxSecondsPerPhone * phones;
}

QString hypothesis(ps_decoder_t *decoder)
{
    int32 score = 0;
    const char *hyp = ps_get_hyp(decoder, &score);
    return hyp ? QString::fromUtf8(hyp) : QString();
}

// The words of the utterance just ended, in seconds from its first sample. The decoder's own voice
// detection leaves the silence before speech out of the frames it searches, and numbers them from a count
// of its own that no utterance resets; an utterance ends soon after the speech does. So the searched
// frames are counted back from the utterance's last sample, relative to the first segment. Silence and
// fillers ("<sil>", "[NOISE]", "++BREATH++") take time but are no words; "word(2)" is a second
// pronunciation.
std::vector<TimedWord> timedWords(ps_decoder_t *decoder, double length)
{
    const int rate = frameRate(decoder);
    const int searched = ps_get_n_frames(decoder);
    const auto at = [&](int frame) { return std::clamp(length - double(searched - frame) / rate, 0.0, length); };
    std::vector<TimedWord> words;
    std::optional<int> base;
    for (ps_seg_t *seg = ps_seg_iter(decoder); seg; seg = ps_seg_next(seg)) {
        int first = 0, last = 0;
        ps_seg_frames(seg, &first, &last);
        if (!base)
            base = first;
        const char *word = ps_seg_word(seg);
        if (!isWord(word))
            continue;
        QString text = QString::fromUtf8(word);
        if (const auto variant = text.indexOf(QLatin1Char('(')); variant > 0)
            text.truncate(variant);
        words.push_back({ text, at(first - *base), at(last + 1 - *base) });
    }
    return words;
}

} // namespace

std::unique_ptr<UtteranceDecoder> PocketSphinxDecoder::acquire(
    std::shared_ptr<PocketSphinxModel> model, const std::atomic<bool> &cancelled, QString *error)
{
    ps_decoder_t *decoder = model->acquireDecoder(cancelled, error);
    if (!decoder)
        return nullptr;
    return std::unique_ptr<UtteranceDecoder>(new PocketSphinxDecoder(std::move(model), decoder));
}

PocketSphinxDecoder::PocketSphinxDecoder(std::shared_ptr<PocketSphinxModel> model, ps_decoder_s *decoder)
    : m_model(std::move(model)), m_decoder(decoder)
{ }

PocketSphinxDecoder::~PocketSphinxDecoder()
{
    // The decoder stays with the model for later tasks: leave it between utterances.
    abandon();
    m_model->releaseDecoder();
}

bool PocketSphinxDecoder::begin()
{
    if (ps_start_utt(m_decoder) < 0) {
        m_error = QStringLiteral("The speech decoder could not start an utterance");
        return false;
    }
    m_open = true;
    m_fed = 0;
    return true;
}

bool PocketSphinxDecoder::feed(const float *samples, std::size_t count)
{
    m_pcm.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const float s = std::isfinite(samples[i]) ? std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f : 0.0f;
        m_pcm[i] = short(std::lrintf(s));
    }
    if (ps_process_raw(m_decoder, m_pcm.data(), m_pcm.size(), FALSE, FALSE) < 0) {
        m_error = QStringLiteral("The speech decoder failed on the audio");
        return false;
    }
    m_fed += count;
    return true;
}

bool PocketSphinxDecoder::inSpeech() const
{
    return ps_get_in_speech(m_decoder) != 0;
}

std::optional<QString> PocketSphinxDecoder::partial()
{
    return notSpeech(m_decoder) ? QString() : hypothesis(m_decoder);
}

bool PocketSphinxDecoder::end(DecodedUtterance &out)
{
    m_open = false;
    if (ps_end_utt(m_decoder) < 0) {
        m_error = QStringLiteral("The speech decoder could not end an utterance");
        return false;
    }
    out.text = hypothesis(m_decoder);
    out.words = timedWords(m_decoder, double(m_fed) / double(SpeechAudioRequest::sampleRate));
    if (notSpeech(m_decoder)) {
        SLOG_DEBUG(lcSpeech, "Not speech: %s", out.text);
        out = {};
    }
    return true;
}

void PocketSphinxDecoder::abandon()
{
    if (std::exchange(m_open, false))
        ps_end_utt(m_decoder);
}

QString PocketSphinxDecoder::takeError()
{
    // The engine's own words say more than ours.
    QString error = m_capture.errors.isEmpty() ? m_error : m_capture.errors.join(QLatin1Char(' '));
    m_capture.errors.clear();
    m_error.clear();
    return error;
}
