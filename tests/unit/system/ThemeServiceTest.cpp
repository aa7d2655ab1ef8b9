#include "system/ThemeService.h"
#include "core/UserDefaults.h"
#include "support/Fakes.h"
#include "support/LogCapture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;

TEST(ThemeServiceTest, OnlyExactlyDarkIsDarkAndTheKeyIsNormalised)
{
    for (const auto &[stored, expected] : std::vector<std::pair<std::optional<QString>, ThemeService::Mode>>{
             {std::nullopt, ThemeService::Mode::light},
             {QStringLiteral("dark"), ThemeService::Mode::dark},
             {QStringLiteral("Dark"), ThemeService::Mode::light},
             {QStringLiteral("system"), ThemeService::Mode::light}}) {
        QTemporaryDir dir;
        UserDefaults defaults(dir.filePath(QStringLiteral("s.json")));
        if (stored)
            defaults.set(QStringLiteral("theme.mode"), *stored);
        test::FakeAppearance appearance;
        ThemeService theme(defaults, appearance);
        EXPECT_EQ(theme.mode(), expected);
        EXPECT_EQ(defaults.string(QStringLiteral("theme.mode")), ThemeService::rawValue(expected));
        EXPECT_TRUE(appearance.applied.empty()); // applying is the container's call
    }
}

TEST(ThemeServiceTest, SettingTheModeStoresAndAppliesIt)
{
    QTemporaryDir dir;
    UserDefaults defaults(dir.filePath(QStringLiteral("s.json")));
    test::FakeAppearance appearance;
    test::LogCapture logs;
    ThemeService theme(defaults, appearance);
    theme.apply();
    theme.setMode(ThemeService::Mode::dark);
    EXPECT_EQ(appearance.applied, (std::vector<bool>{false, true}));
    EXPECT_EQ(defaults.string(QStringLiteral("theme.mode")), QStringLiteral("dark"));
    EXPECT_TRUE(logs.has(QStringLiteral("theme"), QStringLiteral("Theme applied: dark")));
}
