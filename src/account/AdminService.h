#pragma once

#include "account/AdminDashboardData.h"
#include "account/AuthRequestSending.h"
#include "account/TokenSource.h"

#include <QObject>
#include <QUrl>

#include <optional>

namespace dravelin {

// One request to the administrators' function; absent values are left out
// of the body.
struct AdminRequest
{
    QString action;
    std::optional<QString> userId;
    std::optional<bool> enabled;
    std::optional<QString> transcriptionId;
    std::optional<AdminTranscriptionQualityCategory> qualityCategory;
    std::optional<QString> qualityReason;

    static AdminRequest dashboard() { return {QStringLiteral("dashboard"), {}, {}, {}, {}, {}}; }
    static AdminRequest setUserEnabled(QString userId, bool enabled)
    {
        return {QStringLiteral("set_user_enabled"), std::move(userId), enabled, {}, {}, {}};
    }
    static AdminRequest deleteUser(QString userId)
    {
        return {QStringLiteral("delete_user"), std::move(userId), {}, {}, {}, {}};
    }
    static AdminRequest setRecordingQuality(QString transcriptionId, AdminTranscriptionQualityCategory category,
                                            std::optional<QString> reason = std::nullopt)
    {
        return {
            QStringLiteral("set_recording_quality"), {}, {}, std::move(transcriptionId), category, std::move(reason)};
    }
    static AdminRequest recordingAudio(QString transcriptionId)
    {
        return {QStringLiteral("recording_audio"), {}, {}, std::move(transcriptionId), {}, {}};
    }

    json::Json toJson() const;
};

struct AdminServiceError
{
    enum class Kind {
        accessDenied,
        server,
        decoding,
        network,
        notAuthenticated
    };
    Kind kind = Kind::network;
    int status = 0;
    QString message;

    QString errorDescription() const;
};

// The client of the backend's administrators' function: the dashboard, and
// the actions on accounts and recordings. Publishes the last dashboard, a
// loading flag, the account an action is running for (one at a time) and
// the last failure's text, for the screens. Main thread only.
class AdminService final : public QObject
{
    Q_OBJECT
public:
    AdminService(QUrl endpoint, TokenSource &tokens, AuthRequestSending &sender, QByteArray apiKey,
                 QObject *parent = nullptr);

    const std::optional<AdminDashboardData> &data() const { return m_data; }
    bool isLoading() const { return m_loading; }
    const std::optional<QString> &actionUserID() const { return m_actionUserID; }
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }

    // Loads the dashboard into data(); a failure keeps the previous one and
    // sets errorMessage().
    QCoro::Task<> refresh();
    // Runs one mutating action, then refreshes; false (sending nothing) while
    // another action runs, or when it failed.
    QCoro::Task<bool> mutate(QString userID, AdminRequest request);
    // The playable link of a recording's audio; nothing when it has none.
    QCoro::Task<Expected<std::optional<QUrl>, AdminServiceError>> recordingAudioURL(QString transcriptionID);

Q_SIGNALS:
    void dataChanged();
    void isLoadingChanged();
    void actionUserIDChanged();
    void errorMessageChanged();

private:
    QCoro::Task<Expected<json::Json, AdminServiceError>> invoke(AdminRequest request);
    void present(const AdminServiceError &error);
    void setLoading(bool loading);
    void setActionUserID(std::optional<QString> id);
    void setErrorMessage(std::optional<QString> message);

    QUrl m_endpoint;
    TokenSource &m_tokens;
    AuthRequestSending &m_sender;
    QByteArray m_apiKey;
    std::optional<AdminDashboardData> m_data;
    bool m_loading = false;
    std::optional<QString> m_actionUserID;
    std::optional<QString> m_errorMessage;
};

} // namespace dravelin
