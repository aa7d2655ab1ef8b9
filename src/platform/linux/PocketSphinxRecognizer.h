#pragma once

#include "platform/SpeechRecognizer.h"

#include <memory>

namespace dravelin::nix {

// Recognition with PocketSphinx and its US English model. Weak accuracy, but
// always installable; decoding runs on a thread of its own and reports a
// partial hypothesis about every half second of audio.
class PocketSphinxRecognizer final : public SpeechRecognizer
{
public:
    // `modelDir` holds en-us/en-us, en-us/en-us.lm.bin and en-us/cmudict-en-us.dict.
    explicit PocketSphinxRecognizer(QString modelDir = QString());
    ~PocketSphinxRecognizer() override;

    QString engineName() const override { return QStringLiteral("pocketsphinx"); }
    bool isAvailable() override;
    std::unique_ptr<SpeechRecognitionSession> startSession(std::function<void(SpeechResult)> onResult,
                                                           const RecognitionHints &hints) override;

    struct Decoder;

private:
    QString m_modelDir;
    std::shared_ptr<Decoder> m_decoder;
};

} // namespace dravelin::nix
