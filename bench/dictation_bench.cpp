// The stopwatch of a whole dictation, from the moment the user stops to the
// text pasted, on a private desktop (run inside tests/desktop/with-desktop.sh):
// a 5 s spoken utterance played as the microphone, dravelin-server in process,
// paste into the Qt test window. Prints the median of each step over N runs.
//
//   dictation_bench PATH/TO/dravelin_test_window [runs]

#include "HeadlessDictation.h"
#include "core/LogHandler.h"
#include "core/QtScheduler.h"
#include "support/SignedInBackend.h"
#include "support/Speech.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

using namespace dravelin;

namespace {

int median(std::vector<int> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    logs::Router::install();
    if (argc < 2) {
        std::fprintf(stderr, "usage: dictation_bench TEST_WINDOW [runs]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 10;
    QtScheduler scheduler;
    QTemporaryDir dir;
    test::SignedInBackend backend(scheduler, dir.filePath(QStringLiteral("server")),
                                  QStringLiteral("bench@example.com"), 45884);
    if (!backend.ready())
        return 1;
    AuthService &auth = backend.auth();

    // About five seconds of speech.
    const QString speech = dir.filePath(QStringLiteral("utterance.wav"));
    test::synthesizeSpeech(speech,
                           QStringLiteral("Please send the quarterly report to the whole team by Friday morning."));
    QProcess window;
    window.start(QString::fromLocal8Bit(argv[1]), {});
    window.waitForReadyRead(10000);
    window.readAll();
    QCoro::waitFor(test::pause(scheduler, Millis(300)));

    HeadlessDictation dictation(test::desktopDictationOptions(dir.path(), speech), auth, scheduler);
    QCoro::waitFor(dictation.attachHistory());

    std::map<QString, std::vector<int>> steps;
    std::vector<QString> order;
    std::vector<int> totals;
    for (int i = 0; i < runs; ++i) {
        if (!QCoro::waitFor(dictation.start()))
            return 1;
        QCoro::waitFor(test::pause(scheduler, Millis(dictation.inputDurationMs() + 300)));
        QCoro::waitFor(dictation.stop());
        QCoro::waitFor(dictation.drain(Millis(60000)));
        const auto &delivered = dictation.pipeline().lastDelivery();
        if (!delivered)
            return 1;
        int total = 0;
        for (const auto &[label, ms] : delivered->marks) {
            if (!steps.count(label))
                order.push_back(label);
            steps[label].push_back(ms);
            total += ms;
        }
        totals.push_back(total);
        if (i == 0)
            std::printf("utterance %.1f s, delivered: %s\n", static_cast<double>(dictation.inputDurationMs()) / 1000.0,
                        qPrintable(delivered->text));
    }
    std::printf("stopwatch from stop to paste, median of %d runs: %d ms\n", runs, median(totals));
    for (const QString &label : order)
        std::printf("  %-16s %5d ms\n", qPrintable(label), median(steps[label]));
    window.closeWriteChannel();
    window.waitForFinished(3000);
    return 0;
}
