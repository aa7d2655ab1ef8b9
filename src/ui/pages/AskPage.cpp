#include "ui/pages/AskPage.h"

#include "pipeline/ServiceContainer.h"
#include "text/AssistantActions.h"
#include "text/AssistantService.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace dravelin::ui {

AskPage::AskPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column = scaffold(QStringLiteral("Ask"),
                                   QStringLiteral("Ask a question and get a short answer with its sources. The Ask "
                                                  "shortcut does the same by voice, from any application."),
                                   false);
    auto *row = new QHBoxLayout;
    m_question = new QLineEdit(this);
    m_question->setAccessibleName(QStringLiteral("Question"));
    m_question->setPlaceholderText(QStringLiteral("What would you like to know?"));
    m_question->setClearButtonEnabled(true);
    m_ask = new QPushButton(QStringLiteral("Ask"), this);
    m_ask->setAccessibleName(QStringLiteral("Ask"));
    m_ask->setDefault(true);
    row->addWidget(m_question, 1);
    row->addWidget(m_ask);
    column->addLayout(row);
    m_answers = new QTextBrowser(this);
    m_answers->setAccessibleName(QStringLiteral("Answers"));
    m_answers->setOpenLinks(false);
    m_answers->setFrameShape(QFrame::NoFrame);
    m_answers->setPlaceholderText(QStringLiteral("Answers appear here."));
    column->addWidget(m_answers, 1);

    connect(m_ask, &QPushButton::clicked, this, [this] { ask(); });
    connect(m_question, &QLineEdit::returnPressed, this, [this] { ask(); });
    connect(m_answers, &QTextBrowser::anchorClicked, this,
            [this](const QUrl &url) { m_services.assistantActions().execute(url); });
}

void AskPage::pageShown()
{
    m_question->setFocus();
}

void AskPage::append(const QString &question, const QString &answerHtml)
{
    m_answers->append(QStringLiteral("<p><b>%1</b></p>%2<p></p>").arg(question.toHtmlEscaped(), answerHtml));
}

QCoro::Task<> AskPage::ask()
{
    const QString question = m_question->text().trimmed();
    if (question.isEmpty() || m_asking)
        co_return;
    QPointer self(this);
    m_asking = true;
    m_ask->setEnabled(false);
    m_ask->setText(QStringLiteral("Asking…"));
    AssistantService &assistant = m_services.assistant();
    const auto result = co_await assistant.ask(question);
    if (!self)
        co_return;
    m_asking = false;
    m_ask->setEnabled(true);
    m_ask->setText(QStringLiteral("Ask"));
    if (!result) {
        append(question, QStringLiteral("<p>%1</p>").arg(result.error().description().toHtmlEscaped()));
        co_return;
    }
    m_question->clear();
    if (const auto *answer = std::get_if<AssistantAnswer>(&*result)) {
        QString html =
            QStringLiteral("<p>%1</p>").arg(answer->text.toHtmlEscaped().replace(u'\n', QStringLiteral("<br>")));
        for (const AssistantSource &source : answer->sources) {
            const QString title = source.title.isEmpty() ? source.url.host() : source.title;
            html += QStringLiteral("<p>Source: <a href=\"%1\">%2</a></p>")
                        .arg(source.url.toString(QUrl::FullyEncoded).toHtmlEscaped(), title.toHtmlEscaped());
        }
        append(question, html);
    } else {
        const auto &action = std::get<AssistantAction>(*result);
        append(question, QStringLiteral("<p>%1</p><p><a href=\"%2\">Open %3</a></p>")
                             .arg(action.text.toHtmlEscaped(), action.url.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                                  action.url.host().toHtmlEscaped()));
    }
}

} // namespace dravelin::ui
