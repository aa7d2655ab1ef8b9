// The paste service on a real X server (run inside with-desktop.sh): XTest
// keystrokes into a Qt test window, the real CLIPBOARD selection, the focus
// probe over AT-SPI.

#include "TestWindowClient.h"
#include "core/LogHandler.h"
#include "core/QtScheduler.h"
#include "output/PasteService.h"
#include "platform/linux/AtSpiInspector.h"
#include "platform/linux/DesktopWorkspace.h"
#include "platform/linux/QtPasteboard.h"
#include "platform/linux/XTestKeySynthesizer.h"
#include "support/LogCapture.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace std::chrono_literals;

namespace dravelin::test {
// Presses or releases the left Shift key as if on the keyboard (XKeys.cpp).
void pressShift(bool down);
} // namespace dravelin::test

namespace {

QCoro::Task<> pause(Scheduler &scheduler, Millis duration)
{
    co_await scheduler.sleep(duration);
}

class PasteDesktopTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(keys.canPost()) << "no XTest on " << qgetenv("DISPLAY").constData();
        window = std::make_unique<test::TestWindow>();
        wait(300ms); // let the window take the input focus
    }
    void wait(Millis duration) { QCoro::waitFor(pause(scheduler, duration)); }
    static void holdShift(bool down) { test::pressShift(down); }

    QtScheduler scheduler;
    nix::XTestKeySynthesizer keys;
    nix::QtPasteboard pasteboard;
    nix::DesktopWorkspace workspace;
    nix::AtSpiInspector inspector;
    PasteService service{keys, pasteboard, workspace, inspector, scheduler};
    std::unique_ptr<test::TestWindow> window;
    test::LogCapture logs;
};

TEST_F(PasteDesktopTest, PasteLandsInTheFocusedFieldAndTheClipboardComesBack)
{
    const auto app = workspace.frontmostApplication();
    ASSERT_TRUE(app);
    EXPECT_GT(app->pid, 0);
    EXPECT_EQ(app->windowTitle, QStringLiteral("Dravelin test window"));

    pasteboard.setString(QStringLiteral("the user's clipboard"));
    QCoro::waitFor(service.paste(QStringLiteral("Hello from Dravelin."), std::nullopt, false));
    EXPECT_EQ(window->line(), QStringLiteral("Hello from Dravelin."));
    EXPECT_EQ(pasteboard.string(), QStringLiteral("the user's clipboard"));
}

TEST_F(PasteDesktopTest, SwapReplacesTheRawTextAndBringsBackAnImage)
{
    QCoro::waitFor(service.paste(QStringLiteral("so um hello there"), std::nullopt, false));
    ASSERT_EQ(window->line(), QStringLiteral("so um hello there"));

    auto *image = new QMimeData;
    image->setData(QStringLiteral("image/png"), QByteArray("\x89PNG\r\n\x1a\nfake", 12));
    QGuiApplication::clipboard()->setMimeData(image);
    wait(50ms);
    EXPECT_TRUE(QCoro::waitFor(service.replacePastedText(QStringLiteral("um hello there"),
                                                         QStringLiteral("Hello there."), std::nullopt, false)));
    EXPECT_EQ(window->line(), QStringLiteral("so Hello there."));
    const QMimeData *after = QGuiApplication::clipboard()->mimeData();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->data(QStringLiteral("image/png")), QByteArray("\x89PNG\r\n\x1a\nfake", 12));

    // An emoji is one cursor step in a real field.
    QCoro::waitFor(service.paste(QStringLiteral(" ok 👍"), std::nullopt, false));
    EXPECT_TRUE(QCoro::waitFor(
        service.replacePastedText(QStringLiteral("ok 👍"), QStringLiteral("OK 👍."), std::nullopt, false)));
    EXPECT_EQ(window->line(), QStringLiteral("so Hello there. OK 👍."));

    // The field no longer ends with the raw text: nothing is replaced.
    window->setLine(QStringLiteral("something else entirely"));
    EXPECT_FALSE(QCoro::waitFor(
        service.replacePastedText(QStringLiteral("Hello there."), QStringLiteral("Bye."), std::nullopt, false)));
    EXPECT_EQ(window->line(), QStringLiteral("something else entirely"));
}

TEST_F(PasteDesktopTest, TheProbeTellsAFieldFromAButton)
{
    EXPECT_EQ(QCoro::waitFor(service.focusedEditableTarget(std::nullopt)), EditableFocus::editable);
    window->focus(QStringLiteral("button"));
    EXPECT_EQ(QCoro::waitFor(service.focusedEditableTarget(std::nullopt)), EditableFocus::notEditable);
    window->focus(QStringLiteral("area"));
    EXPECT_EQ(QCoro::waitFor(service.focusedEditableTarget(std::nullopt)), EditableFocus::editable);
}

TEST_F(PasteDesktopTest, AHeldModifierDelaysThePasteUntilReleaseButNotBeyondHalfASecond)
{
    holdShift(true);
    QElapsedTimer timer;
    timer.start();
    QCoro::waitFor(service.waitForModifiersToClear());
    EXPECT_GE(timer.elapsed(), 480);
    EXPECT_LT(timer.elapsed(), 700);
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("paste"), QStringLiteral("Modifier-clear deadline hit after")));

    // Released after 200 ms: the paste goes out then, as plain Ctrl+V.
    QTimer::singleShot(200, [this] { holdShift(false); });
    timer.restart();
    QCoro::waitFor(service.paste(QStringLiteral("typed"), std::nullopt, false));
    EXPECT_EQ(window->line(), QStringLiteral("typed"));
    // The paste returns once the field has read the clipboard, well before
    // the 250 ms allowed to a target that is never seen reading it.
    EXPECT_GE(timer.elapsed(), 200);
    EXPECT_LT(timer.elapsed(), 500 + 250);
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(name, (home.path() + QLatin1Char('/') + QString::fromLatin1(name)).toUtf8());
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    logs::Router::install();
    return RUN_ALL_TESTS();
}
