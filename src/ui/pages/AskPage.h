#pragma once

#include "ui/Page.h"

#include <qcoro/qcorotask.h>

class QLineEdit;
class QPushButton;
class QTextBrowser;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

// Ask the assistant by typing: the same assistant the Ask shortcut reaches by
// voice. Answers and their sources stay on the page for this session.
class AskPage final : public Page
{
    Q_OBJECT
public:
    explicit AskPage(ServiceContainer &services, QWidget *parent = nullptr);

    void pageShown() override;

private:
    QCoro::Task<> ask();
    void append(const QString &question, const QString &answerHtml);

    ServiceContainer &m_services;
    QLineEdit *m_question = nullptr;
    QPushButton *m_ask = nullptr;
    QTextBrowser *m_answers = nullptr;
    bool m_asking = false;
};

} // namespace dravelin::ui
