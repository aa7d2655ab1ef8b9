#include "ui/pages/AccountPage.h"
#include "ui/pages/AdminPage.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::ui;

TEST(AvatarTest, InitialsComeFromTheNamesThenTheAddress)
{
    EXPECT_EQ(avatar::initials(QStringLiteral("ada"), QStringLiteral("Lovelace"), QStringLiteral("a@x.io")), u"AL");
    EXPECT_EQ(avatar::initials(QStringLiteral("  émile"), std::nullopt, QString()), u"É");
    EXPECT_EQ(avatar::initials(std::nullopt, QStringLiteral("(Hopper)"), QString()), u"H");
    EXPECT_EQ(avatar::initials(QString(), QString(), QStringLiteral("grace@navy.mil")), u"G");
    EXPECT_EQ(avatar::initials(std::nullopt, std::nullopt, QStringLiteral("@@")), u"?");
    EXPECT_EQ(avatar::initials(QStringLiteral("𝒜lice"), std::nullopt, QString()), u"𝒜")
        << "a letter outside the basic plane is not cut in half";
    EXPECT_TRUE(avatar::presetNamed(avatar::presets().front().id));
    EXPECT_FALSE(avatar::presetNamed(QStringLiteral("no-such-preset")));
}

TEST(AvatarTest, UploadsAreSquareSmallAndKeepTransparency)
{
    QTemporaryDir dir;
    const QString photo = dir.filePath(QStringLiteral("photo.png"));
    QImage wide(2000, 1000, QImage::Format_RGB32);
    wide.fill(Qt::darkCyan);
    ASSERT_TRUE(wide.save(photo));
    const auto big = avatar::prepareUpload(photo);
    ASSERT_TRUE(big) << big.error().toStdString();
    EXPECT_EQ(big->mimeType, u"image/jpeg");
    EXPECT_EQ(QImage::fromData(big->bytes).size(), QSize(avatar::kMaxSide, avatar::kMaxSide));

    const QString icon = dir.filePath(QStringLiteral("icon.png"));
    QImage small(100, 60, QImage::Format_ARGB32);
    small.fill(Qt::transparent);
    ASSERT_TRUE(small.save(icon));
    const auto transparent = avatar::prepareUpload(icon);
    ASSERT_TRUE(transparent);
    EXPECT_EQ(transparent->mimeType, u"image/png");
    EXPECT_EQ(QImage::fromData(transparent->bytes).size(), QSize(60, 60)) << "small pictures are not enlarged";

    const auto tooLarge = avatar::prepareUpload(photo, 1024);
    ASSERT_FALSE(tooLarge);
    EXPECT_TRUE(tooLarge.error().contains(u"MB")) << tooLarge.error().toStdString();

    const QString text = dir.filePath(QStringLiteral("notes.png"));
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    EXPECT_FALSE(avatar::prepareUpload(text));
    EXPECT_FALSE(avatar::prepareUpload(dir.filePath(QStringLiteral("missing.jpg"))));
}

TEST(AdminTextTest, DurationsLatenciesAndLastSeen)
{
    EXPECT_EQ(adminText::duration(0), u"0 s");
    EXPECT_EQ(adminText::duration(59'999), u"59 s");
    EXPECT_EQ(adminText::duration(60'000), u"1 min");
    EXPECT_EQ(adminText::duration(3'600'000), u"1 h");
    EXPECT_EQ(adminText::duration(3'725'000), u"1 h 2 min");

    EXPECT_EQ(adminText::latency(std::nullopt), u"—");
    EXPECT_EQ(adminText::latency(850), u"850 ms");
    EXPECT_EQ(adminText::latency(1'240), u"1.2 s");

    const QDateTime now = QDateTime::currentDateTime();
    EXPECT_EQ(adminText::lastActive(std::nullopt, now), u"Never");
    EXPECT_EQ(adminText::lastActive(QStringLiteral("last spring"), now), u"last spring");
    const QString stamp = now.toUTC().toString(Qt::ISODate).chopped(1) + QStringLiteral(".123456+00:00");
    EXPECT_TRUE(adminText::lastActive(stamp, now).startsWith(u"Today "))
        << adminText::lastActive(stamp, now).toStdString();
}
