#pragma once

#include "platform/SpeechRecognizer.h"
#include "platform/StreamingDecoder.h"

#include <QStringList>

#include <memory>

namespace dravelin::nix {

// Speech recognition with whisper.cpp on a ggml Whisper model. A session
// streams: partial text while audio comes in, the final text soon after the
// audio ends (see StreamingDecoder); one decode runs at a time per model.
// Silence gives no text.
class WhisperRecognizer final : public SpeechRecognizer
{
public:
    static constexpr const char *kDefaultModel = "tiny.en";

    // The model file to use: $DRAVELIN_WHISPER_MODEL, else the one the
    // build converted ($XDG_DATA_HOME/dravelin/models/ggml-tiny.en.bin).
    static QString defaultModelPath();
    // A model by name ("base": $XDG_DATA_HOME/dravelin/models/ggml-base.bin),
    // or a path to a model file as given. Empty: defaultModelPath().
    static QString modelPath(const QString &nameOrPath);
    // The names of the models installed in the models folder, sorted.
    static QStringList installedModels();

    // Decoding threads: every core up to eight, since one decode at a time
    // runs per model and a dictation waits for it (beyond eight whisper.cpp
    // gains little and hyper-threads cost more than they give).
    static int defaultThreads();

    explicit WhisperRecognizer(QString modelPath = defaultModelPath(), int threads = defaultThreads());
    ~WhisperRecognizer() override;

    QString engineName() const override;
    // Loads the model on first call (tens of megabytes, a fraction of a second).
    bool isAvailable() override;
    // Whether the model file is there, without loading it.
    bool isInstalled() const;
    std::unique_ptr<SpeechRecognitionSession> startSession(std::function<void(SpeechResult)> onResult,
                                                           const RecognitionHints &hints) override;

    // Decodes a whole utterance synchronously (callers keep it off the main
    // thread); the vocabulary becomes the initial prompt.
    SpeechResult transcribe(const std::vector<float> &samples, const RecognitionHints &hints = {});
    // The same, as timed segments; gives up early once `stop` is requested.
    DecodeOutcome decode(const std::vector<float> &samples, const RecognitionHints &hints, std::stop_token stop = {});
    // Whether the model knows more languages than English (loads it).
    bool isMultilingual();

private:
    // The loaded model, shared with the sessions' workers so that it outlives
    // any decode still finishing after its session was cancelled.
    struct Model;
    QString m_modelPath;
    std::shared_ptr<Model> m_model;
};

} // namespace dravelin::nix
