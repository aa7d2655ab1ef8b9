#include "platform/linux/WhisperRecognizer.h"

#include "core/Log.h"
#include "core/Paths.h"

#include <QFileInfo>

#include <whisper.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace dravelin::nix {

namespace {

// Below this RMS level a stretch of audio is treated as silence: Whisper
// invents text ("Thank you.") for silence, so it is never asked.
constexpr double kSilenceRms = 0.003;

void quietLogs(ggml_log_level, const char *, void *) {}

class WhisperSession final : public SpeechRecognitionSession
{
public:
    WhisperSession(WhisperRecognizer &recognizer, std::function<void(SpeechResult)> onResult)
        : m_recognizer(recognizer)
        , m_onResult(std::move(onResult))
    {}
    ~WhisperSession() override { cancel(); }
    void append(const float *samples, size_t count) override
    {
        std::lock_guard lock(m_mutex);
        m_samples.insert(m_samples.end(), samples, samples + count);
    }
    void endAudio() override
    {
        std::lock_guard lock(m_mutex);
        if (m_worker.joinable())
            return;
        m_worker = std::thread([this, samples = m_samples] {
            SpeechResult result = m_recognizer.transcribe(samples);
            std::lock_guard guard(m_mutex);
            if (!m_cancelled && m_onResult)
                m_onResult(result);
        });
    }
    void cancel() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_cancelled = true;
        }
        if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id())
            m_worker.join();
    }

private:
    WhisperRecognizer &m_recognizer;
    std::function<void(SpeechResult)> m_onResult;
    std::mutex m_mutex;
    std::vector<float> m_samples;
    std::thread m_worker;
    bool m_cancelled = false;
};

} // namespace

QString WhisperRecognizer::defaultModelPath()
{
    const QString configured = qEnvironmentVariable("DRAVELIN_WHISPER_MODEL");
    if (!configured.isEmpty())
        return configured;
    const QString inData = paths::dataDir() + QStringLiteral("/models/ggml-tiny.en.bin");
    if (QFileInfo::exists(inData))
        return inData;
#ifdef DRAVELIN_DEFAULT_WHISPER_MODEL
    return QStringLiteral(DRAVELIN_DEFAULT_WHISPER_MODEL);
#else
    return inData;
#endif
}

WhisperRecognizer::WhisperRecognizer(QString modelPath, int threads)
    : m_modelPath(std::move(modelPath))
    , m_threads(threads)
{}

WhisperRecognizer::~WhisperRecognizer()
{
    if (m_context)
        whisper_free(m_context);
}

QString WhisperRecognizer::engineName() const
{
    QString model = QFileInfo(m_modelPath).completeBaseName();
    if (model.startsWith(QLatin1String("ggml-")))
        model = model.mid(5);
    return QStringLiteral("whisper.cpp:") + model;
}

bool WhisperRecognizer::load()
{
    if (m_loadTried)
        return m_context != nullptr;
    m_loadTried = true;
    if (!QFileInfo::exists(m_modelPath))
        return false;
    whisper_log_set(quietLogs, nullptr);
    whisper_context_params params = whisper_context_default_params();
    params.use_gpu = false;
    m_context = whisper_init_from_file_with_params(m_modelPath.toLocal8Bit().constData(), params);
    if (!m_context)
        logs::error(logs::streamingRecorder(), QStringLiteral("Whisper model failed to load: %1").arg(m_modelPath));
    return m_context != nullptr;
}

bool WhisperRecognizer::isAvailable()
{
    std::lock_guard lock(m_mutex);
    return load();
}

std::unique_ptr<SpeechRecognitionSession> WhisperRecognizer::startSession(std::function<void(SpeechResult)> onResult)
{
    return std::make_unique<WhisperSession>(*this, std::move(onResult));
}

SpeechResult WhisperRecognizer::transcribe(const std::vector<float> &samples, const QStringList &vocabulary)
{
    std::lock_guard lock(m_mutex);
    if (!load())
        return {QString(), true, QStringLiteral("no Whisper model at %1").arg(m_modelPath)};
    double energy = 0;
    for (float s : samples)
        energy += static_cast<double>(s) * s;
    const double rms = samples.empty() ? 0 : std::sqrt(energy / static_cast<double>(samples.size()));
    if (rms < kSilenceRms)
        return {QString(), true, {}};

    // Whisper wants at least a second of audio; pad short utterances with silence.
    std::vector<float> audio = samples;
    if (audio.size() < 16000 + 1600)
        audio.resize(16000 + 1600, 0.0f);

    whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    params.n_threads = m_threads;
    params.print_progress = false;
    params.print_realtime = false;
    params.print_special = false;
    params.print_timestamps = false;
    params.translate = false;
    params.language = "en";
    params.no_context = true;
    params.suppress_blank = true;
    params.suppress_nst = true;
    params.no_speech_thold = 0.6f;
    const QByteArray prompt = vocabulary.join(QStringLiteral(", ")).toUtf8();
    if (!prompt.isEmpty())
        params.initial_prompt = prompt.constData();
    if (whisper_full(m_context, params, audio.data(), static_cast<int>(audio.size())) != 0)
        return {QString(), true, QStringLiteral("whisper.cpp could not decode the audio")};
    QString text;
    const int segments = whisper_full_n_segments(m_context);
    for (int i = 0; i < segments; ++i) {
        // A segment Whisper itself thinks is not speech is dropped.
        if (whisper_full_get_segment_no_speech_prob(m_context, i) > 0.8f)
            continue;
        text += QString::fromUtf8(whisper_full_get_segment_text(m_context, i));
    }
    return {text.trimmed(), true, {}};
}

} // namespace dravelin::nix
