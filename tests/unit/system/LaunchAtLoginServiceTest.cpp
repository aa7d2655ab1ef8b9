#include "system/LaunchAtLoginService.h"

#include "support/LogCapture.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

TEST(LaunchAtLoginServiceTest, EnablingWritesAnEntryThatStartsUsAndDisablingRemovesIt)
{
    QTemporaryDir dir;
    test::LogCapture logs;
    // A path that needs quoting, and a '%' that would otherwise be a field code.
    const QString program = QStringLiteral("/opt/My Apps/100%/dravelin");
    LaunchAtLoginService service(dir.filePath(QStringLiteral("autostart")), program);
    std::vector<bool> changes;
    QObject::connect(&service, &LaunchAtLoginService::enabledChanged, [&](bool on) { changes.push_back(on); });
    EXPECT_FALSE(service.isEnabled());

    service.setEnabled(true);
    service.setEnabled(true);
    EXPECT_TRUE(service.isEnabled());
    const QByteArray entry = service.entryContents();
    EXPECT_TRUE(entry.contains("\nExec=\"/opt/My Apps/100%%/dravelin\"\n"));
    EXPECT_TRUE(entry.contains("\nX-GNOME-Autostart-enabled=true\n"));
    EXPECT_EQ(LaunchAtLoginService::execProgram(LaunchAtLoginService::execArgument(program)), program);

    service.setEnabled(false);
    EXPECT_FALSE(service.isEnabled());
    EXPECT_FALSE(QFile::exists(service.entryPath()));
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    EXPECT_TRUE(logs.has(QStringLiteral("launch-at-login"), QStringLiteral("Launch at login: enabled")));
    EXPECT_TRUE(logs.has(QStringLiteral("launch-at-login"), QStringLiteral("Launch at login: disabled")));
}

TEST(LaunchAtLoginServiceTest, AFailedWriteIsLoggedAndLeavesItDisabled)
{
    QTemporaryDir dir;
    test::LogCapture logs;
    // A file where the folder should be: no directory can be made there, even as root.
    writeFile(dir.filePath(QStringLiteral("config")), "not a folder");
    LaunchAtLoginService service(dir.filePath(QStringLiteral("config/autostart")), QStringLiteral("/usr/bin/dravelin"));
    bool changed = false;
    QObject::connect(&service, &LaunchAtLoginService::enabledChanged, [&] { changed = true; });
    service.setEnabled(true);
    EXPECT_FALSE(service.isEnabled());
    EXPECT_FALSE(changed);
    EXPECT_TRUE(logs.hasPrefix(QStringLiteral("launch-at-login"), QStringLiteral("Toggle failed: cannot create ")));
}

TEST(LaunchAtLoginServiceTest, EntriesTheUserSwitchedOffOrThatAreNotOursReadAsDisabled)
{
    QTemporaryDir dir;
    LaunchAtLoginService service(dir.path(), QStringLiteral("/usr/bin/dravelin"));
    const QByteArray head = "# edited by hand\n[Desktop Entry]\nType=Application\n";
    for (const auto &[body, enabled] : std::vector<std::pair<QByteArray, bool>>{
             {head + "Exec=dravelin\n", true},
             {head + "Exec = /home/me/bin/dravelin --verbose\n", true}, // moved since, still ours
             {head + "Exec=dravelin\nHidden=true\n", false},
             {head + "Exec=dravelin\nX-GNOME-Autostart-enabled=false\n", false},
             {head + "Exec=other-app\n", false},
             {"[Desktop Entry]\nType=Link\nExec=dravelin\n", false},
             {"[Other Group]\nType=Application\nExec=dravelin\n", false},
             {head + "Exec=\"/opt/dravelin\n", false}, // unterminated quote
         }) {
        writeFile(service.entryPath(), body);
        EXPECT_EQ(service.isEnabled(), enabled) << body.constData();
    }
}
