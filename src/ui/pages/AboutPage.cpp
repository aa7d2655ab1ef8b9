#include "ui/pages/AboutPage.h"

#include "core/Paths.h"
#include "core/UserDefaults.h"
#include "pipeline/ServiceContainer.h"

#include <QDesktopServices>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace dravelin::ui {

namespace {

QLabel *selectable(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
}

QPushButton *folderButton(const QString &text, const QString &folder, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setAccessibleName(text);
    QObject::connect(button, &QPushButton::clicked, parent,
                     [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
    return button;
}

} // namespace

AboutPage::AboutPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column =
        scaffold(QStringLiteral("About Dravelin"),
                 QStringLiteral("Dictation into any application: speak, and your words are typed where your cursor "
                                "is, tidied up and spelled your way."));
    auto *version = style::heading(QStringLiteral("Version %1").arg(QStringLiteral(DRAVELIN_VERSION)), this, 1.1);
    version->setAccessibleName(QStringLiteral("Version"));
    column->addWidget(version);

    auto *where = style::section(QStringLiteral("Where things are"), this);
    auto *form = new QFormLayout(where);
    form->addRow(QStringLiteral("Server"), selectable(m_services.constants().baseURL.toString(), where));
    form->addRow(QStringLiteral("Settings"), selectable(m_services.defaults().filePath(), where));
    form->addRow(QStringLiteral("Logs"), selectable(paths::stateDir() + QStringLiteral("/dravelin.log"), where));
    form->addRow(QStringLiteral("Your data"), selectable(paths::dataDir(), where));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(folderButton(QStringLiteral("Open log folder"), paths::stateDir(), where));
    buttons->addWidget(folderButton(QStringLiteral("Open data folder"), paths::dataDir(), where));
    buttons->addStretch(1);
    form->addRow(buttons);
    column->addWidget(where);

    auto *credits = style::section(QStringLiteral("Built with"), this);
    auto *creditsColumn = new QVBoxLayout(credits);
    creditsColumn->addWidget(style::note(
        QStringLiteral("Qt (LGPL 3; Qt Charts GPL 3), QCoro (MIT), whisper.cpp and llama.cpp (MIT), FFmpeg (LGPL 2.1), "
                       "SQLite (public domain), nlohmann/json (MIT), QtKeychain (BSD), PocketSphinx "
                       "(BSD). Speech recognition uses the Whisper model weights (MIT)."),
        credits));
    column->addWidget(credits);
    column->addStretch(1);
}

} // namespace dravelin::ui
