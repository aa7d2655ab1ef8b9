#include "platform/linux/PocketSphinxRecognizer.h"

#include "core/SerialQueue.h"

#include <QFileInfo>

#include <pocketsphinx.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>

namespace dravelin::nix {

namespace {
// Decode partial hypotheses after this many new samples (0.5 s).
constexpr size_t kPartialEvery = 8000;
} // namespace

// The loaded model. Loading takes a moment, so it is done once and shared by
// the sessions, one at a time (a session holds the lock while decoding).
struct PocketSphinxRecognizer::Decoder
{
    std::mutex mutex;
    cmd_ln_t *config = nullptr;
    ps_decoder_t *ps = nullptr;

    ~Decoder()
    {
        if (ps)
            ps_free(ps);
        if (config)
            cmd_ln_free_r(config);
    }
};

namespace {

class Session final : public SpeechRecognitionSession
{
public:
    Session(std::shared_ptr<PocketSphinxRecognizer::Decoder> decoder, std::function<void(SpeechResult)> onResult)
        : m_decoder(std::move(decoder))
        , m_onResult(std::move(onResult))
        , m_queue(std::make_unique<ThreadQueue>(QStringLiteral("com.dravelin.speech")))
    {
        m_queue->enqueue([this] {
            std::lock_guard lock(m_decoder->mutex);
            m_started = ps_start_utt(m_decoder->ps) == 0;
        });
    }

    ~Session() override
    {
        cancel();
        m_queue.reset();
    }

    void append(const float *samples, size_t count) override
    {
        std::vector<int16> pcm(count);
        for (size_t i = 0; i < count; ++i)
            pcm[i] = static_cast<int16>(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f);
        m_queue->enqueue([this, pcm = std::move(pcm)] {
            if (m_cancelled || !m_started)
                return;
            std::lock_guard lock(m_decoder->mutex);
            ps_process_raw(m_decoder->ps, pcm.data(), pcm.size(), FALSE, FALSE);
            m_sinceHypothesis += pcm.size();
            if (m_sinceHypothesis >= kPartialEvery) {
                m_sinceHypothesis = 0;
                report(false);
            }
        });
    }

    void endAudio() override
    {
        m_queue->enqueue([this] {
            if (m_cancelled || !m_started)
                return;
            std::lock_guard lock(m_decoder->mutex);
            ps_end_utt(m_decoder->ps);
            m_started = false;
            report(true);
        });
    }

    void cancel() override
    {
        if (m_cancelled.exchange(true))
            return;
        // Waits for a job in progress; the ones after it see the flag.
        std::promise<void> done;
        m_queue->enqueue([this, &done] {
            std::lock_guard lock(m_decoder->mutex);
            if (m_started)
                ps_end_utt(m_decoder->ps);
            m_started = false;
            done.set_value();
        });
        done.get_future().wait();
    }

private:
    void report(bool isFinal)
    {
        int32 score = 0;
        const char *hyp = ps_get_hyp(m_decoder->ps, &score);
        const QString text = QString::fromUtf8(hyp ? hyp : "").trimmed();
        if (!isFinal && text == m_lastPartial)
            return;
        m_lastPartial = text;
        if (!m_cancelled)
            m_onResult(SpeechResult{text, isFinal, {}, QStringLiteral("en")});
    }

    std::shared_ptr<PocketSphinxRecognizer::Decoder> m_decoder;
    std::function<void(SpeechResult)> m_onResult;
    std::unique_ptr<ThreadQueue> m_queue;
    std::atomic<bool> m_cancelled{false};
    bool m_started = false;
    size_t m_sinceHypothesis = 0;
    QString m_lastPartial;
};

} // namespace

PocketSphinxRecognizer::PocketSphinxRecognizer(QString modelDir)
    : m_modelDir(modelDir.isEmpty() ? QStringLiteral(DRAVELIN_POCKETSPHINX_MODELDIR) : std::move(modelDir))
{}

PocketSphinxRecognizer::~PocketSphinxRecognizer() = default;

bool PocketSphinxRecognizer::isAvailable()
{
    if (m_decoder)
        return true;
    const QString base = m_modelDir + QStringLiteral("/en-us/");
    const QByteArray hmm = (base + QStringLiteral("en-us")).toUtf8();
    const QByteArray lm = (base + QStringLiteral("en-us.lm.bin")).toUtf8();
    const QByteArray dict = (base + QStringLiteral("cmudict-en-us.dict")).toUtf8();
    if (!QFileInfo::exists(QString::fromUtf8(hmm)) || !QFileInfo::exists(QString::fromUtf8(lm)))
        return false;
    auto decoder = std::make_shared<Decoder>();
    decoder->config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.constData(), "-lm", lm.constData(), "-dict",
                                  dict.constData(), "-logfn", "/dev/null", nullptr);
    if (!decoder->config)
        return false;
    decoder->ps = ps_init(decoder->config);
    if (!decoder->ps)
        return false;
    m_decoder = std::move(decoder);
    return true;
}

std::unique_ptr<SpeechRecognitionSession>
PocketSphinxRecognizer::startSession(std::function<void(SpeechResult)> onResult, const RecognitionHints &)
{
    if (!isAvailable())
        return nullptr;
    return std::make_unique<Session>(m_decoder, std::move(onResult));
}

} // namespace dravelin::nix
