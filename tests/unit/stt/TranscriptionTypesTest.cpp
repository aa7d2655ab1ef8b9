#include "stt/TranscriptionTypes.h"

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

const QUuid kId = QUuid::fromString(QStringLiteral("{6f0c2a9e-1b2c-4d3e-8f40-5a6b7c8d9e0f}"));

} // namespace

TEST(TranscriptionMultipartTest, FullRequestIsExactlyTheExpectedBytes)
{
    TranscriptionRequest r;
    r.audio = QByteArray("\x00\x01m4a", 5);
    r.durationMs = 1234;
    r.appBundleID = QStringLiteral("org.example.Editor");
    r.cleanupEnabled = true;
    r.streamCleanup = true;
    r.fillerWordsEnabled = true;
    r.fillerWords = {QStringLiteral("um"), QStringLiteral("you know")};
    r.clientRecordingId = kId;
    const QByteArray expected =
        QByteArray("--B\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"audio.m4a\"\r\n"
                   "Content-Type: audio/mp4\r\n\r\n") +
        QByteArray("\x00\x01m4a", 5) +
        "\r\n--B\r\nContent-Disposition: form-data; name=\"duration_ms\"\r\n\r\n1234\r\n"
        "--B\r\nContent-Disposition: form-data; "
        "name=\"clientRecordingId\"\r\n\r\n6F0C2A9E-1B2C-4D3E-8F40-5A6B7C8D9E0F\r\n"
        "--B\r\nContent-Disposition: form-data; name=\"app_bundle_id\"\r\n\r\norg.example.Editor\r\n"
        "--B\r\nContent-Disposition: form-data; name=\"cleanup\"\r\n\r\n1\r\n"
        "--B\r\nContent-Disposition: form-data; name=\"stream\"\r\n\r\n1\r\n"
        "--B\r\nContent-Disposition: form-data; name=\"filler_words_enabled\"\r\n\r\n1\r\n"
        "--B\r\nContent-Disposition: form-data; name=\"filler_words\"\r\n\r\n[\"um\",\"you know\"]\r\n"
        "--B--\r\n";
    EXPECT_EQ(transcriptionMultipartBody(r, "B"), expected);
}

TEST(TranscriptionMultipartTest, OptionalPartsAreLeftOutAndStreamNeedsCleanup)
{
    TranscriptionRequest r;
    r.audio = "a";
    r.appBundleID = QString();
    r.streamCleanup = true;      // without cleanup: stream 0
    r.fillerWordsEnabled = true; // but the list is empty
    const QByteArray body = transcriptionMultipartBody(r, "B");
    EXPECT_FALSE(body.contains("duration_ms"));
    EXPECT_FALSE(body.contains("clientRecordingId"));
    EXPECT_FALSE(body.contains("app_bundle_id"));
    EXPECT_FALSE(body.contains("name=\"filler_words\""));
    EXPECT_TRUE(body.contains("name=\"cleanup\"\r\n\r\n0\r\n"));
    EXPECT_TRUE(body.contains("name=\"stream\"\r\n\r\n0\r\n"));
    EXPECT_TRUE(body.contains("name=\"filler_words_enabled\"\r\n\r\n1\r\n"));
}

TEST(TranscriptionDecodingTest, RequiredFieldsAndTolerantRecordingFields)
{
    const auto ok = TranscriptionResponse::fromJson(
        R"({"text":"Hi.","raw":"hi","engine":"e","cleaned":true,"recordingUploadUrl":"  ","recordingObjectKey":7})");
    ASSERT_TRUE(ok);
    EXPECT_FALSE(ok->retainRecording);
    EXPECT_FALSE(ok->recordingUploadUrl);
    EXPECT_FALSE(ok->recordingObjectKey);
    const auto kept = TranscriptionResponse::fromJson(
        R"({"text":"a","raw":"a","engine":"e","cleaned":false,"retainRecording":true,"recordingUploadUrl":" http://u ","recordingObjectKey":""})");
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->retainRecording);
    EXPECT_EQ(kept->recordingUploadUrl, QStringLiteral("http://u"));
    EXPECT_FALSE(kept->recordingObjectKey);
    EXPECT_FALSE(TranscriptionResponse::fromJson(R"({"text":"a","raw":"a","cleaned":true})")); // no engine
    EXPECT_FALSE(TranscriptionResponse::fromJson("not json"));

    EXPECT_TRUE(TranscriptionStreamEvent::fromJson(R"({"stage":"raw","text":"hi","cleaned":false})"));
    EXPECT_FALSE(TranscriptionStreamEvent::fromJson(R"({"stage":"raw","cleaned":"yes"})"));
    EXPECT_FALSE(TranscriptionStreamEvent::fromJson(R"({"text":"no stage"})"));
    const auto unknown = TranscriptionStreamEvent::fromJson(R"({"stage":"progress","retainRecording":"x"})");
    ASSERT_TRUE(unknown);
    EXPECT_FALSE(unknown->retainRecording);
}

TEST(TranscriptionErrorTest, StatusesAndEnvelopesMapToTheirTexts)
{
    EXPECT_EQ(transcriptionErrorFor(502, R"({"error":"x"})").description(), QStringLiteral("Transcription failed: x"));
    EXPECT_EQ(transcriptionErrorFor(502, "plain words").message, QStringLiteral("plain words"));
    EXPECT_EQ(transcriptionErrorFor(502, "").message, QString());
    EXPECT_EQ(transcriptionErrorFor(502, QByteArray("\xff\xfe", 2)).message, QStringLiteral("all providers failed"));
    const auto unavailable = transcriptionErrorFor(503, "down");
    EXPECT_EQ(unavailable.kind, TranscriptionError::Kind::unexpectedStatus);
    EXPECT_EQ(unavailable.body, QStringLiteral("down"));
    EXPECT_EQ(unavailable.description(), QStringLiteral("Unexpected response (503)"));
    // The server's own reason, when it gave one in a JSON error reply.
    EXPECT_EQ(transcriptionErrorFor(422, R"({"error":"audio could not be decoded: no stream"})").description(),
              QStringLiteral("The server answered 422: audio could not be decoded: no stream"));
    EXPECT_EQ(transcriptionErrorFor(413, R"({"message":"too large"})").description(),
              QStringLiteral("The server answered 413: too large"));
    EXPECT_EQ(transcriptionErrorFor(500, "<html><body>error</body></html>").description(),
              QStringLiteral("Unexpected response (500)"));
    EXPECT_EQ(transcriptionErrorFor(500, R"({"error":"trace\n at frame 1"})").description(),
              QStringLiteral("Unexpected response (500)"));
    EXPECT_EQ(transcriptionErrorFor(401, "").description(), QStringLiteral("Session expired — please sign in again"));
    EXPECT_EQ(TranscriptionError::notSignedIn().description(), QStringLiteral("Not signed in"));
    EXPECT_EQ(TranscriptionError::networkError(QStringLiteral("down")).description(),
              QStringLiteral("Network error: down"));
}
