// A live dictation end to end on this machine: the live capture on the fake
// microphone streams through the live transcription client into
// dravelin-server's live socket on a loopback port, and every sample captured
// (those from before the socket was ready too) reaches the speech engine.

#include "DravelinServer.h"
#include "account/TokenSource.h"
#include "audio/LiveDictationCapture.h"
#include "audio/MicCaptureSession.h"
#include "core/QtScheduler.h"
#include "core/UserDefaults.h"
#include "engines/SpeechEngine.h"
#include "stt/LiveTranscriptionClient.h"
#include "support/AudioFakes.h"
#include "support/FixedToken.h"
#include "support/HttpTestClient.h"
#include "support/LocalSignIn.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace dravelin;
using dravelin::test::FixedToken;
using namespace std::chrono_literals;

namespace {

// Hears how many samples it was given.
struct CountingEngine final : server::SpeechEngine
{
    QString name() const override { return QStringLiteral("counting"); }
    QCoro::Task<Expected<server::Recognized, QString>> transcribe(std::vector<float>, RecognitionHints) override
    {
        co_return server::Recognized{};
    }
    std::unique_ptr<server::SpeechStream> openStream(RecognitionHints,
                                                     std::function<void(const QString &)> partial) override
    {
        struct Stream final : server::SpeechStream
        {
            std::function<void(const QString &)> onPartial;
            size_t samples = 0;
            void append(const std::vector<float> &more) override
            {
                samples += more.size();
                onPartial(QStringLiteral("heard %1 samples").arg(samples));
            }
            QCoro::Task<Expected<server::Recognized, QString>> finish() override
            {
                co_return server::Recognized{QStringLiteral("heard %1 samples").arg(samples), {}};
            }
        };
        auto stream = std::make_unique<Stream>();
        stream->onPartial = std::move(partial);
        return stream;
    }
};

} // namespace

TEST(LiveCaptureServerTest, EveryCapturedSampleReachesTheServerAndTheFinalComesBack)
{
    QTemporaryDir dir;
    QtScheduler scheduler;
    server::ServerConfig config;
    config.port = 0;
    config.dataDir = dir.filePath(QStringLiteral("data"));
    auto created = server::DravelinServer::create(config, scheduler, std::make_unique<CountingEngine>());
    ASSERT_TRUE(created) << qPrintable(created.error());
    ASSERT_TRUE((*created)->listen());
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg((*created)->port());
    test::HttpTestClient http(base);
    FixedToken tokens;
    tokens.token = test::signInForAccessToken(http);
    ASSERT_FALSE(tokens.token->isEmpty());

    UserDefaults defaults(dir.filePath(QStringLiteral("settings.json")));
    defaults.set(QStringLiteral("cleanup.enabled"), false);
    test::FakeAudioBackend backend;
    MicCaptureSession session(QStringLiteral("dictation"), backend, scheduler, defaults, test::immediateQueues());
    QUrl endpoint(base);
    endpoint.setScheme(QStringLiteral("ws"));
    endpoint.setPath(QStringLiteral("/transcribe-stream"));
    LiveDictationCapture capture({endpoint, &tokens, LiveTranscriptionClient::factory(scheduler), {}}, scheduler,
                                 defaults);

    QStringList raws;
    int speech = 0;
    std::optional<LiveDictationCapture::Result> result;
    auto dictate = [&]() -> QCoro::Task<> {
        const auto started = co_await capture.start(session, std::nullopt, QUuid::createUuid(),
                                                    {{}, [&](QString raw) { raws << raw; }, [&] { ++speech; }});
        if (!started)
            co_return;
        backend.feedTone(1.0); // before the socket is ready: queued
        EXPECT_FALSE(capture.isStreaming());
        while (!capture.isStreaming())
            co_await scheduler.sleep(10ms);
        backend.feedTone(0.5);
        result = co_await capture.finish(4500ms);
    };
    auto running = dictate();
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 10000));

    EXPECT_EQ(result->text, QStringLiteral("heard 24000 samples"));
    EXPECT_FALSE(result->wavFallback);
    ASSERT_TRUE(result->recording);
    EXPECT_EQ(result->recording->size(), 44 + 24000 * 2);
    EXPECT_EQ(raws, QStringList{QStringLiteral("heard 24000 samples")});
    EXPECT_EQ(speech, 1);
}
