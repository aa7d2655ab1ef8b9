#pragma once

#include "core/Expected.h"
#include "core/Tasks.h"
#include "ui/Page.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QUrl>

#include <optional>
#include <vector>

class QAbstractButton;
class QLabel;
class QLineEdit;
class QNetworkAccessManager;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

// The user's picture: one of the preset colours with their initials, or a
// picture they uploaded.
namespace avatar {

struct Preset
{
    QString id; // as stored in the profile's "avatar_preset"
    QString name;
    QColor colour;
};

// The presets, in the order they are offered.
const std::vector<Preset> &presets();
std::optional<Preset> presetNamed(const QString &id);

// One or two capital letters: the first letters of the first and last name,
// else the first letter of the e-mail address, else "?".
QString initials(const std::optional<QString> &firstName, const std::optional<QString> &lastName, const QString &email);

// Picture files larger than this are refused before they are read.
inline constexpr qint64 kMaxFileBytes = 5 * 1024 * 1024;
// The longest side of an uploaded picture.
inline constexpr int kMaxSide = 512;

struct Upload
{
    QByteArray bytes;
    QString mimeType; // "image/png" or "image/jpeg"
    QImage image;     // what was encoded, to show at once
};

// Reads a picture file and readies it for upload: cropped to a centred
// square, scaled down to at most kMaxSide pixels (never up), PNG when it is
// transparent and JPEG otherwise. When it cannot, a sentence saying why.
// Reads the disk: call it off the main thread.
Expected<Upload, QString> prepareUpload(const QString &path, qint64 maxFileBytes = kMaxFileBytes);

// A round avatar `size` device-independent pixels wide: the picture when
// there is one, else `initials` on `background`.
QPixmap render(const QImage &picture, const QColor &background, const QColor &foreground, const QString &initials,
               int size, qreal devicePixelRatio);

} // namespace avatar

// The signed-in user's name and picture, the warning when the sign-in cannot
// be remembered, and signing out.
class AccountPage final : public Page
{
    Q_OBJECT
public:
    explicit AccountPage(ServiceContainer &services, QWidget *parent = nullptr);
    ~AccountPage() override;

    void pageShown() override;

    TaskTracker &taskTracker() { return m_tasks; }

private:
    QWidget *buildProfileSection();
    QWidget *buildPictureSection();
    void refresh();
    void refreshAvatar();
    void refreshSaveButton();
    void loadPicture(const QUrl &url);
    void choosePicture();
    void setProfileBusy(bool busy);
    void setPictureBusy(bool busy, const QString &status = {});
    void showPictureProblem(const QString &problem);
    QCoro::Task<> saveProfile();
    QCoro::Task<> choosePreset(QString id);
    QCoro::Task<> upload(Expected<avatar::Upload, QString> prepared);
    QCoro::Task<> signOut();

    ServiceContainer &m_services;
    QLabel *m_keyringWarning = nullptr;
    QLabel *m_email = nullptr;
    QLineEdit *m_firstName = nullptr;
    QLineEdit *m_lastName = nullptr;
    QPushButton *m_save = nullptr;
    QProgressBar *m_profileProgress = nullptr;
    QLabel *m_profileStatus = nullptr;
    QLabel *m_profileProblem = nullptr;
    QLabel *m_avatar = nullptr;
    std::vector<QToolButton *> m_presetButtons;
    QPushButton *m_upload = nullptr;
    QProgressBar *m_pictureProgress = nullptr;
    QLabel *m_pictureStatus = nullptr;
    QLabel *m_pictureProblem = nullptr;
    QLabel *m_signedInAs = nullptr;
    QPushButton *m_signOut = nullptr;
    QNetworkAccessManager *m_network = nullptr;
    // The uploaded picture and where it was loaded from.
    QImage m_picture;
    QUrl m_pictureURL;
    bool m_profileBusy = false;
    bool m_pictureBusy = false;
    TaskTracker m_tasks;
};

} // namespace dravelin::ui
