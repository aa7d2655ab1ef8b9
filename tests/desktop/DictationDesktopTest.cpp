// A whole dictation on a private desktop: a spoken file played as the
// microphone, the real pipeline, dravelin-server over loopback, and paste into
// the Qt test window; the words land in the field and in the history, with the
// recording saved beside the entry.

#include "DravelinServer.h"
#include "HeadlessDictation.h"
#include "TestWindowClient.h"
#include "account/AuthService.h"
#include "account/LocalConsentBrowser.h"
#include "account/NetworkRequestSender.h"
#include "core/QtScheduler.h"
#include "output/ClipboardHistory.h"
#include "support/LogCapture.h"
#include "support/Speech.h"

#include <QFile>
#include <QTemporaryDir>

#include <qcoro/qcorotask.h>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

QCoro::Task<> pause(Scheduler &scheduler, Millis duration)
{
    co_await scheduler.sleep(duration);
}

TEST(DictationDesktopTest, SpokenWordsLandInTheFocusedFieldAndTheHistory)
{
    QtScheduler scheduler;
    QTemporaryDir dir;
    server::ServerConfig config;
    config.port = 0;
    config.dataDir = dir.filePath(QStringLiteral("server"));
    config.retainRecordings = true;
    auto srv = server::DravelinServer::create(config, scheduler);
    ASSERT_TRUE(srv);
    ASSERT_TRUE((*srv)->listen());
    const QUrl base(QStringLiteral("http://127.0.0.1:%1").arg((*srv)->port()));
    qputenv("DRAVELIN_BASE_URL", base.toString().toUtf8());

    NetworkRequestSender sender;
    InMemorySessionStore keychain;
    LocalConsentBrowser browser(QStringLiteral("ada@example.com"));
    AuthService auth({base, "dravelin-local-public-key", QStringLiteral("dravelin-desktop"),
                      QUrl(QStringLiteral("http://127.0.0.1:45883/oauth/callback")), std::chrono::seconds(30)},
                     sender, keychain, browser, scheduler);
    ASSERT_TRUE(QCoro::waitFor(auth.signInViaBrowser()));

    const QString speech = dir.filePath(QStringLiteral("speech.wav"));
    ASSERT_FALSE(
        test::synthesizeSpeech(speech, QStringLiteral("Hello world. This is a test of the server.")).isEmpty());

    test::TestWindow window;
    QCoro::waitFor(pause(scheduler, Millis(300)));
    HeadlessDictation::Options options;
    options.inputFile = speech;
    options.pasteOnDesktop = true;
    options.settingsPath = dir.filePath(QStringLiteral("settings.json"));
    options.dataRoot = dir.filePath(QStringLiteral("data"));
    HeadlessDictation dictation(options, auth, scheduler);
    QCoro::waitFor(dictation.attachHistory());

    ASSERT_TRUE(QCoro::waitFor(dictation.start()));
    QCoro::waitFor(pause(scheduler, Millis(dictation.inputDurationMs() + 400)));
    QCoro::waitFor(dictation.stop());
    QCoro::waitFor(dictation.drain(Millis(60000)));

    const auto &delivered = dictation.pipeline().lastDelivery;
    ASSERT_TRUE(delivered) << qPrintable(dictation.lastIndicator());
    EXPECT_TRUE(delivered->pasted);
    EXPECT_TRUE(delivered->text.contains(QStringLiteral("ello"), Qt::CaseInsensitive)) << qPrintable(delivered->text);
    EXPECT_EQ(window.line(), delivered->text);
    EXPECT_EQ(dictation.lastIndicator(), QStringLiteral("done"));

    ClipboardHistory &history = dictation.history();
    ASSERT_EQ(history.entryCount(), 1);
    EXPECT_EQ(history.latest()->text, delivered->text);
    EXPECT_TRUE(history.latest()->aiProcessed);
    EXPECT_EQ(history.latest()->sourceBundleID, QStringLiteral("dravelin-test-window"));
    const auto recording = history.audioURL(history.latest()->id);
    ASSERT_TRUE(recording);
    QFile saved(*recording);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.read(8).mid(4), "ftyp");
}

} // namespace
