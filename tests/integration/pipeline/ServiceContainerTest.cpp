// The service container against a real server: the history follows the
// signed-in user — detached when they sign out, their own entries back when
// they sign in again.

#include "pipeline/ServiceContainer.h"
#include "core/QtScheduler.h"
#include "output/ClipboardHistory.h"
#include "support/SignedInBackend.h"
#include "support/Speech.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

// Runs the event loop until `done` holds or `limit` passes.
bool waitUntil(Scheduler &scheduler, const std::function<bool()> &done, Millis limit = Millis(10000))
{
    for (Millis waited{0}; waited < limit; waited += Millis(20)) {
        if (done())
            return true;
        QCoro::waitFor(test::pause(scheduler, Millis(20)));
    }
    return done();
}

TEST(ServiceContainerTest, HistoryFollowsTheSignedInUser)
{
    QtScheduler scheduler;
    QTemporaryDir dir;
    test::SignedInBackend backend(scheduler, dir.filePath(QStringLiteral("server")), QStringLiteral("ada@example.com"),
                                  45891);
    ASSERT_TRUE(backend.ready());
    const QString silence = dir.filePath(QStringLiteral("silence.wav"));
    ASSERT_FALSE(test::synthesizeSpeech(silence, QStringLiteral(" ")).isEmpty());

    ServiceContainer::Options options;
    options.settingsPath = dir.filePath(QStringLiteral("settings.json"));
    options.dataRoot = dir.filePath(QStringLiteral("data"));
    options.inputFile = silence;
    options.desktop = false;
    options.pasteOnDesktop = false;
    options.auth = &backend.auth();
    ServiceContainer services(options, scheduler);
    QCoro::waitFor(services.start());
    ClipboardHistory &history = services.history();
    ASSERT_TRUE(history.isAttached());
    QCoro::waitFor(history.add(QStringLiteral("kept for Ada"), std::nullopt, std::nullopt, true));
    ASSERT_EQ(history.entryCount(), 1);

    QCoro::waitFor(backend.auth().signOut());
    ASSERT_TRUE(waitUntil(scheduler, [&] { return !history.isAttached(); }));
    EXPECT_EQ(history.entryCount(), 0);

    ASSERT_TRUE(QCoro::waitFor(backend.auth().signInViaBrowser()));
    ASSERT_TRUE(waitUntil(scheduler, [&] { return history.entryCount() == 1; }));
    EXPECT_EQ(history.latest()->text, QStringLiteral("kept for Ada"));
}

} // namespace
