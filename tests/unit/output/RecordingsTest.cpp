#include "audio/Pcm.h"
#include "core/UserDefaults.h"
#include "core/VirtualScheduler.h"
#include "output/ClipboardHistory.h"
#include "output/RecordingAudioStore.h"
#include "output/RecordingTranscoder.h"
#include "output/RecordingUploader.h"
#include "output/UserDataPaths.h"
#include "support/AudioFakes.h"
#include "support/FixedToken.h"
#include "support/LogCapture.h"
#include "support/ScriptedSender.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>

#include <gtest/gtest.h>

using namespace dravelin;
using dravelin::test::FixedToken;
using namespace std::chrono_literals;
using RecordingTranscoder::Container;

namespace {

// A second of a 440 Hz tone as a 16 kHz mono 16-bit WAV, or at another rate.
QByteArray toneWav(int sampleRate = 16000)
{
    PcmBuffer tone;
    for (int i = 0; i < sampleRate; ++i)
        tone.samples.push_back(0.3f * static_cast<float>(std::sin(2 * M_PI * 440 * i / sampleRate)));
    return WAVWrapper::wrap(pcm16(tone), sampleRate);
}

QStringList files(const QString &directory)
{
    return QDir(directory).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

void touch(const QString &path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
}

QString name(const QUuid &id, const char *ext)
{
    return id.toString(QUuid::WithoutBraces).toUpper() + QLatin1Char('.') + QLatin1String(ext);
}

TEST(RecordingTranscoderTest, SniffsContainersAndEncodesOnly16kMonoPcm)
{
    EXPECT_EQ(RecordingTranscoder::sniff("RIFF1234WAV"), Container::unknown); // 11 bytes
    EXPECT_EQ(RecordingTranscoder::sniff(QByteArray("RIFF\0\0\0\0WAVEfmt ", 16)), Container::wav);
    EXPECT_EQ(RecordingTranscoder::sniff(QByteArray("RIFFftypM4A isom", 16)), Container::mpeg4);
    EXPECT_EQ(RecordingTranscoder::sniff(QByteArray(64, 'z')), Container::unknown);

    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("a.wav"));
    QFile out(wav);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(toneWav());
    out.close();
    const QString m4a = dir.filePath(QStringLiteral("a.m4a"));
    ASSERT_TRUE(RecordingTranscoder::encodeAAC(wav, m4a));
    QFile encoded(m4a);
    ASSERT_TRUE(encoded.open(QIODevice::ReadOnly));
    const QByteArray bytes = encoded.readAll();
    EXPECT_EQ(RecordingTranscoder::sniff(bytes), Container::mpeg4);
    EXPECT_LT(bytes.size(), toneWav().size() / 4);

    QFile wrongRate(wav);
    ASSERT_TRUE(wrongRate.open(QIODevice::WriteOnly));
    wrongRate.write(toneWav(44100));
    wrongRate.close();
    const auto mismatch = RecordingTranscoder::encodeAAC(wav, m4a);
    ASSERT_FALSE(mismatch);
    EXPECT_EQ(mismatch.error().kind, RecordingTranscoder::TranscodeError::Kind::formatMismatch);
}

TEST(RecordingAudioStoreTest, SavesAacFallsBackToWavAndPrunesOrphans)
{
    test::LogCapture logs;
    QTemporaryDir dir;
    const QString recordings = dir.filePath(QStringLiteral("recordings"));
    const QUuid a = QUuid::createUuid();
    const QUuid b = QUuid::createUuid();

    // A WAV the encoder refuses (44.1 kHz) is kept as it is, without temporary files.
    EXPECT_EQ(RecordingAudioStore::write(recordings, a, toneWav(44100)), QDir(recordings).filePath(name(a, "wav")));
    EXPECT_EQ(files(recordings), QStringList{name(a, "wav")});
    EXPECT_TRUE(
        logs.hasPrefix(QStringLiteral("recording-store"), QStringLiteral("AAC encode failed (format mismatch")));
    // Saved again with a good capture: the M4A joins it; the next reconcile drops the WAV, uncounted.
    EXPECT_EQ(RecordingAudioStore::write(recordings, a, toneWav()), QDir(recordings).filePath(name(a, "m4a")));
    EXPECT_TRUE(
        logs.hasPrefix(QStringLiteral("recording-store"), QStringLiteral("⏱ recording saved (WAV→M4A, 32044 → ")));
    EXPECT_FALSE(RecordingAudioStore::write(recordings, b, QByteArray(100, 'q')));

    touch(QDir(recordings).filePath(name(b, "m4a")));
    touch(QDir(recordings).filePath(QStringLiteral(".tmp-") + name(QUuid::createUuid(), "wav")));
    touch(QDir(recordings).filePath(QStringLiteral("notes.txt")));
    const auto kept = RecordingAudioStore::prune(recordings, {a});
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept.at(a), QDir(recordings).filePath(name(a, "m4a")));
    EXPECT_EQ(files(recordings), QStringList{name(a, "m4a")});
    EXPECT_TRUE(logs.has(QStringLiteral("recording-store"), QStringLiteral("Pruned 3 orphaned recording file(s)")));

    logs.clear();
    EXPECT_TRUE(RecordingAudioStore::prune(dir.filePath(QStringLiteral("missing")), {a}).empty());
    RecordingAudioStore store(dir.filePath(QStringLiteral("missing")), test::immediateQueues());
    store.removeAll();
    store.remove({a, b});
    EXPECT_TRUE(logs.records().empty());
}

class HistoryRecordingsTest : public ::testing::Test
{
protected:
    void finish(QCoro::Task<> task)
    {
        while (!task.isReady())
            scheduler.runPending();
        scheduler.runPending(); // completions hopping back from the store's queue
    }
    QString recordings() const { return UserDataPaths::recordingsDirectory(QStringLiteral("u"), dir.path()); }

    QTemporaryDir dir;
    UserDefaults defaults{dir.filePath(QStringLiteral("settings.json"))};
    VirtualScheduler scheduler;
    test::LogCapture logs;
    ClipboardHistory history{defaults, scheduler, test::immediateQueues(), dir.path()};
};

TEST_F(HistoryRecordingsTest, ADictationAddedWhileTheHistoryLoadsKeepsItsPlaceAndRecording)
{
    finish(history.switchTo(QStringLiteral("u")));
    finish(history.add(QStringLiteral("older"), std::nullopt, std::nullopt, false, std::nullopt));
    scheduler.advance(1s);
    // Signed in again (the file is read), and a dictation lands before the
    // read is back.
    auto loading = history.switchTo(QStringLiteral("u"));
    auto adding = history.add(QStringLiteral("during the load"), std::nullopt, std::nullopt, false, toneWav());
    finish(std::move(loading));
    finish(std::move(adding));
    ASSERT_EQ(history.entryCount(), 2);
    EXPECT_EQ(history.latest()->text, QStringLiteral("during the load"));
    EXPECT_EQ(history.entries()[1].text, QStringLiteral("older"));
    ASSERT_TRUE(history.audioURL(history.latest()->id));
    EXPECT_TRUE(QFile::exists(*history.audioURL(history.latest()->id)));
}

TEST_F(HistoryRecordingsTest, EntriesKeepTheirRecordingsUntilDroppedOrTurnedOff)
{
    finish(history.switchTo(QStringLiteral("u")));
    finish(history.add(QStringLiteral("first"), std::nullopt, std::nullopt, false, toneWav()));
    const QUuid first = history.latest()->id;
    ASSERT_TRUE(history.audioURL(first));
    EXPECT_TRUE(QFile::exists(*history.audioURL(first)));
    EXPECT_EQ(history.audioEntryIDs().count(first), 1u);

    // Twenty newer entries push the first one out, recording and all.
    for (int i = 0; i < 20; ++i) {
        scheduler.advance(1s);
        finish(history.add(QStringLiteral("n%1").arg(i), std::nullopt, std::nullopt, false, std::nullopt));
    }
    EXPECT_FALSE(history.audioURL(first));
    EXPECT_TRUE(files(recordings()).isEmpty());

    // Reopening links the files that belong to entries.
    finish(history.add(QStringLiteral("with audio"), std::nullopt, std::nullopt, false, toneWav()));
    const QUuid kept = history.latest()->id;
    finish(history.switchTo(QStringLiteral("u")));
    EXPECT_TRUE(history.audioURL(kept));

    // Turning the setting off deletes every recording; new ones are not saved.
    defaults.set(QString::fromLatin1(RecordingPlaybackSettings::kKeepRecordingsKey), false);
    scheduler.runPending();
    EXPECT_TRUE(history.audioEntryIDs().empty());
    EXPECT_FALSE(QDir(recordings()).exists());
    finish(history.add(QStringLiteral("no audio kept"), std::nullopt, std::nullopt, false, toneWav()));
    EXPECT_FALSE(history.audioURL(history.latest()->id));
    EXPECT_TRUE(logs.has(QStringLiteral("clipboard-history"),
                         QStringLiteral("Keep recordings turned off — deleting saved recordings")));
}

TEST_F(HistoryRecordingsTest, ASaveThatFinishesAfterItsEntryWasDeletedIsNotLinked)
{
    finish(history.switchTo(QStringLiteral("u")));
    auto add = history.add(QStringLiteral("gone soon"), std::nullopt, std::nullopt, false, toneWav());
    while (!add.isReady())
        scheduler.runPending();
    const QUuid id = history.latest()->id;
    // The save's completion is still waiting to hop to the main thread.
    auto remove = history.remove(id);
    scheduler.runPending();
    EXPECT_TRUE(remove.isReady());
    EXPECT_FALSE(history.audioURL(id));
    EXPECT_TRUE(history.audioEntryIDs().empty());
}

class UploaderTest : public ::testing::Test
{
protected:
    bool run(QByteArray data)
    {
        auto task = uploader.uploadNow(std::move(data), QUuid(QStringLiteral("{6f9619ff-8b86-d011-b42d-00c04fc964ff}")),
                                       QUrl(QStringLiteral("http://127.0.0.1:9/upload/x")), QStringLiteral("u/x.m4a"));
        while (!task.isReady() && scheduler.runNext()) {
        }
        EXPECT_TRUE(task.isReady());
        return QCoro::waitFor(std::move(task));
    }

    VirtualScheduler scheduler;
    FixedToken token;
    test::ScriptedSender sender;
    RecordingUploader uploader{token, QUrl(QStringLiteral("http://127.0.0.1:9/rest/v1/rpc/attach_recording_audio")),
                               "anon", sender, scheduler};
    test::LogCapture logs;
};

TEST_F(UploaderTest, EncodesStoresAndAttachesWithRetries)
{
    sender.reply(200, {});
    for (int i = 0; i < 3; ++i)
        sender.reply(500, "busy");
    sender.reply(200, "{}");
    const Millis start = scheduler.monotonicNow();
    EXPECT_TRUE(run(toneWav()));
    EXPECT_EQ(scheduler.monotonicNow() - start, 1800ms); // 300 + 600 + 900
    ASSERT_EQ(sender.requests.size(), 5u);
    EXPECT_EQ(sender.requests[0].method, "PUT");
    EXPECT_TRUE(sender.requests[0].headers.isEmpty());
    EXPECT_EQ(RecordingTranscoder::sniff(sender.requests[0].body), Container::mpeg4);
    EXPECT_EQ(sender.requests[1].body,
              R"({"p_client_recording_id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","p_audio_path":"u/x.m4a"})");
    EXPECT_EQ(sender.requests[1].header("Authorization"), "Bearer token");
    EXPECT_EQ(sender.requests[1].header("apikey"), "anon");
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("recording-upload"),
                               QStringLiteral("⏱ recording uploaded off the dictation path")));
    EXPECT_TRUE(QDir::temp().entryList({QStringLiteral("upload-*")}).isEmpty());
}

TEST_F(UploaderTest, SkipsRejectsAndGivesUp)
{
    EXPECT_FALSE(run(QByteArray(44, 'x')));
    token.token.reset();
    EXPECT_FALSE(run(toneWav()));
    EXPECT_TRUE(logs.has(QStringLiteral("recording-upload"), QStringLiteral("Skipping upload — no signed-in account")));
    EXPECT_TRUE(sender.requests.empty());
    token.token = QStringLiteral("token");

    sender.reply(403, "expired");
    EXPECT_FALSE(run(toneWav()));
    EXPECT_TRUE(logs.has(QStringLiteral("recording-upload"), QStringLiteral("Recording upload rejected (HTTP 403)")));

    sender.requests.clear();
    sender.reply(200, {});
    for (int i = 0; i < 4; ++i)
        sender.reply(401, "no");
    EXPECT_FALSE(run(toneWav()));
    EXPECT_EQ(sender.requests.size(), 5u)
        << logs.messages(QStringLiteral("recording-upload")).join(QStringLiteral("\n")).toStdString();
    EXPECT_TRUE(logs.has(QStringLiteral("recording-upload"),
                         QStringLiteral("Attaching the recording was rejected (HTTP 401)")));

    // A transport failure on attach is not retried.
    sender.requests.clear();
    sender.reply(200, {});
    sender.fail();
    EXPECT_FALSE(run(toneWav()));
    EXPECT_EQ(sender.requests.size(), 2u);
}

} // namespace
