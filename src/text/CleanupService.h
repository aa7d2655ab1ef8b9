#pragma once

#include "account/AuthRequestSending.h"
#include "account/TokenSource.h"
#include "core/Tasks.h"
#include "text/CleanupFormatting.h"

#include <QObject>
#include <QUrl>

namespace dravelin {

class Scheduler;

// The backend's cleanup function: raw transcript in, tidied text out.
class CleanupService final : public QObject, public CleanupFormatting
{
    Q_OBJECT
public:
    CleanupService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender, Scheduler &scheduler,
                   QObject *parent = nullptr);

    void warmUp() override;
    QCoro::Task<Expected<CleanupResponse, CleanupError>> cleanup(CleanupRequest request) override;

private:
    QCoro::Task<> runWarmUp();

    QUrl m_endpoint;
    TokenSource &m_tokens;
    AuthRequestSending &m_sender;
    Scheduler &m_scheduler;
    TaskTracker m_tasks;
    bool m_warmingUp = false;
};

// The system's on-device language model, where the platform has one.
class LanguageModel
{
public:
    virtual ~LanguageModel() = default;
    // Why the model cannot be used, or nothing when it can.
    virtual std::optional<QString> unavailableReason() const = 0;
    // A fresh session with `instructions` answering `prompt`.
    virtual QCoro::Task<Expected<QString, QString>> respond(QString instructions, QString prompt) = 0;
};

// Linux has no system language model (yet): every call takes the cloud path.
class UnavailableLanguageModel final : public LanguageModel
{
public:
    std::optional<QString> unavailableReason() const override
    {
        return QStringLiteral("no system language model on this platform");
    }
    QCoro::Task<Expected<QString, QString>> respond(QString, QString) override
    {
        co_return Unexpected(QStringLiteral("unavailable"));
    }
};

// Cleans up with the on-device model within 8 seconds, falling back to the
// cloud cleaner when the model is missing, fails or is too slow.
class LocalCleanupService final : public QObject, public CleanupFormatting
{
    Q_OBJECT
public:
    static constexpr Millis kTimeLimit{8000};

    LocalCleanupService(LanguageModel &model, CleanupFormatting &cloudFallback, Scheduler &scheduler,
                        QObject *parent = nullptr);

    void warmUp() override { m_cloud.warmUp(); }
    QCoro::Task<Expected<CleanupResponse, CleanupError>> cleanup(CleanupRequest request) override;

    static QString instructions(const CleanupRequest &request);
    TaskTracker &taskTracker() { return m_tasks; }

private:
    QCoro::Task<Expected<QString, QString>> respondWithin(QString instructions, QString prompt);

    LanguageModel &m_model;
    CleanupFormatting &m_cloud;
    Scheduler &m_scheduler;
    TaskTracker m_tasks;
};

} // namespace dravelin
