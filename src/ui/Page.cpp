#include "ui/Page.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

namespace dravelin::ui {

QVBoxLayout *Page::scaffold(const QString &title, const QString &description, bool scrolls)
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    QWidget *body = this;
    if (scrolls) {
        auto *scroll = new QScrollArea(this);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        body = new QWidget(scroll);
        scroll->setWidget(body);
        outer->addWidget(scroll);
    }
    auto *column = scrolls ? new QVBoxLayout(body) : new QVBoxLayout;
    if (!scrolls)
        outer->addLayout(column);
    column->setContentsMargins(32, 24, 32, 24);
    column->setSpacing(14);
    column->addWidget(style::heading(title, body));
    if (!description.isEmpty())
        column->addWidget(style::note(description, body));
    column->addSpacing(4);
    return column;
}

QLabel *style::heading(const QString &text, QWidget *parent, double scale)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * scale);
    label->setFont(font);
    label->setAccessibleName(text);
    return label;
}

QLabel *style::note(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QGroupBox *style::section(const QString &title, QWidget *parent)
{
    return new QGroupBox(title, parent);
}

QWidget *style::figure(QLabel *&value, const QString &caption, QWidget *parent)
{
    auto *box = new QFrame(parent);
    box->setFrameShape(QFrame::StyledPanel);
    auto *column = new QVBoxLayout(box);
    column->setContentsMargins(16, 12, 16, 12);
    value = heading(QStringLiteral("—"), box, 1.5);
    column->addWidget(value);
    column->addWidget(note(caption, box));
    return box;
}

QLabel *style::problem(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: #c0392b;"));
    label->setVisible(false);
    return label;
}

} // namespace dravelin::ui
