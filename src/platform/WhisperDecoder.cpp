#include "platform/WhisperDecoder.h"

#include "base/Log.h"
#include "platform/WhisperModel.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <whisper.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double sampleRate = double(SpeechAudioRequest::sampleRate);
// whisper.cpp refuses less than a second of audio; shorter utterances are padded with silence.
constexpr std::size_t shortestInput = SpeechAudioRequest::sampleRate + SpeechAudioRequest::sampleRate / 10;
// The encoder looks at the audio and this much beyond it: enough for Whisper to see where speech ends,
// far less than the 30 s window it was trained on, which costs 1.7 processor-seconds a decode.
constexpr double contextMarginSeconds = 3.0;
constexpr int contextFramesPerSecond = 50;
constexpr int fullContext = 1500;
// Fast speech runs to about six tokens a second; a decoder stuck in a loop runs to its bound.
constexpr double maxTokensPerSecond = 10.0;
constexpr int extraTokens = 8;
// When the decoder's temperature fallback sets in (whisper.cpp's own thresholds).
constexpr float noSpeechThreshold = 0.6f;
constexpr float logprobThreshold = -1.0f;
// Whether a window holds speech. Whisper's rule (no speech above 0.6 and mean log-probability below -1)
// kept the "Thank you." it writes over music, which it writes with confidence: measured here, music that
// passes the voice detector gives a no-speech probability of 0.57-0.72, speech 0.02-0.27 in the clear and
// up to 0.57 under music, so a high one decides on its own and a middling one with little confidence.
constexpr float noSpeechAlone = 0.6f;
constexpr float noSpeechDoubtful = 0.4f;
constexpr double doubtfulLogprob = -0.7;
// Text that zlib compresses better than this is a loop, not speech.
constexpr double maxCompressionRatio = 2.4;

bool aborted(void *cancelled)
{
    return static_cast<const std::atomic<bool> *>(cancelled)->load();
}

QString normalised(const QString &word)
{
    QString out;
    for (const QChar c : word) {
        if (c.isLetterOrNumber())
            out += c.toLower();
    }
    return out;
}

} // namespace

std::unique_ptr<UtteranceDecoder> WhisperDecoder::acquire(
    std::shared_ptr<WhisperModel> model, Options options, const std::atomic<bool> &cancelled, QString *error)
{
    whisper_context *context = model->waitForContext(cancelled, error);
    if (!context)
        return nullptr;
    return std::unique_ptr<UtteranceDecoder>(
        new WhisperDecoder(std::move(model), context, std::move(options), cancelled));
}

WhisperDecoder::WhisperDecoder(
    std::shared_ptr<WhisperModel> model, whisper_context *context, Options options, const std::atomic<bool> &cancelled)
    : m_model(std::move(model)), m_context(context), m_options(std::move(options)), m_cancelled(cancelled)
{ }

WhisperDecoder::~WhisperDecoder() = default;

std::size_t WhisperDecoder::partialIntervalSamples(std::size_t utteranceSamples) const
{
    return SpeechAudioRequest::sampleRate + utteranceSamples * 15 / 100;
}

bool WhisperDecoder::begin()
{
    m_audio.clear();
    m_previousPartial.clear();
    m_settled.clear();
    return true;
}

bool WhisperDecoder::feed(const float *samples, std::size_t count)
{
    m_audio.insert(m_audio.end(), samples, samples + count);
    return true;
}

std::optional<QString> WhisperDecoder::partial()
{
    Decoded decoded;
    if (!decode(false, decoded) || isRepetitive([&] {
            QStringList words;
            for (const TimedWord &w : decoded.words)
                words << w.text;
            return words.join(u' ');
        }()))
        return std::nullopt; // the text shown stays as it was
    QStringList current;
    if (decoded.speech) {
        for (const TimedWord &w : decoded.words)
            current << w.text;
    }
    const QStringList shown = settle(m_settled, m_previousPartial, current);
    m_previousPartial = current;
    return shown.join(u' ');
}

bool WhisperDecoder::end(DecodedUtterance &out)
{
    Decoded decoded;
    const bool ok = decode(true, decoded);
    m_audio.clear();
    m_previousPartial.clear();
    m_settled.clear();
    if (!ok)
        return false;
    if (!decoded.speech)
        return true;
    out.words = std::move(decoded.words);
    QStringList words;
    for (const TimedWord &w : out.words)
        words << w.text;
    out.text = words.join(u' ');
    return true;
}

void WhisperDecoder::abandon()
{
    m_audio.clear();
    m_previousPartial.clear();
    m_settled.clear();
}

QString WhisperDecoder::takeError()
{
    return std::exchange(m_error, {});
}

bool WhisperDecoder::decode(bool final, Decoded &out)
{
    const double seconds = double(m_audio.size()) / sampleRate;
    std::vector<float> padded;
    const float *audio = m_audio.data();
    std::size_t count = m_audio.size();
    if (count < shortestInput) {
        padded = m_audio;
        padded.resize(shortestInput, 0.0f);
        audio = padded.data();
        count = padded.size();
    }
    const QByteArray language = m_options.language.toUtf8();
    // A decode is not independent of those made on the same state before it: after decodes with other
    // context sizes, a state wrote words that were not said ("an old supposed young man" where a state of
    // its own heard "an ill-disposed young man"). Every decode gets a fresh one; making it costs far less
    // than the decode.
    const std::unique_ptr<whisper_state, void (*)(whisper_state *)> state(
        whisper_init_state(m_context), whisper_free_state);
    if (!state) {
        m_error = QCoreApplication::translate("WhisperDecoder", "Not enough memory for the accurate speech model.");
        return false;
    }
    whisper_state *const decoding = state.get();

    // A decode that loops on its first try is tried once more with some randomness, as Whisper's own
    // transcription does; the final text is what matters most.
    const int attempts = final ? 2 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
        params.n_threads = final ? m_options.finalThreads : m_options.partialThreads;
        params.translate = false;
        params.no_context = true;
        params.single_segment = true;
        params.print_special = false;
        params.print_progress = false;
        params.print_realtime = false;
        params.print_timestamps = false;
        params.no_timestamps = !final;
        params.token_timestamps = final;
        params.language = language.constData();
        params.detect_language = false;
        params.suppress_blank = true;
        params.suppress_nst = true;
        params.temperature = attempt == 0 ? 0.0f : 0.4f;
        params.temperature_inc = final ? 0.2f : 0.0f;
        params.logprob_thold = logprobThreshold;
        params.no_speech_thold = noSpeechThreshold;
        params.max_tokens = int(std::ceil(std::max(seconds, 1.0) * maxTokensPerSecond)) + extraTokens;
        params.audio_ctx = std::min(
            fullContext, int(std::ceil((std::max(seconds, 1.0) + contextMarginSeconds) * contextFramesPerSecond)));
        params.abort_callback = aborted;
        params.abort_callback_user_data = const_cast<std::atomic<bool> *>(&m_cancelled);

        if (whisper_full_with_state(m_context, decoding, params, audio, int(count)) != 0) {
            if (m_cancelled.load())
                return true; // nothing more will be asked of it
            m_error = QCoreApplication::translate("WhisperDecoder", "The accurate speech model failed on the audio.");
            return false;
        }

        out = {};
        const whisper_token specials = whisper_token_eot(m_context);
        float noSpeech = 0;
        double logprobs = 0;
        int tokens = 0;
        std::vector<std::pair<QByteArray, std::pair<double, double>>> pieces;
        const int segments = whisper_full_n_segments_from_state(decoding);
        for (int s = 0; s < segments; ++s) {
            noSpeech = std::max(noSpeech, whisper_full_get_segment_no_speech_prob_from_state(decoding, s));
            const int n = whisper_full_n_tokens_from_state(decoding, s);
            for (int t = 0; t < n; ++t) {
                const whisper_token_data data = whisper_full_get_token_data_from_state(decoding, s, t);
                if (data.id >= specials)
                    continue;
                const QByteArray bytes = whisper_full_get_token_text_from_state(m_context, decoding, s, t);
                logprobs += data.plog;
                ++tokens;
                // A token that starts with a space starts a word; the bytes of one character may be split
                // between tokens, so a word is read as text only once it is whole.
                const double t0 = std::clamp(double(data.t0) / 100.0, 0.0, seconds);
                const double t1 = std::clamp(double(data.t1) / 100.0, 0.0, seconds);
                if (pieces.empty() || bytes.startsWith(' '))
                    pieces.push_back({ QByteArray(), { t0, t1 } });
                pieces.back().first += bytes;
                pieces.back().second.second = t1;
            }
        }
        noSpeech = std::max(noSpeech, noSpeechProbability(decoding, params.n_threads));
        const double meanLogprob = tokens > 0 ? logprobs / tokens : -10.0;
        out.speech = tokens > 0 && noSpeech <= noSpeechAlone
            && !(noSpeech > noSpeechDoubtful && meanLogprob < doubtfulLogprob);
        double previousEnd = 0;
        for (auto &[bytes, times] : pieces) {
            const QString text = QString::fromUtf8(bytes).trimmed();
            // The encoder sees a little silence beyond the audio, and Whisper sometimes says the sentence
            // again there: words that begin where the audio has ended were not said.
            if (text.isEmpty() || (final && times.first >= seconds - 0.02 && !out.words.empty()))
                continue;
            const double start = std::max(times.first, previousEnd);
            const double end = std::max(times.second, start + 0.01);
            out.words.push_back({ text, start, end });
            previousEnd = end;
        }
        out.words = withoutRepeatedEnd(withoutSoundDescriptions(std::move(out.words)));
        out.speech = out.speech && !out.words.empty();
        SLOG_DEBUG(lcSpeech, "Whisper %s decode of %.2f s: tokens %d, no speech %.2f, mean log-probability %.2f",
            final ? "final" : "partial", seconds, tokens, double(noSpeech), meanLogprob);

        QStringList words;
        for (const TimedWord &w : out.words)
            words << w.text;
        if (!isRepetitive(words.join(u' ')))
            return true;
        SLOG_INFO(lcSpeech, "Whisper repeated itself on %.2f s of audio", seconds);
    }
    // Still a loop: nothing is better than a wall of the same words.
    out = {};
    return true;
}

float WhisperDecoder::noSpeechProbability(whisper_state *state, int threads)
{
    // whisper.cpp reads the no-speech token's probability after the whole prompt, where it is all but
    // zero whatever the audio; Whisper's rule reads it right after the start-of-transcript token. One
    // decoder step on the audio just encoded gives that, after the results have been read.
    const whisper_token start = whisper_token_sot(m_context);
    if (whisper_decode_with_state(m_context, state, &start, 1, 0, threads) != 0)
        return 0.0f;
    const float *logits = whisper_get_logits_from_state(state);
    const int vocabulary = whisper_n_vocab(m_context);
    const whisper_token noSpeech = whisper_token_nosp(m_context);
    if (!logits || noSpeech < 0 || noSpeech >= vocabulary)
        return 0.0f;
    const float top = *std::max_element(logits, logits + vocabulary);
    double sum = 0;
    for (int i = 0; i < vocabulary; ++i)
        sum += std::exp(double(logits[i] - top));
    return float(std::exp(double(logits[noSpeech] - top)) / sum);
}

std::vector<TimedWord> WhisperDecoder::withoutRepeatedEnd(std::vector<TimedWord> words)
{
    // A sentence of four words or more said twice over, one copy straight after the other, is Whisper
    // repeating itself: the first copy is kept.
    const auto same
        = [&](std::size_t a, std::size_t b) { return normalised(words[a].text) == normalised(words[b].text); };
    for (std::size_t length = words.size() / 2; length >= 4; --length) {
        const std::size_t from = words.size() - 2 * length;
        bool twice = true;
        for (std::size_t k = 0; k < length && twice; ++k)
            twice = same(from + k, from + length + k);
        if (twice) {
            words.resize(words.size() - length);
            break;
        }
    }
    return words;
}

std::vector<TimedWord> WhisperDecoder::withoutSoundDescriptions(std::vector<TimedWord> words)
{
    std::vector<TimedWord> kept;
    QChar closing;
    for (TimedWord &word : words) {
        QString text = word.text;
        if (closing.isNull() && !text.isEmpty()
            && (text.front() == u'[' || text.front() == u'(' || text.front() == u'*')) {
            closing = text.front() == u'[' ? u']' : text.front() == u'(' ? u')' : u'*';
            text.remove(0, 1);
        }
        if (!closing.isNull()) {
            // Inside a description: drop words up to and including the one that closes it.
            const qsizetype at = text.indexOf(closing);
            if (at < 0)
                continue;
            closing = QChar();
            text = text.mid(at + 1).trimmed();
            if (text.isEmpty() || std::all_of(text.begin(), text.end(), [](QChar c) { return c.isPunct(); }))
                continue;
            word.text = text;
        }
        word.text.remove(QChar(0x266A)).remove(QChar(0x266B)); // ♪ ♫
        if (!word.text.trimmed().isEmpty())
            kept.push_back(std::move(word));
    }
    return kept;
}

bool WhisperDecoder::isRepetitive(const QString &text)
{
    QStringList words;
    for (const QString &w : text.split(u' ', Qt::SkipEmptyParts)) {
        const QString n = normalised(w);
        if (!n.isEmpty())
            words << n;
    }
    // The same phrase of up to eight words three times in a row.
    for (qsizetype length = 1; length <= 8; ++length) {
        for (qsizetype i = 0; i + 3 * length <= words.size(); ++i) {
            bool repeated = true;
            for (qsizetype k = 0; k < 2 * length && repeated; ++k)
                repeated = words[i + k] == words[i + length + k];
            // "no, no, no" is speech; a one-word loop needs more to be one.
            if (repeated
                && (length > 1 || (i + 5 <= words.size() && words[i + 3] == words[i] && words[i + 4] == words[i])))
                return true;
        }
    }
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() < 60)
        return false;
    const QByteArray compressed = qCompress(bytes, 9);
    const double ratio = double(bytes.size()) / double(std::max<qsizetype>(1, compressed.size() - 4));
    return ratio > maxCompressionRatio;
}

QStringList WhisperDecoder::settle(QStringList &settled, const QStringList &previous, const QStringList &current)
{
    qsizetype agreed = 0;
    while (agreed < previous.size() && agreed < current.size()
        && normalised(previous[agreed]) == normalised(current[agreed]))
        ++agreed;
    for (qsizetype i = settled.size(); i < agreed; ++i)
        settled << current[i];
    return settled + current.mid(settled.size());
}
