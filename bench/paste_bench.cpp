// Paste and focus-probe figures on a real X server: run inside
// tests/desktop/with-desktop.sh with the test window's path as argument.
//
//   paste_bench PATH/TO/dravelin_test_window [runs]

#include "core/LogHandler.h"
#include "core/QtScheduler.h"
#include "output/PasteService.h"
#include "platform/linux/AtSpiInspector.h"
#include "platform/linux/DesktopWorkspace.h"
#include "platform/linux/QtPasteboard.h"
#include "platform/linux/XTestKeySynthesizer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace dravelin;

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

QCoro::Task<> pause(Scheduler &scheduler, Millis duration)
{
    co_await scheduler.sleep(duration);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    logs::Router::install(); // no sinks: the log lines stay out of the figures
    if (argc < 2) {
        std::fprintf(stderr, "usage: paste_bench TEST_WINDOW [runs]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
    QProcess window;
    window.start(QString::fromLocal8Bit(argv[1]), {});
    window.waitForReadyRead(10000);
    window.readAll();

    QtScheduler scheduler;
    nix::XTestKeySynthesizer keys;
    nix::QtPasteboard pasteboard;
    nix::DesktopWorkspace workspace;
    nix::AtSpiInspector inspector;
    PasteService service(keys, pasteboard, workspace, inspector, scheduler);
    QCoro::waitFor(pause(scheduler, Millis(300)));

    std::vector<double> pastes, probes, firstProbe;
    for (int i = 0; i < runs; ++i) {
        pasteboard.setString(QStringLiteral("previous clipboard"));
        QElapsedTimer timer;
        timer.start();
        QCoro::waitFor(service.paste(QStringLiteral("The quick brown fox. "), std::nullopt, false));
        pastes.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);

        timer.restart();
        const EditableFocus focus = QCoro::waitFor(service.focusedEditableTarget(std::nullopt));
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        (i == 0 ? firstProbe : probes).push_back(ms);
        if (focus != EditableFocus::editable)
            std::fprintf(stderr, "probe said %s\n", qPrintable(toString(focus)));
    }
    std::printf("paste (Ctrl+V posted to clipboard restored), median of %d: %.1f ms "
                "(of which 250 ms is the fixed wait for the target to read the clipboard)\n",
                runs, median(pastes));
    std::printf("focus probe on the test window: first %.2f ms (connects to the accessibility bus), "
                "then median %.2f ms\n",
                firstProbe.empty() ? 0 : firstProbe.front(), median(probes));
    window.closeWriteChannel();
    window.waitForFinished(3000);
    return 0;
}
