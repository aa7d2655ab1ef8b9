#include "stt/TranscriptionService.h"

#include "account/OwnedReply.h"
#include "account/TokenSource.h"
#include "core/LineSplitter.h"
#include "core/Log.h"
#include "core/Scheduler.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopeGuard>

#include <qcoro/qcoronetworkreply.h>
#include <qcoro/qcorosignal.h>

namespace dravelin {

namespace {

constexpr int kRequestTimeoutMs = 30000;
// The transfer timeout above ends only a silent line; a server that trickles
// bytes could hold an upload for ever. This bounds the whole of it.
constexpr Millis kUploadDeadline{120000};

void info(const QString &m)
{
    logs::info(logs::transcribe(), m);
}

void error(const QString &m)
{
    logs::error(logs::transcribe(), m);
}

QByteArray newBoundary()
{
    return "Boundary-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
}

QNetworkRequest uploadRequest(const QUrl &endpoint, const QString &token, const QByteArray &boundary, bool streaming)
{
    QNetworkRequest request(endpoint);
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary);
    if (streaming)
        request.setRawHeader("Accept", "application/x-ndjson");
    request.setTransferTimeout(kRequestTimeoutMs);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    return request;
}

int statusOf(QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() ? status.toInt() : -1;
}

// Aborts the upload once it has run for kUploadDeadline: it then fails as a
// transfer timeout does ("Operation canceled"). The wake holds the reply
// weakly, so one left behind by a finished upload does nothing.
Scheduler::WakeId abortAtDeadline(Scheduler &scheduler, QNetworkReply *reply)
{
    return scheduler.scheduleWake(kUploadDeadline, [guarded = QPointer<QNetworkReply>(reply)] {
        if (!guarded || !guarded->isRunning())
            return;
        error(QStringLiteral("Upload unfinished after %1 s; aborting").arg(kUploadDeadline.count() / 1000));
        guarded->abort();
    });
}

} // namespace

// ---- TranscriptionStream ----------------------------------------------------

struct TranscriptionStream::Waiter
{
    TranscriptionStream *stream;
    bool await_ready() const { return !stream->m_items.empty() || stream->m_ended; }
    void await_suspend(std::coroutine_handle<> h) { stream->m_waiter = h; }
    void await_resume() const {}
};

TranscriptionStream::~TranscriptionStream()
{
    cancel();
}

void TranscriptionStream::attach(QNetworkReply *reply)
{
    m_reply = reply;
}

void TranscriptionStream::cancel()
{
    if (m_reply && m_reply->isRunning())
        m_reply->abort();
}

void TranscriptionStream::wake()
{
    if (auto h = std::exchange(m_waiter, nullptr))
        h.resume();
}

void TranscriptionStream::push(Item item)
{
    if (m_ended)
        return;
    if (item)
        ++m_events;
    const bool failure = !item;
    m_items.push_back(std::move(item));
    if (failure)
        m_ended = true;
    wake();
}

void TranscriptionStream::end()
{
    m_ended = true;
    wake();
}

QCoro::Task<std::optional<TranscriptionStream::Item>> TranscriptionStream::next()
{
    QPointer self(this);
    co_await Waiter{this};
    if (!self || self->m_items.empty())
        co_return std::nullopt;
    Item item = std::move(self->m_items.front());
    self->m_items.pop_front();
    co_return item;
}

// ---- TranscriptionService ---------------------------------------------------

TranscriptionService::TranscriptionService(QUrl endpoint, TokenSource &tokens, Scheduler &scheduler, QObject *parent)
    : QObject(parent)
    , m_endpoint(std::move(endpoint))
    , m_tokens(tokens)
    , m_scheduler(scheduler)
    , m_network(new QNetworkAccessManager(this))
{}

TranscriptionService::~TranscriptionService() = default;

QCoro::Task<Expected<TranscriptionResponse, TranscriptionError>>
TranscriptionService::transcribe(TranscriptionRequest request)
{
    QPointer self(this);
    const auto token = co_await m_tokens.currentAccessToken();
    if (!self)
        co_return Unexpected{TranscriptionError::networkError(QStringLiteral("cancelled"))};
    if (!token || token->isEmpty()) {
        error(QStringLiteral("No access token available"));
        co_return Unexpected{TranscriptionError::notSignedIn()};
    }
    const QByteArray boundary = newBoundary();
    const Millis started = m_scheduler.monotonicNow();
    const OwnedReply reply(m_network->post(uploadRequest(m_endpoint, *token, boundary, false),
                                           transcriptionMultipartBody(request, boundary)));
    const Scheduler::WakeId deadline = abortAtDeadline(m_scheduler, reply.get());
    co_await reply.get();
    if (!self)
        co_return Unexpected{TranscriptionError::networkError(QStringLiteral("cancelled"))};
    m_scheduler.cancelWake(deadline);
    const qint64 elapsed = (m_scheduler.monotonicNow() - started).count();
    const int status = statusOf(reply.get());
    const QByteArray body = reply->readAll();
    if (status < 0) {
        const QString description =
            reply->error() != QNetworkReply::NoError ? reply->errorString() : QStringLiteral("No HTTP response");
        error(QStringLiteral("Network error: %1").arg(description));
        co_return Unexpected{TranscriptionError::networkError(description)};
    }
    if (status == 200) {
        auto decoded = TranscriptionResponse::fromJson(body);
        if (!decoded) {
            error(QStringLiteral("Decode failed: %1 body=%2").arg(decoded.error(), QString::fromUtf8(body).left(200)));
            co_return Unexpected{TranscriptionError::decoding(decoded.error())};
        }
        info(QStringLiteral("Transcribed in %1 ms via %2, cleaned=%3")
                 .arg(elapsed)
                 .arg(decoded->engine)
                 .arg(decoded->cleaned ? 1 : 0));
        co_return std::move(decoded.value());
    }
    const TranscriptionError failure = transcriptionErrorFor(status, body);
    if (status == 401)
        error(QStringLiteral("401 unauthorized"));
    else if (status == 502)
        error(QStringLiteral("502 provider failure: %1").arg(failure.message));
    else
        error(QStringLiteral("Unexpected status %1: %2").arg(status).arg(failure.body));
    co_return Unexpected{failure};
}

std::unique_ptr<TranscriptionStream> TranscriptionService::transcribeStreaming(TranscriptionRequest request)
{
    auto stream = std::make_unique<TranscriptionStream>();
    runStream(std::move(request), QPointer(stream.get()));
    return stream;
}

QCoro::Task<> TranscriptionService::runStream(TranscriptionRequest request, QPointer<TranscriptionStream> stream)
{
    QPointer self(this);
    Scheduler &scheduler = m_scheduler;
    const auto token = co_await m_tokens.currentAccessToken();
    if (!self || !stream)
        co_return;
    if (!token || token->isEmpty()) {
        error(QStringLiteral("No access token available (streaming)"));
        stream->push(Unexpected{TranscriptionError::notSignedIn()});
        co_return;
    }
    const QByteArray boundary = newBoundary();
    const Millis started = m_scheduler.monotonicNow();
    // Guarded: the network manager deletes its replies when the service goes.
    QPointer<QNetworkReply> reply = m_network->post(uploadRequest(m_endpoint, *token, boundary, true),
                                                    transcriptionMultipartBody(request, boundary));
    stream->attach(reply);
    // Forgotten however the stream ends, unless the service (and with it,
    // perhaps, the scheduler it was set on) is gone.
    const auto deadline = qScopeGuard([self, &scheduler, id = abortAtDeadline(scheduler, reply)] {
        if (self)
            scheduler.cancelWake(id);
    });
    LineSplitter splitter;
    // Lines are handed on as they arrive; the reply's own buffer holds the rest.
    auto deliverLines = [&](bool atEnd) {
        std::vector<QByteArray> lines = splitter.feed(reply->readAll());
        if (atEnd) {
            for (QByteArray &last : splitter.finish())
                lines.push_back(std::move(last));
        }
        for (const QByteArray &line : lines) {
            auto event = TranscriptionStreamEvent::fromJson(line);
            if (!event) {
                error(QStringLiteral("Stream decode failed: %1 line=%2").arg(event.error(), QString::fromUtf8(line)));
                continue;
            }
            info(QStringLiteral("Stream event %1 at %2 ms")
                     .arg(event->stage)
                     .arg((m_scheduler.monotonicNow() - started).count()));
            if (stream)
                stream->push(std::move(event.value()));
        }
    };
    bool headersChecked = false;
    for (;;) {
        const bool finished = reply->isFinished();
        // Data or the end; the end may come without a last readyRead, so
        // the wait is short and the loop looks again.
        if (!finished) {
            // Through the scheduler, not a signal awaiter with a timeout:
            // that one resumes this coroutine from inside its timer's signal,
            // and the frame (timer included) can end before the signal returns.
            std::stop_source arrived;
            const auto connection = QObject::connect(reply.data(), &QNetworkReply::readyRead, reply.data(),
                                                     [&arrived] { arrived.request_stop(); });
            co_await scheduler.sleep(std::chrono::milliseconds(100), arrived.get_token());
            QObject::disconnect(connection);
        }
        if (!self || !stream || !reply) {
            if (reply) {
                reply->abort();
                reply->deleteLater();
            }
            co_return;
        }
        const int status = statusOf(reply);
        if (!headersChecked && (status >= 0 || reply->isFinished())) {
            if (status != 200) {
                if (!reply->isFinished())
                    co_await reply.data();
                if (!self || !stream || !reply) {
                    if (reply)
                        reply->deleteLater();
                    co_return;
                }
                const int finalStatus = statusOf(reply);
                const QByteArray body = reply->readAll();
                if (finalStatus < 0) {
                    const QString description = reply->error() != QNetworkReply::NoError
                                                    ? reply->errorString()
                                                    : QStringLiteral("No HTTP response");
                    error(QStringLiteral("Streaming network error: %1").arg(description));
                    stream->push(Unexpected{TranscriptionError::networkError(description)});
                } else {
                    if (finalStatus == 401)
                        error(QStringLiteral("401 unauthorized (streaming)"));
                    stream->push(Unexpected{transcriptionErrorFor(finalStatus, body)});
                }
                reply->deleteLater();
                co_return;
            }
            headersChecked = true;
        }
        deliverLines(reply->isFinished());
        if (reply->isFinished())
            break;
    }
    if (reply->error() != QNetworkReply::NoError) {
        error(QStringLiteral("Streaming network error: %1").arg(reply->errorString()));
        stream->push(Unexpected{TranscriptionError::networkError(reply->errorString())});
    } else {
        info(QStringLiteral("Stream finished after %1 event(s)").arg(stream->eventCount()));
        stream->end();
    }
    reply->deleteLater();
}

void TranscriptionService::warmUp()
{
    if (m_warmingUp)
        return;
    m_warmingUp = true;
    runWarmUp();
}

QCoro::Task<> TranscriptionService::runWarmUp()
{
    QPointer self(this);
    QNetworkRequest request(m_endpoint);
    request.setTransferTimeout(10000);
    const Millis started = m_scheduler.monotonicNow();
    QNetworkReply *reply = m_network->sendCustomRequest(request, "OPTIONS");
    co_await reply;
    reply->deleteLater();
    if (!self)
        co_return;
    if (reply->error() != QNetworkReply::NoError && statusOf(reply) < 0)
        info(QStringLiteral("Warm-up failed (ignored): %1").arg(reply->errorString()));
    else
        info(QStringLiteral("Warm-up done in %1 ms (OPTIONS %2)")
                 .arg((m_scheduler.monotonicNow() - started).count())
                 .arg(statusOf(reply)));
    m_warmingUp = false;
}

} // namespace dravelin
