// A whole dictation on a private desktop: a spoken file played as the
// microphone, the real pipeline, dravelin-server over loopback, and paste into
// the Qt test window; the words land in the field and in the history, with the
// recording saved beside the entry.

#include "HeadlessDictation.h"
#include "TestWindowClient.h"
#include "core/QtScheduler.h"
#include "output/ClipboardHistory.h"
#include "pipeline/RecordingPipeline.h"
#include "support/LogCapture.h"
#include "support/ScriptedModelEndpoint.h"
#include "support/SignedInBackend.h"
#include "support/Speech.h"
#include "text/TransformService.h"

#include <QFile>
#include <QTemporaryDir>

#include <qcoro/qcorotask.h>

#include "core/UserDefaults.h"
#include <QClipboard>
#include <QGuiApplication>
#include <gtest/gtest.h>

using namespace dravelin;

namespace {

TEST(DictationDesktopTest, SpokenWordsLandInTheFocusedFieldAndTheHistory)
{
    QtScheduler scheduler;
    QTemporaryDir dir;
    test::SignedInBackend backend(scheduler, dir.filePath(QStringLiteral("server")), QStringLiteral("ada@example.com"),
                                  45883, true);
    ASSERT_TRUE(backend.ready());
    AuthService &auth = backend.auth();

    const QString speech = dir.filePath(QStringLiteral("speech.wav"));
    ASSERT_FALSE(
        test::synthesizeSpeech(speech, QStringLiteral("Hello world. This is a test of the server.")).isEmpty());

    test::TestWindow window;
    QCoro::waitFor(test::pause(scheduler, Millis(300)));
    HeadlessDictation dictation(test::desktopDictationOptions(dir.path(), speech), auth, scheduler);
    QCoro::waitFor(dictation.attachHistory());

    ASSERT_TRUE(QCoro::waitFor(dictation.start()));
    QCoro::waitFor(test::pause(scheduler, Millis(dictation.inputDurationMs() + 400)));
    QCoro::waitFor(dictation.stop());
    QCoro::waitFor(dictation.drain(Millis(60000)));

    const auto &delivered = dictation.pipeline().lastDelivery();
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

    // Optimistic paste: the raw text goes in as soon as it comes and the
    // final text takes its place — the field holds the text once, and the
    // user's clipboard is back.
    window.setLine(QString());
    QGuiApplication::clipboard()->setText(QStringLiteral("the user's clipboard"));
    dictation.defaults().set(QStringLiteral("optimistic.paste"), true);
    ASSERT_TRUE(QCoro::waitFor(dictation.start()));
    QCoro::waitFor(test::pause(scheduler, Millis(dictation.inputDurationMs() + 400)));
    QCoro::waitFor(dictation.stop());
    QCoro::waitFor(dictation.drain(Millis(60000)));
    const auto &optimistic = dictation.pipeline().lastDelivery();
    ASSERT_TRUE(optimistic);
    EXPECT_TRUE(optimistic->rawPastedAfterStopMs) << "the raw text was not pasted on its own";
    EXPECT_EQ(window.line(), optimistic->text);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("the user's clipboard"));
}

// Rewriting a selection in another window: the selected words go to the
// server (its language model scripted here), the rewrite replaces exactly the
// selection, and the user's clipboard comes back.
TEST(DictationDesktopTest, ASelectionIsRewrittenInPlaceAndTheClipboardComesBack)
{
    QtScheduler scheduler;
    QTemporaryDir dir;
    test::ScriptedModelEndpoint model(scheduler);
    test::SignedInBackend backend(scheduler, dir.filePath(QStringLiteral("server")), QStringLiteral("ada@example.com"),
                                  45884, false, [&](server::ServerConfig &config) {
                                      config.llm.provider = QStringLiteral("openai");
                                      config.llm.baseUrl = model.baseUrl();
                                      config.llm.model = QStringLiteral("scripted");
                                  });
    ASSERT_TRUE(backend.ready());

    test::TestWindow window;
    window.setLine(QStringLiteral("please fix this sentense"));
    window.selectEnd(8);
    QCoro::waitFor(test::pause(scheduler, Millis(300)));
    HeadlessDictation dictation(test::desktopDictationOptions(dir.path(), QString()), backend.auth(), scheduler);
    QCoro::waitFor(dictation.attachHistory());
    QGuiApplication::clipboard()->setText(QStringLiteral("the user's clipboard"));

    model.answer(QStringLiteral("sentence"));
    QCoro::waitFor(dictation.pipeline().rewriteSelection(RewriteStyle::natural));
    EXPECT_EQ(window.line(), QStringLiteral("please fix this sentence")) << qPrintable(dictation.lastIndicator());
    ASSERT_EQ(model.requests.size(), 1u);
    EXPECT_TRUE(QString::fromStdString(model.requests[0]["messages"].back()["content"].get<std::string>())
                    .contains(QStringLiteral("sentense")));
    EXPECT_EQ(dictation.lastIndicator(), QStringLiteral("done"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("the user's clipboard"));
    ASSERT_EQ(dictation.history().entryCount(), 1);
    EXPECT_TRUE(dictation.history().latest()->aiProcessed);

    // A transform runs with its own instruction.
    window.selectEnd(8);
    model.answer(QStringLiteral("phrase"));
    QCoro::waitFor(dictation.pipeline().runTransform(TransformService::conciseID));
    EXPECT_EQ(window.line(), QStringLiteral("please fix this phrase")) << qPrintable(dictation.lastIndicator());
    ASSERT_EQ(model.requests.size(), 2u);
    EXPECT_TRUE(QString::fromStdString(model.requests[1]["messages"][0]["content"].get<std::string>())
                    .contains(QStringLiteral("shorter and tighter")));
    window.setLine(QStringLiteral("please fix this sentence"));

    // Nothing selected: nothing is sent and the field stays as it is.
    QCoro::waitFor(dictation.pipeline().rewriteSelection(RewriteStyle::natural));
    EXPECT_EQ(dictation.lastIndicator(), QStringLiteral("error(No text selected)"));
    EXPECT_EQ(model.requests.size(), 2u);
    EXPECT_EQ(window.line(), QStringLiteral("please fix this sentence"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("the user's clipboard"));
}

} // namespace
