#include "ui/pages/MicrophonePage.h"

#include "audio/BluetoothMicrophoneMonitor.h"
#include "audio/MicCaptureSession.h"
#include "audio/MicTestRecording.h"
#include "audio/StreamingDictationRecorder.h"
#include "core/UserDefaults.h"
#include "pipeline/ServiceContainer.h"
#include "platform/AudioCapture.h"
#include "ui/MicLevelBar.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <thread>

namespace dravelin::ui {

MicrophonePage::MicrophonePage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column = scaffold(QStringLiteral("Microphone"),
                                   QStringLiteral("Pick the microphone Dravelin records from and check that it "
                                                  "hears you."));
    auto *input = style::section(QStringLiteral("Input"), this);
    auto *form = new QFormLayout(input);
    m_device = new QComboBox(input);
    m_device->setAccessibleName(QStringLiteral("Record from"));
    m_device->addItem(QStringLiteral("System default"), QString());
    form->addRow(QStringLiteral("Record from"), m_device);
    m_level = new MicLevelBar(m_services, input);
    form->addRow(QStringLiteral("Level"), m_level);
    column->addWidget(input);

    auto *test = style::section(QStringLiteral("Test recording"), this);
    auto *testColumn = new QVBoxLayout(test);
    testColumn->addWidget(style::note(QStringLiteral("Record five seconds and listen to what Dravelin hears."), test));
    auto *buttons = new QHBoxLayout;
    m_record = new QPushButton(QStringLiteral("Record a test"), test);
    m_record->setAccessibleName(QStringLiteral("Record a test"));
    m_play = new QPushButton(QStringLiteral("Play it back"), test);
    m_play->setAccessibleName(QStringLiteral("Play it back"));
    buttons->addWidget(m_record);
    buttons->addWidget(m_play);
    buttons->addStretch(1);
    testColumn->addLayout(buttons);
    m_testState = style::note(QString(), test);
    testColumn->addWidget(m_testState);
    column->addWidget(test);

    auto *recognition = style::section(QStringLiteral("Speech recognition"), this);
    auto *recognitionForm = new QFormLayout(recognition);
    auto *model = new QComboBox(recognition);
    model->setAccessibleName(QStringLiteral("Speech model"));
    const QString chosen = m_services.defaults()
                               .string(QString::fromLatin1(StreamingDictationRecorder::kModelKey))
                               .value_or(QStringLiteral("tiny.en"));
    for (const QString &name : ServiceContainer::installedSpeechModels()) {
        model->addItem(name == u"tiny.en" ? QStringLiteral("tiny.en (English, fastest)") : name, name);
        if (name == chosen)
            model->setCurrentIndex(model->count() - 1);
    }
    model->setEnabled(model->count() > 1);
    connect(model, &QComboBox::activated, this, [this, model](int index) {
        m_services.defaults().set(QString::fromLatin1(StreamingDictationRecorder::kModelKey),
                                  model->itemData(index).toString());
    });
    recognitionForm->addRow(QStringLiteral("Speech model"), model);
    auto *language = new QComboBox(recognition);
    language->setAccessibleName(QStringLiteral("Language you speak"));
    const QString spoken = StreamingDictationRecorder::spokenLanguage(m_services.defaults());
    const std::pair<const char *, const char *> languages[] = {
        {"auto", "Detect it each time"},
        {"en", "English"},
        {"de", "German"},
        {"fr", "French"},
        {"es", "Spanish"},
        {"it", "Italian"},
        {"pt", "Portuguese"},
        {"nl", "Dutch"},
        {"pl", "Polish"},
        {"sv", "Swedish"},
        {"tr", "Turkish"},
        {"uk", "Ukrainian"},
        {"ja", "Japanese"},
        {"zh", "Chinese"},
    };
    for (const auto &[code, name] : languages) {
        language->addItem(QString::fromUtf8(name), QString::fromLatin1(code));
        if (spoken == QLatin1String(code))
            language->setCurrentIndex(language->count() - 1);
    }
    if (language->findData(spoken) < 0) { // the desktop's language, when it is not listed
        language->addItem(QLocale(spoken).nativeLanguageName(), spoken);
        language->setCurrentIndex(language->count() - 1);
    }
    connect(language, &QComboBox::activated, this, [this, language](int index) {
        m_services.defaults().set(QString::fromLatin1(StreamingDictationRecorder::kLanguageKey),
                                  language->itemData(index).toString());
    });
    recognitionForm->addRow(QStringLiteral("Language you speak"), language);
    recognitionForm->addRow(style::note(QStringLiteral("The language goes with every dictation; English-only "
                                                       "models (tiny.en) always hear English. The model is used when "
                                                       "Dravelin recognises speech on this computer instead of on the "
                                                       "server, from its next start; `dravelin-model install base` "
                                                       "installs the larger, multilingual one."),
                                        recognition));
    column->addWidget(recognition);

    auto *bluetooth = style::section(QStringLiteral("Bluetooth headsets"), this);
    auto *bluetoothColumn = new QVBoxLayout(bluetooth);
    bluetoothColumn->addWidget(
        style::note(QStringLiteral("When a Bluetooth headset connects, Dravelin asks once whether to record from "
                                   "it. Recording from a headset switches it to a call profile, which makes music "
                                   "and other sound lower in quality while you dictate."),
                    bluetooth));
    auto *forget = new QPushButton(QStringLiteral("Ask again for every headset"), bluetooth);
    forget->setAccessibleName(forget->text());
    bluetoothColumn->addWidget(forget, 0, Qt::AlignLeft);
    connect(forget, &QPushButton::clicked, this, [this, forget] {
        m_services.defaults().remove(QString::fromLatin1(BluetoothMicrophoneMonitor::kPromptedKey));
        forget->setEnabled(false);
    });
    column->addWidget(bluetooth);
    column->addStretch(1);

    m_test = std::make_unique<MicTestRecording>(*m_services.captureBackend(), m_services.audioOutput(),
                                                m_services.scheduler(), m_services.defaults());
    connect(m_test.get(), &MicTestRecording::stateChanged, this, &MicrophonePage::refreshTest);
    connect(m_test.get(), &MicTestRecording::levelChanged, this, [this](float level) { m_level->showLevel(level); });
    connect(m_record, &QPushButton::clicked, this, [this] {
        if (m_test->state() == MicTestRecording::State::recording) {
            m_test->stopRecording();
            return;
        }
        // One capture at a time: the meter pauses for the test.
        m_level->stop();
        m_test->taskTracker().track(m_test->record());
    });
    connect(m_play, &QPushButton::clicked, this, [this] {
        if (m_test->state() == MicTestRecording::State::playing)
            m_test->stopPlaying();
        else
            m_test->taskTracker().track(m_test->play());
    });
    connect(m_device, &QComboBox::activated, this, [this](int index) {
        AudioInputDevice::select(m_services.defaults(), m_device->itemData(index).toString());
        m_level->start();
    });
    refreshTest();
}

MicrophonePage::~MicrophonePage() = default;

void MicrophonePage::pageShown()
{
    loadDevices();
    m_level->start();
}

void MicrophonePage::pageHidden()
{
    m_level->stop();
    m_test->stopRecording();
    m_test->stopPlaying();
}

void MicrophonePage::refreshTest()
{
    using State = MicTestRecording::State;
    const State state = m_test->state();
    m_record->setText(state == State::recording ? QStringLiteral("Stop") : QStringLiteral("Record a test"));
    m_play->setEnabled(state == State::recorded || state == State::playing);
    m_play->setText(state == State::playing ? QStringLiteral("Stop playing") : QStringLiteral("Play it back"));
    QString text;
    switch (state) {
    case State::idle:
        break;
    case State::recording:
        text = QStringLiteral("Recording… say a sentence.");
        break;
    case State::recorded:
    case State::playing: {
        const double seconds = static_cast<double>(m_test->recordedLength().count()) / 1000.0;
        text = m_test->peakLevel() < 0.25
                   ? QStringLiteral("Recorded %1 s, but it is nearly silent: check the input and its volume.")
                         .arg(seconds, 0, 'f', 1)
                   : QStringLiteral("Recorded %1 s.").arg(seconds, 0, 'f', 1);
        if (!m_test->error().isEmpty())
            text += u' ' + m_test->error();
        break;
    }
    case State::failed:
        text = m_test->error();
        break;
    }
    m_testState->setText(text);
    if (state == State::recorded && !m_level->isRunning())
        m_level->start();
}

void MicrophonePage::loadDevices()
{
    // Listing devices asks the sound server and may wait on it: off the main thread.
    QPointer<MicrophonePage> self(this);
    std::shared_ptr<AudioCaptureBackend> backend = m_services.captureBackend();
    std::thread([self, backend] {
        const QList<AudioInputInfo> devices = backend->inputDevices();
        QMetaObject::invokeMethod(qApp, [self, devices] {
            if (!self)
                return;
            QComboBox *box = self->m_device;
            const QString chosen = self->m_services.defaults()
                                       .string(QString::fromLatin1(MicCaptureSession::kDeviceKey))
                                       .value_or(QString());
            while (box->count() > 1)
                box->removeItem(1);
            for (const AudioInputInfo &device : devices) {
                if (!device.isMonitor)
                    box->addItem(device.name, device.uniqueID);
            }
            const int index = box->findData(chosen);
            box->setCurrentIndex(index < 0 ? 0 : index);
        });
    }).detach();
}

} // namespace dravelin::ui
