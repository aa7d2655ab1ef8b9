// A small window for the desktop tests: a one-line field, a multi-line field
// and a button. It prints "ready" once it is shown and, on "dump" from
// standard input, the texts of its fields as JSON; "focus NAME" focuses a
// widget ("line", "area", "button").

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("dravelin-test-window"));
    QWidget window;
    window.setWindowTitle(QStringLiteral("Dravelin test window"));
    auto *layout = new QVBoxLayout(&window);
    auto *line = new QLineEdit;
    line->setObjectName(QStringLiteral("line"));
    line->setAccessibleName(QStringLiteral("line"));
    auto *area = new QPlainTextEdit;
    area->setObjectName(QStringLiteral("area"));
    area->setAccessibleName(QStringLiteral("area"));
    auto *button = new QPushButton(QStringLiteral("Press"));
    button->setObjectName(QStringLiteral("button"));
    layout->addWidget(line);
    layout->addWidget(area);
    layout->addWidget(button);
    window.resize(400, 300);
    window.show();
    window.activateWindow();
    line->setFocus();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[512];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QApplication::quit();
            return;
        }
        for (const QString &command : QString::fromUtf8(buffer, static_cast<int>(n)).split(u'\n', Qt::SkipEmptyParts)) {
            if (command == u"dump") {
                const QJsonObject state{{QStringLiteral("line"), line->text()},
                                        {QStringLiteral("area"), area->toPlainText()},
                                        {QStringLiteral("focus"), QApplication::focusWidget()
                                                                      ? QApplication::focusWidget()->objectName()
                                                                      : QString()}};
                std::printf("%s\n", QJsonDocument(state).toJson(QJsonDocument::Compact).constData());
            } else if (command.startsWith(QStringLiteral("focus "))) {
                if (auto *w = window.findChild<QWidget *>(command.mid(6)))
                    w->setFocus();
                std::printf("focused\n");
            } else if (command.startsWith(QStringLiteral("set "))) {
                line->setText(command.mid(4));
                line->setCursorPosition(line->text().size());
                std::printf("set\n");
            } else if (command.startsWith(QStringLiteral("select "))) {
                // The last N characters, as a user drags over them.
                const int n = static_cast<int>(std::min<qsizetype>(command.mid(7).toInt(), line->text().size()));
                line->setSelection(static_cast<int>(line->text().size()), -n);
                std::printf("selected\n");
            }
            std::fflush(stdout);
        }
    });
    QTimer::singleShot(200, [] {
        std::printf("ready\n");
        std::fflush(stdout);
    });
    return app.exec();
}
