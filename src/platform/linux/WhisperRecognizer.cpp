#include "platform/linux/WhisperRecognizer.h"

#include "core/Log.h"
#include "core/Paths.h"
#include "platform/LongFormDecoding.h"
#include "platform/NoiseSuppression.h"
#include "platform/StreamingDecoder.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <whisper.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace dravelin::nix {

namespace {

// Below this RMS level a stretch of audio is treated as silence: Whisper
// invents text ("Thank you.") for silence, so it is never asked.
constexpr double kSilenceRms = 0.003;

// The encoder looks at the audio plus this much context (in 20 ms frames)
// instead of a whole 30 s window: a 5 s utterance decodes in about 350 ms
// instead of 830 ms, with the same word error rate on our held-out set.
// Much less context (below about 5 s) makes the decoder unreliable.
constexpr int kEncoderContextMargin = 256;
constexpr int kFullEncoderContext = 1500;

constexpr size_t kLeadIn = 16000 * 3 / 10; // 0.3 s

void quietLogs(ggml_log_level, const char *, void *) {}

} // namespace

QString WhisperRecognizer::defaultModelPath()
{
    const QString configured = qEnvironmentVariable("DRAVELIN_WHISPER_MODEL");
    if (!configured.isEmpty())
        return configured;
    const QString file = QStringLiteral("/ggml-%1.bin").arg(QLatin1String(kDefaultModel));
    const QStringList folders = paths::modelFolders();
    for (const QString &folder : folders) {
        if (QFileInfo::exists(folder + file))
            return folder + file;
    }
    return folders.front() + file;
}

QString WhisperRecognizer::modelPath(const QString &nameOrPath)
{
    if (nameOrPath.isEmpty())
        return defaultModelPath();
    if (nameOrPath.contains(u'/') || nameOrPath.endsWith(QLatin1String(".bin")))
        return nameOrPath;
    if (nameOrPath == QLatin1String(kDefaultModel) && qEnvironmentVariableIsSet("DRAVELIN_WHISPER_MODEL"))
        return defaultModelPath();
    const QString file = QStringLiteral("ggml-%1.bin").arg(nameOrPath);
    const QStringList folders = paths::modelFolders();
    for (const QString &folder : folders) {
        if (QFileInfo::exists(folder + u'/' + file))
            return folder + u'/' + file;
    }
    return folders.front() + u'/' + file;
}

QStringList WhisperRecognizer::installedModels()
{
    QStringList names;
    const QStringList folders = paths::modelFolders();
    for (const QString &folder : folders) {
        const QStringList files = QDir(folder).entryList({QStringLiteral("ggml-*.bin")}, QDir::Files, QDir::Name);
        for (const QString &file : files) {
            const QString name = file.mid(5, file.size() - 5 - 4);
            if (!names.contains(name))
                names << name;
        }
    }
    names.sort();
    return names;
}

struct WhisperRecognizer::Model
{
    QString path;
    int threads = 2;
    std::mutex mutex; // whisper_full is not reentrant on one context
    whisper_context *context = nullptr;
    bool loadTried = false;

    ~Model()
    {
        if (context)
            whisper_free(context);
    }

    // With `mutex` held.
    bool load()
    {
        if (loadTried)
            return context != nullptr;
        loadTried = true;
        if (!QFileInfo::exists(path))
            return false;
        whisper_log_set(quietLogs, nullptr);
        whisper_context_params params = whisper_context_default_params();
        params.use_gpu = false;
        context = whisper_init_from_file_with_params(path.toLocal8Bit().constData(), params);
        if (!context)
            logs::error(logs::streamingRecorder(), QStringLiteral("Whisper model failed to load: %1").arg(path));
        return context != nullptr;
    }

    DecodeOutcome decode(const std::vector<float> &samples, const RecognitionHints &hints, std::stop_token stop);
    // One piece of at most 30 s; with `mutex` held.
    DecodeOutcome decodePiece(const std::vector<float> &samples, const RecognitionHints &hints,
                              const LongFormPiece &how, const std::stop_token &stop);
};

int WhisperRecognizer::defaultThreads()
{
    return std::clamp(QThread::idealThreadCount(), 1, 8);
}

WhisperRecognizer::WhisperRecognizer(QString modelPath, int threads)
    : m_modelPath(std::move(modelPath))
    , m_model(std::make_shared<Model>())
{
    m_model->path = m_modelPath;
    m_model->threads = threads;
}

WhisperRecognizer::~WhisperRecognizer() = default;

QString WhisperRecognizer::engineName() const
{
    QString model = QFileInfo(m_modelPath).completeBaseName();
    if (model.startsWith(QLatin1String("ggml-")))
        model = model.mid(5);
    return QStringLiteral("whisper.cpp:") + model;
}

bool WhisperRecognizer::isInstalled() const
{
    return QFileInfo::exists(m_modelPath);
}

bool WhisperRecognizer::isAvailable()
{
    std::lock_guard lock(m_model->mutex);
    return m_model->load();
}

std::unique_ptr<SpeechRecognitionSession> WhisperRecognizer::startSession(std::function<void(SpeechResult)> onResult,
                                                                          const RecognitionHints &hints)
{
    auto decode = [model = m_model, hints](const std::vector<float> &window, std::stop_token stop) {
        return model->decode(window, hints, std::move(stop));
    };
    return std::make_unique<StreamingDecoder>(std::move(decode), std::move(onResult));
}

SpeechResult WhisperRecognizer::transcribe(const std::vector<float> &samples, const RecognitionHints &hints)
{
    const DecodeOutcome outcome = decode(samples, hints);
    return {joinSegments(outcome.segments), true, outcome.error, outcome.language};
}

DecodeOutcome WhisperRecognizer::decode(const std::vector<float> &samples, const RecognitionHints &hints,
                                        std::stop_token stop)
{
    return m_model->decode(samples, hints, std::move(stop));
}

bool WhisperRecognizer::isMultilingual()
{
    std::lock_guard lock(m_model->mutex);
    return m_model->load() && whisper_is_multilingual(m_model->context) != 0;
}

DecodeOutcome WhisperRecognizer::Model::decode(const std::vector<float> &samples, const RecognitionHints &hints,
                                               std::stop_token stop)
{
    std::lock_guard lock(mutex);
    if (!load())
        return {{}, QStringLiteral("no Whisper model at %1").arg(path), {}};
    const PieceDecode piece = [this, &hints](const std::vector<float> &audio, const LongFormPiece &how,
                                             const std::stop_token &pieceStop) {
        return decodePiece(audio, hints, how, pieceStop);
    };
    // Steady noise (hiss, a fan) is turned down first: in white noise at
    // 10 dB tiny.en then gets 38 % fewer words wrong. Voices in the
    // background are left alone: suppressing them takes words with them.
    if (judgeBackground(samples).worthSuppressing)
        return decodeLongForm(suppressNoise(samples), piece, std::move(stop));
    return decodeLongForm(samples, piece, std::move(stop));
}

DecodeOutcome WhisperRecognizer::Model::decodePiece(const std::vector<float> &samples, const RecognitionHints &hints,
                                                    const LongFormPiece &how, const std::stop_token &stop)
{
    double energy = 0;
    for (float s : samples)
        energy += static_cast<double>(s) * s;
    const double rms = samples.empty() ? 0 : std::sqrt(energy / static_cast<double>(samples.size()));
    if (rms < kSilenceRms)
        return {};

    // Whisper mishears words that start right at the first sample ("Hello"
    // became "The Lord") or stop at the last one: a moment of silence goes
    // on both sides. It also wants at least a second of audio.
    std::vector<float> audio(kLeadIn, 0.0f);
    audio.insert(audio.end(), samples.begin(), samples.end());
    audio.resize(std::max<size_t>(audio.size() + kLeadIn, 16000 + 1600), 0.0f);

    whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    params.n_threads = threads;
    params.print_progress = false;
    params.print_realtime = false;
    params.print_special = false;
    params.print_timestamps = false;
    params.translate = false;
    // An English-only model hears English; a multilingual one the language
    // asked for, or finds out which ("auto").
    const bool multilingual = whisper_is_multilingual(context) != 0;
    const QString wanted = (how.language.isEmpty() ? hints.language : how.language).trimmed().toLower();
    const QByteArray language = !multilingual ? QByteArray("en")
                                : wanted.isEmpty() || whisper_lang_id(wanted.toUtf8().constData()) < 0
                                    ? QByteArray("auto")
                                    : wanted.toUtf8();
    params.language = language.constData();
    params.no_context = true;
    params.suppress_blank = true;
    params.suppress_nst = true;
    params.no_speech_thold = 0.6f;
    // One pass, no retries at higher temperatures: on a window that ends
    // mid-word a retry chain cost 11-13 s instead of 0.5 s, and the held-out
    // set scores the same without it.
    // A second try at a piece of a long recording that looped or gave
    // nothing may fall back to sampling.
    params.temperature_inc = how.retry ? 0.2f : 0.0f;
    params.audio_ctx = std::min(kFullEncoderContext, static_cast<int>(audio.size() / 320) + kEncoderContextMargin);
    // A cancelled session's decode stops at the next step instead of running
    // to its end while the session waits to close.
    std::stop_token watched = stop;
    params.encoder_begin_callback = [](whisper_context *, whisper_state *, void *data) {
        return !static_cast<std::stop_token *>(data)->stop_requested();
    };
    params.encoder_begin_callback_user_data = &watched;
    params.abort_callback = [](void *data) { return static_cast<std::stop_token *>(data)->stop_requested(); };
    params.abort_callback_user_data = &watched;
    // The vocabulary, then the text just before this piece of a long
    // recording, as the decoder's prompt.
    QString promptText = hints.vocabulary.join(QStringLiteral(", "));
    if (!how.context.isEmpty())
        promptText = promptText.isEmpty() ? how.context : promptText + QStringLiteral(". ") + how.context;
    const QByteArray prompt = promptText.toUtf8();
    if (!prompt.isEmpty())
        params.initial_prompt = prompt.constData();
    if (whisper_full(context, params, audio.data(), static_cast<int>(audio.size())) != 0)
        return {{}, QStringLiteral("whisper.cpp could not decode the audio"), {}};
    DecodeOutcome outcome;
    if (multilingual) {
        const int detected = whisper_full_lang_id(context);
        if (detected >= 0)
            outcome.language = QString::fromLatin1(whisper_lang_str(detected));
    } else {
        outcome.language = QStringLiteral("en");
    }
    const int segments = whisper_full_n_segments(context);
    for (int i = 0; i < segments; ++i) {
        logs::debug(logs::streamingRecorder(), QStringLiteral("Whisper segment %1 [%2..%3] p(no speech)=%4: %5")
                                                   .arg(i)
                                                   .arg(whisper_full_get_segment_t0(context, i))
                                                   .arg(whisper_full_get_segment_t1(context, i))
                                                   .arg(whisper_full_get_segment_no_speech_prob(context, i), 0, 'f', 2)
                                                   .arg(QString::fromUtf8(whisper_full_get_segment_text(context, i))));
        // A segment Whisper itself thinks is not speech is dropped.
        if (whisper_full_get_segment_no_speech_prob(context, i) > 0.8f)
            continue;
        // Timestamps are in 10 ms steps.
        const auto t0 = static_cast<size_t>(std::max<int64_t>(0, whisper_full_get_segment_t0(context, i)));
        auto t1 = static_cast<size_t>(std::max<int64_t>(0, whisper_full_get_segment_t1(context, i)));
        // A segment that starts in the last second and ends beyond everything
        // the encoder saw is invented ("The" from 9.7 s to 33 s after a 10 s
        // window cut off mid-word). One that starts earlier is real speech
        // with a careless end (with a prompt, the whole utterance often comes
        // as one segment "ending" at 30 s): its end is the audio's.
        const size_t audioEnd = audio.size() / 160;
        if (t1 > audioEnd + kEncoderContextMargin * 2) {
            if (t0 + 100 >= audioEnd)
                continue;
            t1 = audioEnd;
        }
        const auto sample = [](size_t t) { return t * 160 > kLeadIn ? t * 160 - kLeadIn : 0; };
        outcome.segments.push_back(
            {sample(t0), sample(t1), QString::fromUtf8(whisper_full_get_segment_text(context, i)).trimmed()});
    }
    return outcome;
}

} // namespace dravelin::nix
