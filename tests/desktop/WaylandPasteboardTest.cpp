// The Wayland clipboard road against a real compositor (run inside
// with-wayland.sh): another client's text read and put back, our text read by
// another client whatever its size, and an owner that never hands its data
// over costing a short wait instead of a hang.

#include "platform/linux/wayland/WaylandPasteboard.h"
#include "platform/linux/wayland/WaylandSession.h"
#include "support/LogCapture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::nix;

namespace {

// Runs another client while this thread keeps answering the compositor (our
// clipboard data is written from here).
QString run(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    process.closeWriteChannel();
    EXPECT_TRUE(QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 10000)) << qPrintable(program);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Another client puts `text` on the clipboard (wl-copy keeps serving it).
void copyElsewhere(const QString &text)
{
    run(QStringLiteral("wl-copy"), {text});
}

QString pasteElsewhere()
{
    return run(QStringLiteral("wl-paste"), {QStringLiteral("--no-newline")});
}

struct Clipboard
{
    std::unique_ptr<WaylandSession> session = WaylandSession::connect();
    std::unique_ptr<WaylandPasteboard> board =
        session && session->dataControl() ? std::make_unique<WaylandPasteboard>(*session) : nullptr;
};

} // namespace

TEST(WaylandPasteboardTest, AnotherClientsTextIsReadReplacedAndPutBack)
{
    Clipboard ours;
    ASSERT_TRUE(ours.board) << "no compositor with data control at WAYLAND_DISPLAY";
    copyElsewhere(QStringLiteral("copied in another app ✓"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ours.board->string() == u"copied in another app ✓"; }, 5000));

    const PasteboardSnapshot before = ours.board->snapshot();
    ASSERT_EQ(before.size(), 1);
    const qint64 changes = ours.board->changeCount();
    ours.board->setString(QStringLiteral("dictated"));
    EXPECT_EQ(pasteElsewhere(), QStringLiteral("dictated"));
    EXPECT_EQ(ours.board->fetchCount(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ours.board->changeCount() > changes; }, 2000));

    ours.board->restore(before);
    EXPECT_EQ(pasteElsewhere(), QStringLiteral("copied in another app ✓"));
    ours.board->clearContents();
    EXPECT_EQ(pasteElsewhere(), QString());

    // The primary selection (what Shift+Insert pastes) is set and read the same way.
    ours.board->setSelectionString(QStringLiteral("for Shift+Insert"));
    EXPECT_EQ(run(QStringLiteral("wl-paste"), {QStringLiteral("--primary"), QStringLiteral("--no-newline")}),
              QStringLiteral("for Shift+Insert"));

    // Several megabytes leave through the pipe as fast as the reader reads.
    const QString big(6 * 1024 * 1024, QLatin1Char('x'));
    ours.board->setString(big);
    EXPECT_EQ(pasteElsewhere().size(), big.size());
}

TEST(WaylandPasteboardTest, AnOwnerThatNeverAnswersCostsAShortWaitNotAHang)
{
    test::LogCapture logs;
    Clipboard reader;
    Clipboard silent; // its events are not dispatched while the reader waits
    ASSERT_TRUE(reader.board && silent.board);
    const qint64 seen = reader.board->changeCount();
    silent.board->setString(QStringLiteral("never delivered in time"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return reader.board->changeCount() > seen; }, 5000));

    // Both live on this thread: while the reader waits, the owner cannot answer.
    QElapsedTimer clock;
    clock.start();
    const auto text = reader.board->string();
    const qint64 waited = clock.elapsed();
    EXPECT_FALSE(text);
    EXPECT_LT(waited, 2000);
    EXPECT_TRUE(logs.messages(QStringLiteral("paste")).join(u'\n').contains(u"did not hand over"));

    // The owner then writes into a pipe nobody reads any more: no SIGPIPE death.
    QTest::qWait(300);
    silent.board->setString(QStringLiteral("still alive"));
    EXPECT_EQ(pasteElsewhere(), QStringLiteral("still alive"));
}
