#include "ui/pages/GeneralPage.h"

#include "core/UserDefaults.h"
#include "indicator/IndicatorController.h"
#include "output/RecordingAudioStore.h"
#include "pipeline/ServiceContainer.h"
#include "system/LaunchAtLoginService.h"
#include "system/SoundFeedback.h"
#include "system/ThemeService.h"
#include "system/UpdateService.h"
#include "text/Cleanup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace dravelin::ui {

namespace {

// A check box bound to a Boolean setting.
QCheckBox *settingCheckBox(const QString &text, UserDefaults &defaults, const char *key, bool checked, QWidget *parent)
{
    auto *box = new QCheckBox(text, parent);
    box->setAccessibleName(text);
    box->setChecked(checked);
    QObject::connect(box, &QCheckBox::toggled, parent,
                     [&defaults, key](bool on) { defaults.set(QString::fromLatin1(key), on); });
    return box;
}

} // namespace

GeneralPage::GeneralPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column =
        scaffold(QStringLiteral("General"), QStringLiteral("How your words are tidied up, and how Dravelin looks, "
                                                           "sounds and starts."));
    column->addWidget(buildTextSection());
    column->addWidget(buildAppearanceSection());
    column->addWidget(buildSystemSection());
    column->addStretch(1);
}

QWidget *GeneralPage::buildTextSection()
{
    UserDefaults &defaults = m_services.defaults();
    auto *section = style::section(QStringLiteral("Text"), this);
    auto *column = new QVBoxLayout(section);
    column->addWidget(settingCheckBox(QStringLiteral("Tidy punctuation, casing and filler words"), defaults,
                                      CleanupSettings::kEnabledKey, CleanupSettings::isEnabled(defaults), section));
    column->addWidget(settingCheckBox(QStringLiteral("Remove filler words"), defaults, FillerWordsSettings::kEnabledKey,
                                      FillerWordsSettings::isEnabled(defaults), section));
    column->addWidget(style::note(QStringLiteral("Filler words, one per line. They are removed wherever they stand "
                                                 "alone."),
                                  section));
    m_fillerWords = new QPlainTextEdit(section);
    m_fillerWords->setAccessibleName(QStringLiteral("Filler words"));
    m_fillerWords->setPlainText(FillerWordsSettings::words(defaults).join(u'\n'));
    m_fillerWords->setMaximumHeight(120);
    column->addWidget(m_fillerWords);
    auto *buttons = new QHBoxLayout;
    auto *save = new QPushButton(QStringLiteral("Save words"), section);
    auto *reset = new QPushButton(QStringLiteral("Reset to the built-in list"), section);
    buttons->addWidget(save);
    buttons->addWidget(reset);
    buttons->addStretch(1);
    column->addLayout(buttons);
    connect(save, &QPushButton::clicked, this, &GeneralPage::saveFillerWords);
    connect(reset, &QPushButton::clicked, this, [this] {
        m_fillerWords->clear();
        saveFillerWords();
    });
    column->addWidget(settingCheckBox(QStringLiteral("Keep recordings with the history (to play them back)"), defaults,
                                      RecordingPlaybackSettings::kKeepRecordingsKey,
                                      RecordingPlaybackSettings::keepRecordings(defaults), section));
    return section;
}

void GeneralPage::saveFillerWords()
{
    UserDefaults &defaults = m_services.defaults();
    FillerWordsSettings::saveWords(defaults, m_fillerWords->toPlainText().split(u'\n'));
    // Show the list as saved: tidied, or the built-in one after a reset.
    m_fillerWords->setPlainText(FillerWordsSettings::words(defaults).join(u'\n'));
}

QWidget *GeneralPage::buildAppearanceSection()
{
    auto *section = style::section(QStringLiteral("Sounds and appearance"), this);
    auto *form = new QFormLayout(section);
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    auto *sounds = new QCheckBox(QStringLiteral("Play a sound when recording starts and stops"), section);
    sounds->setAccessibleName(sounds->text());
    sounds->setChecked(m_services.sounds().enabled());
    connect(sounds, &QCheckBox::toggled, &m_services.sounds(), &SoundFeedback::setEnabled);
    form->addRow(sounds);
    if (ThemeService *theme = m_services.theme()) {
        auto *appearance = new QComboBox(section);
        appearance->setAccessibleName(QStringLiteral("Appearance"));
        appearance->addItem(QStringLiteral("Light"));
        appearance->addItem(QStringLiteral("Dark"));
        appearance->setCurrentIndex(theme->mode() == ThemeService::Mode::dark ? 1 : 0);
        connect(appearance, &QComboBox::currentIndexChanged, theme, [theme](int index) {
            theme->setMode(index == 1 ? ThemeService::Mode::dark : ThemeService::Mode::light);
        });
        form->addRow(QStringLiteral("Appearance"), appearance);
    }
    if (IndicatorController *indicator = m_services.indicator()) {
        auto *position = new QComboBox(section);
        position->setAccessibleName(QStringLiteral("Indicator position"));
        position->addItem(QStringLiteral("Top of the screen"));
        position->addItem(QStringLiteral("Bottom of the screen"));
        position->setCurrentIndex(indicator->position() == IndicatorPosition::bottomMiddle ? 1 : 0);
        connect(position, &QComboBox::currentIndexChanged, this, [indicator](int index) {
            indicator->setPosition(index == 1 ? IndicatorPosition::bottomMiddle : IndicatorPosition::topMiddle);
        });
        form->addRow(QStringLiteral("Indicator position"), position);
        auto *waveform = new QComboBox(section);
        waveform->setAccessibleName(QStringLiteral("Recording level style"));
        const WaveformStyle styles[] = {WaveformStyle::bars, WaveformStyle::wave, WaveformStyle::spectrum};
        waveform->addItem(QStringLiteral("Bars"));
        waveform->addItem(QStringLiteral("Wave"));
        waveform->addItem(QStringLiteral("Spectrum"));
        for (int i = 0; i < 3; ++i) {
            if (indicator->waveformStyle() == styles[i])
                waveform->setCurrentIndex(i);
        }
        connect(waveform, &QComboBox::currentIndexChanged, this, [indicator, styles](int index) {
            if (index >= 0 && index < 3)
                indicator->setWaveformStyle(styles[index]);
        });
        form->addRow(QStringLiteral("Recording level style"), waveform);
        auto *always = new QCheckBox(QStringLiteral("Keep the indicator on screen when idle"), section);
        always->setAccessibleName(always->text());
        always->setChecked(indicator->alwaysVisible());
        connect(always, &QCheckBox::toggled, this, [indicator](bool on) { indicator->setAlwaysVisible(on); });
        form->addRow(always);
    }
    return section;
}

QWidget *GeneralPage::buildSystemSection()
{
    auto *section = style::section(QStringLiteral("Startup and updates"), this);
    auto *column = new QVBoxLayout(section);
    m_launchAtLogin = new QCheckBox(QStringLiteral("Start Dravelin when I log in"), section);
    m_launchAtLogin->setAccessibleName(m_launchAtLogin->text());
    column->addWidget(m_launchAtLogin);
    if (LaunchAtLoginService *launch = m_services.launchAtLogin()) {
        m_launchAtLogin->setChecked(launch->isEnabled());
        connect(m_launchAtLogin, &QCheckBox::toggled, this, [this, launch](bool on) {
            launch->setEnabled(on);
            // A refused change shows as it really is.
            const QSignalBlocker quiet(m_launchAtLogin);
            m_launchAtLogin->setChecked(launch->isEnabled());
        });
    } else {
        m_launchAtLogin->setEnabled(false);
    }

    UserDefaults &defaults = m_services.defaults();
    column->addWidget(
        settingCheckBox(QStringLiteral("Check for updates automatically"), defaults, UpdateService::kAutomaticChecksKey,
                        defaults.boolValue(QString::fromLatin1(UpdateService::kAutomaticChecksKey), true), section));
    auto *updates = new QHBoxLayout;
    m_checkUpdates = new QPushButton(QStringLiteral("Check now"), section);
    m_checkUpdates->setAccessibleName(QStringLiteral("Check for updates now"));
    m_updateStatus = style::note(QString(), section);
    m_updateStatus->setOpenExternalLinks(true);
    m_updateStatus->setTextFormat(Qt::RichText);
    updates->addWidget(m_checkUpdates);
    updates->addWidget(m_updateStatus, 1);
    column->addLayout(updates);
    if (UpdateService *service = m_services.updates()) {
        connect(m_checkUpdates, &QPushButton::clicked, service, &UpdateService::checkForUpdates);
        connect(service, &UpdateService::stateChanged, this, &GeneralPage::refreshUpdates);
    }
    refreshUpdates();
    return section;
}

void GeneralPage::refreshUpdates()
{
    const UpdateService *service = m_services.updates();
    if (!service) {
        m_checkUpdates->setEnabled(false);
        return;
    }
    m_checkUpdates->setEnabled(service->canCheckForUpdates());
    QString text;
    switch (service->state()) {
    case UpdateState::idle:
        text = QStringLiteral("You have version %1.").arg(service->currentVersion().toHtmlEscaped());
        break;
    case UpdateState::checking:
        text = QStringLiteral("Checking…");
        break;
    case UpdateState::upToDate:
        text = QStringLiteral("Version %1 is the latest.").arg(service->currentVersion().toHtmlEscaped());
        break;
    case UpdateState::available: {
        const UpdateRelease &release = *service->latest();
        text = release.url.isEmpty()
                   ? QStringLiteral("Version %1 is available.").arg(release.version.toHtmlEscaped())
                   : QStringLiteral("Version %1 is available: <a href=\"%2\">download it</a>.")
                         .arg(release.version.toHtmlEscaped(), release.url.toString().toHtmlEscaped());
        break;
    }
    case UpdateState::failed:
        text = QStringLiteral("Could not check: %1").arg(service->error().toHtmlEscaped());
        break;
    }
    m_updateStatus->setText(text);
}

} // namespace dravelin::ui
