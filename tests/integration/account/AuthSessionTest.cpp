// The auth session against the real dravelin-server: browser sign-in with the
// consent page answered over HTTP, transcription with the session's token,
// refresh ahead of expiry, and a session the server revoked.

#include "DravelinServer.h"
#include "account/AppConstants.h"
#include "account/AuthService.h"
#include "account/LocalConsentBrowser.h"
#include "account/NetworkRequestSender.h"
#include "audio/AACFileWriter.h"
#include "audio/Pcm.h"
#include "core/QtScheduler.h"
#include "output/RecordingUploader.h"
#include "stt/TranscriptionService.h"
#include "support/HttpTestClient.h"
#include "support/LogCapture.h"
#include "support/Speech.h"

#include <QTemporaryDir>

#include <qcoro/qcorotask.h>

#include <QTcpServer>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

class AuthSessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server::ServerConfig config;
        config.port = 0;
        config.dataDir = m_data.path();
        // Inside the client's 300 s margin: every use refreshes first.
        config.accessTokenSeconds = 200;
        config.retainRecordings = true;
        auto created = server::DravelinServer::create(config, scheduler);
        ASSERT_TRUE(created);
        m_server = std::move(*created);
        ASSERT_TRUE(m_server->listen());
        baseURL = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()));
        AuthService::Config authConfig{baseURL, "dravelin-local-public-key", QStringLiteral("dravelin-desktop"),
                                       QUrl(QStringLiteral("http://127.0.0.1:45879/oauth/callback")),
                                       std::chrono::seconds(30)};
        auth = std::make_unique<AuthService>(authConfig, sender, keychain, browser, scheduler);
        QCoro::waitFor(auth->load());
    }

    QtScheduler scheduler;
    QTemporaryDir m_data;
    std::unique_ptr<server::DravelinServer> m_server;
    QUrl baseURL;
    NetworkRequestSender sender;
    InMemorySessionStore keychain;
    LocalConsentBrowser browser{QStringLiteral("ada@example.com")};
    std::unique_ptr<AuthService> auth;
    test::LogCapture logs;
};

TEST_F(AuthSessionTest, SignInTranscribeRefreshAndRevocation)
{
    // Another sign-in holds the usual callback port: the next one is used.
    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::LocalHost, 45879));
    const auto signedIn = QCoro::waitFor(auth->signInViaBrowser());
    ASSERT_TRUE(signedIn) << qPrintable(signedIn.error().description());
    EXPECT_TRUE(
        logs.has(QStringLiteral("auth"), QStringLiteral("Sign-in callback port 45879 is busy — trying the next")));
    busy.close();
    ASSERT_TRUE(auth->user());
    EXPECT_EQ(auth->user()->email, QStringLiteral("ada@example.com"));
    EXPECT_EQ(auth->sessionGrant(), SessionGrant::oauth);
    const auto stored = StoredSession::decode(keychain.items.at(QStringLiteral("auth_session_v2")));
    ASSERT_TRUE(stored);

    // The token expires in 200 s, so the client refreshes before handing it out.
    const auto token = QCoro::waitFor(auth->currentAccessToken());
    ASSERT_TRUE(token);
    EXPECT_TRUE(logs.has(QStringLiteral("auth"), QStringLiteral("Access token near expiry — refreshing before use")));
    EXPECT_TRUE(logs.has(QStringLiteral("auth"), QStringLiteral("OAuth token refreshed")));
    const auto rotated = StoredSession::decode(keychain.items.at(QStringLiteral("auth_session_v2")));
    EXPECT_NE(rotated->refreshToken, stored->refreshToken);

    EXPECT_TRUE(QCoro::waitFor(auth->refreshCurrentUser()));
    EXPECT_EQ(auth->user()->email, QStringLiteral("ada@example.com"));

    // Signed out elsewhere: the server revokes every refresh token, and the
    // next refresh signs this client out too.
    test::HttpTestClient http(baseURL.toString());
    const auto current = QCoro::waitFor(auth->currentAccessToken());
    ASSERT_TRUE(current);
    const auto logout =
        http.send("POST", QStringLiteral("/auth/v1/logout"), {},
                  {{"apikey", "dravelin-local-public-key"}, {"Authorization", "Bearer " + current->toUtf8()}});
    ASSERT_EQ(logout.status, 204);
    QCoro::waitFor(auth->refreshAccessToken());
    EXPECT_FALSE(auth->isSignedIn());
    EXPECT_TRUE(keychain.items.empty());
    EXPECT_TRUE(
        logs.has(QStringLiteral("auth"), QStringLiteral("OAuth refresh rejected by auth server; clearing session")));
    EXPECT_FALSE(QCoro::waitFor(auth->currentAccessToken()));
}

TEST_F(AuthSessionTest, ARecordingIsUploadedAndAttachedWhereTheServerAsked)
{
    ASSERT_TRUE(QCoro::waitFor(auth->signInViaBrowser()));
    QTemporaryDir dir;
    TranscriptionRequest request;
    // A capture as the app records it: 16 kHz mono 16-bit WAV.
    const auto samples =
        decodeAudio(test::synthesizeSpeech(dir.filePath(QStringLiteral("s.wav")), QStringLiteral("Hello world.")));
    ASSERT_TRUE(samples);
    request.audio = WAVWrapper::wrap(pcm16(samples->data(), samples->size()), 16000);
    request.clientRecordingId = QUuid::createUuid();
    AppConstants constants;
    constants.baseURL = baseURL;
    TranscriptionService transcription(constants.transcribeEndpoint(), *auth, scheduler);
    const auto reply = QCoro::waitFor(transcription.transcribe(request));
    ASSERT_TRUE(reply) << qPrintable(reply.error().description());
    ASSERT_TRUE(reply->retainRecording);
    ASSERT_TRUE(reply->recordingUploadUrl && reply->recordingObjectKey);
    EXPECT_TRUE(reply->recordingObjectKey->startsWith(auth->user()->id + u'/'));

    RecordingUploader uploader(*auth, constants.attachRecordingAudioEndpoint(), "dravelin-local-public-key", sender,
                               scheduler);
    EXPECT_TRUE(QCoro::waitFor(uploader.uploadNow(request.audio, *request.clientRecordingId,
                                                  QUrl(*reply->recordingUploadUrl), *reply->recordingObjectKey)));
    QFile stored(m_data.filePath(QStringLiteral("recordings/") + *reply->recordingObjectKey));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.read(8).mid(4), "ftyp");
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("recording-upload"),
                               QStringLiteral("⏱ recording uploaded off the dictation path")));

    // The upload URL worked once; a recording id the server never saw cannot be attached.
    EXPECT_FALSE(QCoro::waitFor(uploader.uploadNow(request.audio, *request.clientRecordingId,
                                                   QUrl(*reply->recordingUploadUrl), *reply->recordingObjectKey)));
    EXPECT_TRUE(logs.has(QStringLiteral("recording-upload"), QStringLiteral("Recording upload rejected (HTTP 403)")));
}

TEST_F(AuthSessionTest, ADeniedOrAbandonedBrowserSignInLeavesNoSession)
{
    // Nothing answers the consent page at this address: the browser gives up
    // and the sign-in is cancelled rather than left hanging.
    LocalConsentBrowser lost(QStringLiteral("ada@example.com"));
    AuthService::Config config{QUrl(QStringLiteral("http://127.0.0.1:9")), "k", QStringLiteral("dravelin-desktop"),
                               QUrl(QStringLiteral("http://127.0.0.1:45875/oauth/callback")), std::chrono::seconds(30)};
    AuthService stranded(config, sender, keychain, lost, scheduler);
    QObject::connect(&lost, &LocalConsentBrowser::failed, &stranded, &AuthService::cancelSignIn);
    const auto result = QCoro::waitFor(stranded.signInViaBrowser());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, AuthError::Kind::browserLoginCancelled);
    EXPECT_FALSE(stranded.isSignedIn());
    EXPECT_TRUE(keychain.items.empty());
}

} // namespace
