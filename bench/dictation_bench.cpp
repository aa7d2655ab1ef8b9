// The stopwatch of a whole dictation, from the moment the user stops to the
// text pasted, on a private desktop (run inside tests/desktop/with-desktop.sh):
// a 5 s spoken utterance played as the microphone, dravelin-server in process,
// paste into the Qt test window. The live road, the single-shot road and the
// live road with optimistic paste take turns; prints the median of each step
// over N runs of each.
//
//   dictation_bench PATH/TO/dravelin_test_window [runs]

#include "HeadlessDictation.h"
#include "core/LogHandler.h"
#include "core/QtScheduler.h"
#include "core/UserDefaults.h"
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

    // The roads side by side, interleaved run by run so that the machine's
    // state weighs on each alike.
    struct Road
    {
        const char *name;
        bool live;
        bool optimistic;
        std::map<QString, std::vector<int>> steps;
        std::vector<QString> order;
        std::vector<int> totals;
        std::vector<int> rawPasted;
    };
    std::vector<Road> roads{{"live", true, false, {}, {}, {}, {}},
                            {"single-shot", false, false, {}, {}, {}, {}},
                            {"live + optimistic paste", true, true, {}, {}, {}, {}}};
    UserDefaults &defaults = dictation.defaults();
    for (int i = 0; i < runs; ++i) {
        for (Road &road : roads) {
            defaults.set(QStringLiteral("stt.liveStreaming"), road.live);
            defaults.set(QStringLiteral("optimistic.paste"), road.optimistic);
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
                if (!road.steps.count(label))
                    road.order.push_back(label);
                road.steps[label].push_back(ms);
                total += ms;
            }
            road.totals.push_back(total);
            if (delivered->rawPastedAfterStopMs)
                road.rawPasted.push_back(static_cast<int>(*delivered->rawPastedAfterStopMs));
            if (i == 0)
                std::printf("%s: utterance %.1f s, delivered: %s\n", road.name,
                            static_cast<double>(dictation.inputDurationMs()) / 1000.0, qPrintable(delivered->text));
        }
    }
    for (const Road &road : roads) {
        std::printf("\n%s — stop to text in the window, median of %d runs: %d ms\n", road.name, runs,
                    median(road.totals));
        if (!road.rawPasted.empty())
            std::printf("  raw text in the window %d ms after the stop (median)\n", median(road.rawPasted));
        for (const QString &label : road.order)
            std::printf("  %-16s %5d ms\n", qPrintable(label), median(road.steps.at(label)));
    }
    window.closeWriteChannel();
    window.waitForFinished(3000);
    return 0;
}
