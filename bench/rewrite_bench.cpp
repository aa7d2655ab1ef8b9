// Selection rewrite as the user meets it, on a private desktop (run inside
// tests/desktop/with-desktop.sh): 40 words selected in the Qt test window,
// the pipeline's rewrite (the key press that a hotkey would make, the copy,
// dravelin-server in process with its local language model, the paste over
// the selection, the clipboard restored), timed from the request to the
// rewritten text in the window. Prints the median of N runs and the text.
//
//   rewrite_bench PATH/TO/dravelin_test_window [runs]

#include "HeadlessDictation.h"
#include "core/LogHandler.h"
#include "core/QtScheduler.h"
#include "pipeline/RecordingPipeline.h"
#include "support/SignedInBackend.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace dravelin;

namespace {

// One command to the test window and its one-line answer.
QByteArray command(QProcess &window, const QByteArray &line)
{
    window.write(line + '\n');
    QElapsedTimer timer;
    timer.start();
    while (!window.canReadLine() && timer.elapsed() < 3000)
        window.waitForReadyRead(50);
    return window.readLine().trimmed();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    logs::Router::install();
    if (argc < 2) {
        std::fprintf(stderr, "usage: rewrite_bench TEST_WINDOW [runs]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    QtScheduler scheduler;
    QTemporaryDir dir;
    test::SignedInBackend backend(scheduler, dir.filePath(QStringLiteral("server")),
                                  QStringLiteral("bench@example.com"), 45885);
    if (!backend.ready())
        return 1;
    QProcess window;
    window.start(QString::fromLocal8Bit(argv[1]), {});
    window.waitForReadyRead(10000);
    window.readAll();
    QCoro::waitFor(test::pause(scheduler, Millis(300)));
    HeadlessDictation dictation(test::desktopDictationOptions(dir.path(), QString()), backend.auth(), scheduler);
    QCoro::waitFor(dictation.attachHistory());

    const QByteArray forty = "hey team just a quick note that the quarterly review moved from thursday to friday at "
                             "ten so please update your calendars and bring the updated sales figures along with any "
                             "questions you still have about the new budget plan for next year";
    std::vector<qint64> times;
    QString last;
    // The first run loads the model; it is reported on its own.
    for (int i = 0; i <= runs; ++i) {
        command(window, "set " + forty);
        command(window, "select " + QByteArray::number(forty.size()));
        QElapsedTimer timer;
        timer.start();
        QCoro::waitFor(dictation.pipeline().rewriteSelection(RewriteStyle::natural));
        const qint64 ms = timer.elapsed();
        last = QJsonDocument::fromJson(command(window, "dump")).object().value(QStringLiteral("line")).toString();
        if (last == QString::fromUtf8(forty)) {
            std::fprintf(stderr, "the selection was not rewritten: %s\n", qPrintable(dictation.lastIndicator()));
            return 1;
        }
        if (i == 0)
            std::printf("first rewrite (the model loads): %lld ms\n", ms);
        else
            times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("40-word selection, natural style (the rewrite hotkey): request to rewritten text in the window, "
                "median of %d: %lld ms\n",
                runs, times[times.size() / 2]);
    std::printf("  → %s\n", qPrintable(last));
    window.closeWriteChannel();
    window.waitForFinished(3000);
    return 0;
}
