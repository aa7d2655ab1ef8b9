#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace dravelin {

// Where the backend lives and how the app identifies itself to it. The
// defaults point at the local dravelin-server; a config file beside the
// settings ($XDG_CONFIG_HOME/dravelin/backend.json) and then the environment
// (DRAVELIN_BASE_URL, DRAVELIN_FUNCTIONS_URL, DRAVELIN_API_KEY,
// DRAVELIN_OAUTH_CLIENT_ID) override them.
struct AppConstants
{
    QUrl baseURL = QUrl(QStringLiteral("http://127.0.0.1:54321"));
    QUrl functionsURL; // the host of the live socket; empty means baseURL's
    QByteArray publicApiKey = "dravelin-local-public-key";
    std::optional<QString> oauthClientID = QStringLiteral("dravelin-desktop");
    // Set when backend.json exists but cannot be used. The programs refuse
    // to run then: sessions must never go to a server the user did not choose.
    std::optional<QString> problem;

    static AppConstants load();
    static QString configFilePath();

    QUrl transcribeEndpoint() const { return endpoint("functions/v1/transcribe"); }
    QUrl cleanupEndpoint() const { return endpoint("functions/v1/cleanup"); }
    QUrl rewriteEndpoint() const { return endpoint("functions/v1/rewrite"); }
    QUrl askEndpoint() const { return endpoint("functions/v1/ask"); }
    QUrl usageEndpoint() const { return endpoint("functions/v1/usage"); }
    QUrl adminDashboardEndpoint() const { return endpoint("functions/v1/admin-dashboard"); }
    QUrl reportTranscriptionQualityEndpoint() const { return endpoint("functions/v1/report-transcription-quality"); }
    QUrl vocabularyTermsEndpoint() const { return endpoint("rest/v1/vocabulary_terms"); }
    QUrl attachRecordingAudioEndpoint() const { return endpoint("rest/v1/rpc/attach_recording_audio"); }
    QUrl authBaseURL() const { return endpoint("auth/v1/"); }
    // ws(s)://<functions host>/transcribe-stream
    QUrl liveTranscribeEndpoint() const;
    static QUrl oauthCallbackURL() { return QUrl(QStringLiteral("http://127.0.0.1:45821/oauth/callback")); }

private:
    QUrl endpoint(const char *path) const;
};

} // namespace dravelin
