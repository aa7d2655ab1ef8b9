#include "text/CleanupService.h"

#include "core/AsyncEvent.h"
#include "core/Log.h"
#include "core/Scheduler.h"

#include <QPointer>

namespace dravelin {

namespace {

constexpr Millis kRequestTimeout{30000};

} // namespace

CleanupService::CleanupService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender, Scheduler &scheduler,
                               QObject *parent)
    : QObject(parent)
    , m_endpoint(std::move(endpoint))
    , m_tokens(tokens)
    , m_sender(sender)
    , m_scheduler(scheduler)
{}

void CleanupService::warmUp()
{
    if (m_warmingUp)
        return;
    m_warmingUp = true;
    m_tasks.track(runWarmUp());
}

QCoro::Task<> CleanupService::runWarmUp()
{
    // An OPTIONS request opens the connection so the real request skips the handshake.
    QPointer<CleanupService> self(this);
    HttpRequest request;
    request.method = "OPTIONS";
    request.url = m_endpoint;
    request.timeout = Millis(10000);
    AuthRequestSending &sender = m_sender;
    Scheduler &scheduler = m_scheduler;
    const Millis started = scheduler.monotonicNow();
    logs::info(logs::cleanup(), QStringLiteral("Warm-up started (OPTIONS)"));
    const auto reply = co_await sender.send(std::move(request));
    if (!self)
        co_return;
    if (!reply)
        logs::info(logs::cleanup(), QStringLiteral("Warm-up failed (ignored): %1").arg(reply.error().description));
    else
        logs::info(logs::cleanup(), QStringLiteral("Warm-up done in %1 ms (OPTIONS %2)")
                                        .arg((scheduler.monotonicNow() - started).count())
                                        .arg(reply->status));
    m_warmingUp = false;
}

QCoro::Task<Expected<CleanupResponse, CleanupError>> CleanupService::cleanup(CleanupRequest request)
{
    QPointer<CleanupService> self(this);
    const auto token = co_await m_tokens.currentAccessToken();
    if (!self || !token || token->isEmpty())
        co_return Unexpected(CleanupError::notSignedIn());
    HttpRequest http;
    http.method = "POST";
    http.url = m_endpoint;
    http.timeout = kRequestTimeout;
    http.headers.append(qMakePair(QByteArray("Authorization"), QByteArray("Bearer ") + token->toUtf8()));
    http.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    http.body = request.toJson();
    const Millis start = m_scheduler.monotonicNow();
    Scheduler &scheduler = m_scheduler;
    AuthRequestSending &sender = m_sender;
    const auto reply = co_await sender.send(std::move(http));
    if (!reply)
        co_return Unexpected(CleanupError::networkError(reply.error().description));
    if (reply->status != 200)
        co_return Unexpected(cleanupErrorFor(reply->status, reply->body));
    auto response = CleanupResponse::fromJson(reply->body);
    if (!response)
        co_return Unexpected(CleanupError::decoding(response.error()));
    logs::info(logs::cleanup(), QStringLiteral("Cleanup in %1 ms, changed=%2")
                                    .arg((scheduler.monotonicNow() - start).count())
                                    .arg(response->cleaned ? 1 : 0));
    co_return CleanupResponse(*response);
}

LocalCleanupService::LocalCleanupService(LanguageModel &model, CleanupFormatting &cloudFallback, Scheduler &scheduler,
                                         QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_cloud(cloudFallback)
    , m_scheduler(scheduler)
{}

QString LocalCleanupService::instructions(const CleanupRequest &request)
{
    QString text =
        QStringLiteral("You clean up voice-to-text transcriptions for a professional writing app.\n\nRULES:\n");
    if (!request.fillerWordsEnabled) {
        text += QStringLiteral("- Do NOT remove filler words or false starts.");
    } else if (request.fillerWords.isEmpty()) {
        text +=
            QStringLiteral("- Remove filler words: \"um\", \"uh\", \"like\", \"you know\", and obvious false starts.");
    } else {
        QStringList words;
        for (const QString &word : request.fillerWords) {
            QString w = word;
            while (!w.isEmpty() && (w.front() == u' ' || w.front() == u'\t'))
                w.remove(0, 1);
            while (!w.isEmpty() && (w.back() == u' ' || w.back() == u'\t'))
                w.chop(1);
            if (!w.isEmpty())
                words << w.toLower();
        }
        text += QStringLiteral("- Remove these filler words/sounds (case-insensitive): ") +
                words.join(QStringLiteral(", ")) + QStringLiteral(". Also remove obvious false starts.");
    }
    text += QStringLiteral(
        "\n- Fix obvious grammar and punctuation.\n- Preserve the speaker's voice, intent, and specific word "
        "choices.\n- Output ONLY the cleaned text. No preamble, no explanation, no quotes.\n\nLIST FORMATTING "
        "(important):\nIf the speaker uses 2+ ordinal markers (\"first, second, third...\", \"one, two, "
        "three...\", \"a, b, c...\"), ALWAYS convert to a numbered list on separate lines.\n\nExample input: "
        "\"today I have three things first review the PR second write tests third ship it\"\nExample "
        "output:\nToday I have three things:\n1. Review the PR\n2. Write tests\n3. Ship it");
    if (request.appBundleID)
        text += QStringLiteral("\nThe user is currently typing in: ") + *request.appBundleID;
    return text;
}

QCoro::Task<Expected<QString, QString>> LocalCleanupService::respondWithin(QString instructions, QString prompt)
{
    // The model and a timer race; whichever ends first decides, exactly once.
    struct Race
    {
        AsyncEvent decided;
        std::optional<Expected<QString, QString>> outcome;
        std::stop_source timer;
    };
    auto race = std::make_shared<Race>();
    auto model = [](std::shared_ptr<Race> r, LanguageModel &m, QString i, QString p) -> QCoro::Task<> {
        auto answer = co_await m.respond(std::move(i), std::move(p));
        if (r->decided.isSet())
            co_return; // too late: the timer already answered
        r->outcome = std::move(answer);
        r->timer.request_stop();
        r->decided.set();
    };
    auto timer = [](std::shared_ptr<Race> r, Scheduler &s) -> QCoro::Task<> {
        const bool elapsed = co_await s.sleep(kTimeLimit, r->timer.get_token());
        if (!elapsed || r->decided.isSet())
            co_return;
        logs::info(logs::cleanupLocal(),
                   QStringLiteral("On-device cleanup timed out after %1s").arg(kTimeLimit.count() / 1000));
        r->outcome = Unexpected(QStringLiteral("timed out"));
        r->decided.set();
    };
    m_tasks.track(timer(race, m_scheduler));
    m_tasks.track(model(race, m_model, std::move(instructions), std::move(prompt)));
    co_await race->decided.wait();
    co_return Expected<QString, QString>(*race->outcome);
}

QCoro::Task<Expected<CleanupResponse, CleanupError>> LocalCleanupService::cleanup(CleanupRequest request)
{
    CleanupFormatting &cloud = m_cloud;
    if (const auto reason = m_model.unavailableReason()) {
        logs::info(logs::cleanupLocal(),
                   QStringLiteral("On-device model unavailable (%1), using cloud cleanup").arg(logs::priv(*reason)));
        co_return co_await cloud.cleanup(std::move(request));
    }
    const Millis start = m_scheduler.monotonicNow();
    Scheduler &scheduler = m_scheduler;
    const auto answer = co_await respondWithin(instructions(request), request.text);
    if (!answer) {
        logs::info(
            logs::cleanupLocal(),
            QStringLiteral("On-device cleanup failed, falling back to cloud: %1").arg(logs::priv(answer.error())));
        co_return co_await cloud.cleanup(std::move(request));
    }
    const QString result = answer->trimmed();
    if (result.isEmpty()) {
        // A blank reply is no reply: the transcript stays as it was.
        logs::info(logs::cleanupLocal(),
                   QStringLiteral("Local cleanup in %1 ms returned nothing; keeping the transcript")
                       .arg((scheduler.monotonicNow() - start).count()));
        CleanupResponse response;
        response.text = request.text;
        response.raw = request.text;
        response.cleaned = false;
        co_return response;
    }
    const bool changed = result != request.text.trimmed();
    logs::info(logs::cleanupLocal(), QStringLiteral("Local cleanup in %1 ms, changed=%2")
                                         .arg((scheduler.monotonicNow() - start).count())
                                         .arg(changed ? 1 : 0));
    CleanupResponse response;
    response.text = result;
    response.raw = request.text;
    response.cleaned = changed;
    co_return response;
}

} // namespace dravelin
