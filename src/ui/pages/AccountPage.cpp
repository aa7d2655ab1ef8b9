#include "ui/pages/AccountPage.h"

#include "account/AuthService.h"
#include "pipeline/ServiceContainer.h"

#include <QApplication>
#include <QBuffer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QToolButton>
#include <QVBoxLayout>

#include <thread>

namespace dravelin::ui {

namespace avatar {

const std::vector<Preset> &presets()
{
    // Mid-tone colours that carry white initials and sit well on light and
    // dark windows alike.
    static const std::vector<Preset> all{
        {QStringLiteral("blue"), QStringLiteral("Blue"), QColor(0x3a, 0x6e, 0xc8)},
        {QStringLiteral("teal"), QStringLiteral("Teal"), QColor(0x1f, 0x8a, 0x86)},
        {QStringLiteral("green"), QStringLiteral("Green"), QColor(0x3d, 0x8b, 0x3d)},
        {QStringLiteral("orange"), QStringLiteral("Orange"), QColor(0xd0, 0x6a, 0x1e)},
        {QStringLiteral("red"), QStringLiteral("Red"), QColor(0xc2, 0x41, 0x4b)},
        {QStringLiteral("pink"), QStringLiteral("Pink"), QColor(0xc1, 0x45, 0x8e)},
        {QStringLiteral("purple"), QStringLiteral("Purple"), QColor(0x7b, 0x4f, 0xc4)},
        {QStringLiteral("grey"), QStringLiteral("Grey"), QColor(0x60, 0x6b, 0x78)},
    };
    return all;
}

std::optional<Preset> presetNamed(const QString &id)
{
    for (const Preset &preset : presets()) {
        if (preset.id == id)
            return preset;
    }
    return std::nullopt;
}

namespace {

// The first letter or digit of `text`, in capitals (a character outside the
// basic plane stays whole).
QString firstLetter(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size()) {
            const char32_t code = QChar::surrogateToUcs4(text[i], text[i + 1]);
            if (QChar::isLetterOrNumber(code))
                return text.mid(i, 2).toUpper();
            ++i;
        } else if (text[i].isLetterOrNumber()) {
            return QString(text[i]).toUpper();
        }
    }
    return {};
}

} // namespace

QString initials(const std::optional<QString> &firstName, const std::optional<QString> &lastName, const QString &email)
{
    const QString fromNames = firstLetter(firstName.value_or(QString())) + firstLetter(lastName.value_or(QString()));
    if (!fromNames.isEmpty())
        return fromNames;
    const QString fromEmail = firstLetter(email.section(u'@', 0, 0));
    return fromEmail.isEmpty() ? QStringLiteral("?") : fromEmail;
}

Expected<Upload, QString> prepareUpload(const QString &path, qint64 maxFileBytes)
{
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return Unexpected{QStringLiteral("That file can't be opened.")};
    if (file.size() > maxFileBytes) {
        const double megabytes = static_cast<double>(file.size()) / (1024.0 * 1024.0);
        return Unexpected{QStringLiteral("That picture is %1 MB; choose one of %2 MB or less.")
                              .arg(megabytes, 0, 'f', 1)
                              .arg(maxFileBytes / (1024 * 1024))};
    }
    QImageReader reader(path);
    reader.setAutoTransform(true); // photos taken sideways stand upright
    QImage image = reader.read();
    if (image.isNull())
        return Unexpected{QStringLiteral("That file isn't a picture Dravelin can read.")};

    const int side = std::min(image.width(), image.height());
    image = image.copy((image.width() - side) / 2, (image.height() - side) / 2, side, side);
    if (side > kMaxSide)
        image = image.scaled(kMaxSide, kMaxSide, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);

    Upload upload;
    const bool transparent = image.hasAlphaChannel();
    upload.mimeType = transparent ? QStringLiteral("image/png") : QStringLiteral("image/jpeg");
    QBuffer buffer(&upload.bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, transparent ? "PNG" : "JPEG", transparent ? -1 : 88))
        return Unexpected{QStringLiteral("That picture couldn't be converted for upload.")};
    upload.image = std::move(image);
    return upload;
}

QPixmap render(const QImage &picture, const QColor &background, const QColor &foreground, const QString &initials,
               int size, qreal devicePixelRatio)
{
    const int pixels = qRound(size * devicePixelRatio);
    QPixmap pixmap(pixels, pixels);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath circle;
    circle.addEllipse(QRectF(0, 0, size, size));
    if (!picture.isNull()) {
        painter.setClipPath(circle);
        const QImage scaled = picture.scaled(pixels, pixels, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        const QRectF source((scaled.width() - pixels) / 2.0, (scaled.height() - pixels) / 2.0, pixels, pixels);
        painter.drawImage(QRectF(0, 0, size, size), scaled, source);
        return pixmap;
    }
    painter.fillPath(circle, background);
    QFont font = QApplication::font();
    font.setBold(true);
    font.setPixelSize(std::max(8, size * (initials.size() > 1 ? 38 : 46) / 100));
    painter.setFont(font);
    painter.setPen(foreground);
    painter.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, initials);
    return pixmap;
}

} // namespace avatar

namespace {

constexpr int kPreviewSize = 72;
constexpr int kPresetSize = 36;

QProgressBar *busyBar(QWidget *parent)
{
    auto *bar = new QProgressBar(parent);
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setFixedWidth(90);
    bar->setMaximumHeight(10);
    bar->setVisible(false);
    return bar;
}

} // namespace

AccountPage::AccountPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column =
        scaffold(QStringLiteral("Account"), QStringLiteral("Your name and picture, and signing out of Dravelin."));
    m_keyringWarning = style::problem(this);
    m_keyringWarning->setAccessibleName(QStringLiteral("Keyring warning"));
    column->addWidget(m_keyringWarning);
    column->addWidget(buildProfileSection());
    column->addWidget(buildPictureSection());

    auto *session = style::section(QStringLiteral("Session"), this);
    auto *sessionRow = new QHBoxLayout(session);
    m_signedInAs = new QLabel(session);
    m_signedInAs->setWordWrap(true);
    m_signOut = new QPushButton(QStringLiteral("Sign out"), session);
    m_signOut->setAccessibleName(QStringLiteral("Sign out"));
    sessionRow->addWidget(m_signedInAs, 1);
    sessionRow->addWidget(m_signOut);
    column->addWidget(session);
    column->addStretch(1);

    connect(m_signOut, &QPushButton::clicked, this, [this] { m_tasks.track(signOut()); });
    AuthService &auth = services.auth();
    connect(&auth, &AuthService::userChanged, this, &AccountPage::refresh);
    connect(&auth, &AuthService::sessionPersistenceChanged, this, &AccountPage::refresh);
    refresh();
}

AccountPage::~AccountPage() = default;

QWidget *AccountPage::buildProfileSection()
{
    auto *section = style::section(QStringLiteral("Profile"), this);
    auto *form = new QFormLayout(section);
    m_email = new QLabel(section);
    m_email->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_email->setAccessibleName(QStringLiteral("E-mail address"));
    m_firstName = new QLineEdit(section);
    m_firstName->setAccessibleName(QStringLiteral("First name"));
    m_lastName = new QLineEdit(section);
    m_lastName->setAccessibleName(QStringLiteral("Last name"));
    form->addRow(QStringLiteral("E-mail"), m_email);
    form->addRow(QStringLiteral("First name"), m_firstName);
    form->addRow(QStringLiteral("Last name"), m_lastName);

    auto *saveRow = new QHBoxLayout;
    m_save = new QPushButton(QStringLiteral("Save"), section);
    m_save->setAccessibleName(QStringLiteral("Save name"));
    m_profileProgress = busyBar(section);
    m_profileStatus = style::note(QString(), section);
    m_profileProblem = style::problem(section);
    saveRow->addWidget(m_save);
    saveRow->addWidget(m_profileProgress);
    saveRow->addWidget(m_profileStatus, 1);
    saveRow->addWidget(m_profileProblem, 1);
    form->addRow(saveRow);

    connect(m_save, &QPushButton::clicked, this, [this] { m_tasks.track(saveProfile()); });
    connect(m_firstName, &QLineEdit::textEdited, this, &AccountPage::refreshSaveButton);
    connect(m_lastName, &QLineEdit::textEdited, this, &AccountPage::refreshSaveButton);
    connect(m_firstName, &QLineEdit::returnPressed, m_save, &QPushButton::click);
    connect(m_lastName, &QLineEdit::returnPressed, m_save, &QPushButton::click);
    return section;
}

QWidget *AccountPage::buildPictureSection()
{
    auto *section = style::section(QStringLiteral("Picture"), this);
    auto *row = new QHBoxLayout(section);
    m_avatar = new QLabel(section);
    m_avatar->setFixedSize(kPreviewSize, kPreviewSize);
    m_avatar->setAccessibleName(QStringLiteral("Your picture"));
    row->addWidget(m_avatar, 0, Qt::AlignTop);
    row->addSpacing(12);

    auto *choices = new QVBoxLayout;
    choices->addWidget(style::note(QStringLiteral("Pick a colour for your initials, or upload a picture."), section));
    auto *presetRow = new QHBoxLayout;
    presetRow->setSpacing(4);
    for (const avatar::Preset &preset : avatar::presets()) {
        auto *button = new QToolButton(section);
        button->setCheckable(true);
        button->setAutoRaise(true);
        button->setIconSize(QSize(kPresetSize, kPresetSize));
        button->setToolTip(preset.name);
        button->setAccessibleName(QStringLiteral("%1 picture").arg(preset.name));
        const QString id = preset.id;
        connect(button, &QToolButton::clicked, this, [this, id] { m_tasks.track(choosePreset(id)); });
        presetRow->addWidget(button);
        m_presetButtons.push_back(button);
    }
    presetRow->addStretch(1);
    choices->addLayout(presetRow);

    auto *uploadRow = new QHBoxLayout;
    m_upload = new QPushButton(QStringLiteral("Upload picture…"), section);
    m_upload->setAccessibleName(QStringLiteral("Upload picture"));
    m_pictureProgress = busyBar(section);
    m_pictureStatus = style::note(QString(), section);
    m_pictureProblem = style::problem(section);
    uploadRow->addWidget(m_upload);
    uploadRow->addWidget(m_pictureProgress);
    uploadRow->addWidget(m_pictureStatus, 1);
    uploadRow->addWidget(m_pictureProblem, 1);
    choices->addLayout(uploadRow);
    row->addLayout(choices, 1);

    connect(m_upload, &QPushButton::clicked, this, &AccountPage::choosePicture);
    return section;
}

void AccountPage::pageShown()
{
    refresh();
}

void AccountPage::refresh()
{
    AuthService &auth = m_services.auth();
    const auto &user = auth.user();
    const bool signedIn = auth.isSignedIn();

    const bool warn = signedIn && !auth.sessionPersisted();
    m_keyringWarning->setText(
        warn ? QStringLiteral("No keyring answered, so this sign-in will not be remembered after Dravelin quits. %1")
                   .arg(auth.keychainHealth().problem)
                   .trimmed()
             : QString());
    m_keyringWarning->setVisible(warn);

    m_email->setText(user ? user->email : QString());
    // Names the user is editing stay as typed.
    if (!m_firstName->isModified())
        m_firstName->setText(user ? user->firstName.value_or(QString()) : QString());
    if (!m_lastName->isModified())
        m_lastName->setText(user ? user->lastName.value_or(QString()) : QString());
    m_firstName->setEnabled(user.has_value());
    m_lastName->setEnabled(user.has_value());
    m_signedInAs->setText(user ? QStringLiteral("Signed in as %1").arg(user->email)
                               : (signedIn ? QStringLiteral("Signed in") : QStringLiteral("You're signed out.")));
    m_signOut->setEnabled(signedIn);

    const std::optional<QString> url = user ? user->avatarURL : std::nullopt;
    const bool hasPreset = user && user->avatarPreset && !user->avatarPreset->isEmpty();
    if (url && !url->isEmpty() && !hasPreset)
        loadPicture(QUrl(*url));
    refreshSaveButton();
    refreshAvatar();
}

void AccountPage::refreshAvatar()
{
    const auto &user = m_services.auth().user();
    const QString letters = user ? avatar::initials(user->firstName, user->lastName, user->email) : QStringLiteral("?");
    const qreal ratio = devicePixelRatioF();
    const QString presetID = user ? user->avatarPreset.value_or(QString()) : QString();
    const auto preset = avatar::presetNamed(presetID);
    const bool showPicture =
        !preset && !m_picture.isNull() && user && user->avatarURL && QUrl(*user->avatarURL) == m_pictureURL;
    const QColor white(Qt::white);
    if (showPicture) {
        m_avatar->setPixmap(avatar::render(m_picture, {}, {}, {}, kPreviewSize, ratio));
    } else if (preset) {
        m_avatar->setPixmap(avatar::render({}, preset->colour, white, letters, kPreviewSize, ratio));
    } else {
        m_avatar->setPixmap(avatar::render({}, palette().color(QPalette::Mid), palette().color(QPalette::ButtonText),
                                           letters, kPreviewSize, ratio));
    }
    const auto &all = avatar::presets();
    for (size_t i = 0; i < m_presetButtons.size() && i < all.size(); ++i) {
        QToolButton *button = m_presetButtons[i];
        button->setIcon(avatar::render({}, all[i].colour, white, letters, kPresetSize, ratio));
        button->setChecked(preset && preset->id == all[i].id);
        button->setEnabled(user.has_value() && !m_pictureBusy);
    }
    m_upload->setEnabled(user.has_value() && !m_pictureBusy);
}

void AccountPage::refreshSaveButton()
{
    const auto &user = m_services.auth().user();
    const bool changed = user && (m_firstName->text().trimmed() != user->firstName.value_or(QString()).trimmed() ||
                                  m_lastName->text().trimmed() != user->lastName.value_or(QString()).trimmed());
    m_save->setEnabled(changed && !m_profileBusy);
    if (changed) {
        m_profileStatus->clear();
        m_profileProblem->setVisible(false);
    }
}

void AccountPage::loadPicture(const QUrl &url)
{
    if (url == m_pictureURL || !url.isValid() || (url.scheme() != u"https" && url.scheme() != u"http"))
        return;
    m_pictureURL = url;
    m_picture = QImage();
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    QNetworkRequest request(url);
    request.setTransferTimeout(15000);
    QNetworkReply *reply = m_network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, url] {
        reply->deleteLater();
        if (url != m_pictureURL || reply->error() != QNetworkReply::NoError)
            return;
        const QByteArray bytes = reply->read(avatar::kMaxFileBytes + 1);
        if (bytes.size() > avatar::kMaxFileBytes)
            return;
        m_picture = QImage::fromData(bytes);
        refreshAvatar();
    });
}

void AccountPage::setProfileBusy(bool busy)
{
    m_profileBusy = busy;
    m_profileProgress->setVisible(busy);
    m_firstName->setReadOnly(busy);
    m_lastName->setReadOnly(busy);
    refreshSaveButton();
}

void AccountPage::setPictureBusy(bool busy, const QString &status)
{
    m_pictureBusy = busy;
    m_pictureProgress->setVisible(busy);
    m_pictureStatus->setText(status);
    if (busy)
        m_pictureProblem->setVisible(false);
    refreshAvatar();
}

void AccountPage::showPictureProblem(const QString &problem)
{
    m_pictureStatus->clear();
    m_pictureProblem->setText(problem);
    m_pictureProblem->setVisible(true);
}

QCoro::Task<> AccountPage::saveProfile()
{
    if (m_profileBusy)
        co_return;
    const QString first = m_firstName->text().trimmed();
    const QString last = m_lastName->text().trimmed();
    QPointer<AccountPage> self(this);
    AuthService &auth = m_services.auth();
    m_profileStatus->setText(QStringLiteral("Saving…"));
    m_profileProblem->setVisible(false);
    setProfileBusy(true);
    const auto result = co_await auth.updateProfile(first, last);
    if (!self)
        co_return;
    if (result) {
        m_firstName->setModified(false);
        m_lastName->setModified(false);
        m_profileStatus->setText(QStringLiteral("Saved."));
    } else {
        m_profileStatus->clear();
        m_profileProblem->setText(QStringLiteral("Your name wasn't saved: %1").arg(result.error().description()));
        m_profileProblem->setVisible(true);
    }
    setProfileBusy(false);
    refresh();
}

QCoro::Task<> AccountPage::choosePreset(QString id)
{
    const auto &current = m_services.auth().user();
    if (m_pictureBusy || (current && current->avatarPreset == id)) {
        refreshAvatar();
        co_return;
    }
    QPointer<AccountPage> self(this);
    AuthService &auth = m_services.auth();
    setPictureBusy(true, QStringLiteral("Saving…"));
    const auto result = co_await auth.updateAvatarPreset(id);
    if (!self)
        co_return;
    setPictureBusy(false);
    if (!result)
        showPictureProblem(QStringLiteral("Your picture wasn't changed: %1").arg(result.error().description()));
}

void AccountPage::choosePicture()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Choose a picture"), folder,
                                     QStringLiteral("Pictures (*.png *.jpg *.jpeg *.webp *.gif *.bmp)"));
    if (path.isEmpty() || m_pictureBusy)
        return;
    setPictureBusy(true, QStringLiteral("Preparing the picture…"));
    // Reading and shrinking a large photo takes a moment: off the main thread.
    QPointer<AccountPage> self(this);
    std::thread([self, path] {
        Expected<avatar::Upload, QString> prepared = avatar::prepareUpload(path);
        QMetaObject::invokeMethod(qApp, [self, prepared = std::move(prepared)] {
            if (self)
                self->m_tasks.track(self->upload(prepared));
        });
    }).detach();
}

QCoro::Task<> AccountPage::upload(Expected<avatar::Upload, QString> prepared)
{
    if (!prepared) {
        setPictureBusy(false);
        showPictureProblem(prepared.error());
        co_return;
    }
    QPointer<AccountPage> self(this);
    AuthService &auth = m_services.auth();
    QByteArray bytes = prepared->bytes;
    QString mimeType = prepared->mimeType;
    const QImage image = prepared->image;
    setPictureBusy(true, QStringLiteral("Uploading…"));
    const auto result = co_await auth.uploadAvatar(std::move(bytes), std::move(mimeType));
    if (!self)
        co_return;
    if (result) {
        // Shown from what was sent, without downloading it again.
        const auto &user = auth.user();
        if (user && user->avatarURL) {
            m_pictureURL = QUrl(*user->avatarURL);
            m_picture = image;
        }
    }
    setPictureBusy(false, result ? QStringLiteral("Picture updated.") : QString());
    if (!result)
        showPictureProblem(QStringLiteral("Your picture wasn't uploaded: %1").arg(result.error().description()));
}

QCoro::Task<> AccountPage::signOut()
{
    QPointer<AccountPage> self(this);
    AuthService &auth = m_services.auth();
    m_signOut->setEnabled(false);
    co_await auth.signOut();
    if (self)
        refresh();
}

} // namespace dravelin::ui
