// Renders every look of the indicator and of the microphone prompt to PNG
// files, in the light and the dark palette, for reviewing the drawing:
//   dravelin_indicator_gallery OUTPUT_DIR
// Runs on any Qt platform (QT_QPA_PLATFORM=offscreen needs no display).

#include "audio/BluetoothMicrophoneMonitor.h"
#include "core/QtScheduler.h"
#include "core/UserDefaults.h"
#include "support/AudioFakes.h"
#include "ui/BluetoothMicrophonePanel.h"
#include "ui/IndicatorPanel.h"

#include <QApplication>
#include <QDir>
#include <QPalette>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstdio>

using namespace dravelin;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: dravelin_indicator_gallery OUTPUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(out.path());
    QTemporaryDir dir;
    QtScheduler scheduler;
    UserDefaults defaults(dir.filePath(QStringLiteral("s.json")));
    IndicatorController controller(defaults, scheduler);
    ui::IndicatorPanel panel(controller, [] {});
    test::FakeAudioBackend backend;
    BluetoothMicrophoneMonitor monitor(defaults, scheduler, backend);
    ui::BluetoothMicrophoneNotificationController prompt(monitor, controller);

    const QPalette light = app.palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(40, 40, 44));
    dark.setColor(QPalette::WindowText, QColor(236, 236, 238));
    for (int i = 0; i < IndicatorController::levelHistoryLength; ++i)
        controller.pushLevel(static_cast<float>(0.15 + 0.8 * std::abs(std::sin(i * 0.45)) * (i % 7 + 3) / 10.0));

    const QList<std::pair<QString, IndicatorState>> states = {
        {QStringLiteral("idle"), IndicatorState::idle()},
        {QStringLiteral("recording"), IndicatorState::recording()},
        {QStringLiteral("processing"), IndicatorState::processing()},
        {QStringLiteral("result"), IndicatorState::result(QStringLiteral("Hello world. This is a test of the "
                                                                         "server, pasted where you were typing."))},
        {QStringLiteral("error"), IndicatorState::error(QStringLiteral("Could not reach the server. Your recording "
                                                                       "is saved; retry from the menu."))},
        {QStringLiteral("ask-answer"),
         IndicatorState::askAnswer(QStringLiteral("The capital of Australia is Canberra, chosen in 1908 as a "
                                                  "compromise between Sydney and Melbourne."),
                                   {{QStringLiteral("Australian Capital Territory — history"),
                                     QUrl(QStringLiteral("https://example.org/act"))},
                                    {QStringLiteral("Canberra"), QUrl(QStringLiteral("https://example.org/c"))}})},
        {QStringLiteral("sign-in"), IndicatorState::signInRequired()},
    };
    for (const auto &[paletteName, palette] :
         {std::pair{QStringLiteral("light"), light}, std::pair{QStringLiteral("dark"), dark}}) {
        app.setPalette(palette);
        for (const auto &[name, state] : states) {
            const QList<WaveformStyle> styles =
                state.kind() == IndicatorState::Kind::recording
                    ? QList{WaveformStyle::bars, WaveformStyle::wave, WaveformStyle::spectrum}
                    : QList{WaveformStyle::bars};
            for (const WaveformStyle style : styles) {
                controller.setWaveformStyle(style);
                controller.present(state);
                QTest::qWait(150);
                const QString file = state.kind() == IndicatorState::Kind::recording
                                         ? QStringLiteral("%1-%2-%3.png").arg(name, toString(style), paletteName)
                                         : QStringLiteral("%1-%2.png").arg(name, paletteName);
                panel.grab().save(out.filePath(file));
            }
        }
        // A new headset for each palette: each is prompted once.
        const QString headset = QStringLiteral("bluez_source.headset.") + paletteName;
        monitor.deviceConnected(headset, QStringLiteral("Headset Microphone"), QStringLiteral("alsa_input.pci"),
                                QStringLiteral("Built-in Audio"));
        QTest::qWait(150);
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QStringLiteral("bluetooth-microphone-prompt"))
                w->grab().save(out.filePath(QStringLiteral("bluetooth-prompt-%1.png").arg(paletteName)));
        }
        monitor.choose(BluetoothMicrophoneChoice::systemMicrophone);
    }
    std::printf("%s\n", qPrintable(out.path()));
    return 0;
}
