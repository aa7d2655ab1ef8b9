#pragma once

#include "llm/LanguageModel.h"

#include <QNetworkAccessManager>
#include <QUrl>

namespace dravelin::server {

// Any OpenAI-compatible chat-completions endpoint: POST <baseUrl>/chat/completions
// with the model's name, the messages, max_tokens and temperature 0. With
// `stream`, the reply is read as server-sent events ("data: {…}" lines,
// "data: [DONE]" at the end). 429 and 503 answers count as busy.
class OpenAiChatModel final : public LanguageModel
{
public:
    struct Settings
    {
        QUrl baseUrl; // e.g. http://127.0.0.1:8080/v1
        QString model;
        QByteArray apiKey; // sent as a bearer token when set
        bool stream = false;
    };

    OpenAiChatModel(Settings settings, Scheduler &scheduler);

    QString name() const override { return QStringLiteral("openai:") + m_settings.model; }
    QCoro::Task<Expected<Generation, GenerationFailure>> generate(GenerationRequest request) override;

    // The text of a reply body; why it has none.
    static Expected<Generation, QString> parseReply(const QByteArray &body, bool streamed);

private:
    Settings m_settings;
    Scheduler &m_scheduler;
    QNetworkAccessManager m_network;
};

} // namespace dravelin::server
