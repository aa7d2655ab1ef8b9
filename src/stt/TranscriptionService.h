#pragma once

#include "stt/Transcribing.h"
#include "stt/TranscriptionTypes.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <coroutine>
#include <deque>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace dravelin {

class Scheduler;
class TokenSource;

// The events of one streaming upload, in order. `next()` waits for the next
// one; an error ends the stream; nothing means it ended normally. Dropping the
// stream aborts the transfer.
class TranscriptionStream : public QObject
{
    Q_OBJECT
public:
    using Item = Expected<TranscriptionStreamEvent, TranscriptionError>;

    explicit TranscriptionStream(QObject *parent = nullptr) : QObject(parent) {}
    ~TranscriptionStream() override;

    QCoro::Task<std::optional<Item>> next();
    void cancel();

    // Used by the service while the transfer runs.
    void attach(QNetworkReply *reply);
    void push(Item item);
    void end();
    int eventCount() const { return m_events; }

private:
    struct Waiter;
    void wake();

    QPointer<QNetworkReply> m_reply;
    std::deque<Item> m_items;
    bool m_ended = false;
    int m_events = 0;
    std::coroutine_handle<> m_waiter;
};

// Uploads a finished recording to the transcribe function: one JSON reply, or
// a stream of NDJSON events (raw text first, cleaned text after).
class TranscriptionService final : public QObject, public Transcribing
{
    Q_OBJECT
public:
    TranscriptionService(QUrl endpoint, TokenSource &tokens, Scheduler &scheduler, QObject *parent = nullptr);
    ~TranscriptionService() override;

    QCoro::Task<Expected<TranscriptionResponse, TranscriptionError>> transcribe(TranscriptionRequest request) override;
    // Returns at once; the events follow on the stream.
    std::unique_ptr<TranscriptionStream> transcribeStreaming(TranscriptionRequest request) override;
    void warmUp() override;

private:
    QCoro::Task<> runStream(TranscriptionRequest request, QPointer<TranscriptionStream> stream);
    QCoro::Task<> runWarmUp();

    QUrl m_endpoint;
    TokenSource &m_tokens;
    Scheduler &m_scheduler;
    QNetworkAccessManager *m_network;
    bool m_warmingUp = false;
};

} // namespace dravelin
