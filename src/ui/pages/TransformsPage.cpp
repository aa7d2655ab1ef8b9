#include "ui/pages/TransformsPage.h"

#include "pipeline/ServiceContainer.h"
#include "ui/TransformsPanel.h"

#include <QVBoxLayout>

namespace dravelin::ui {

TransformsPage::TransformsPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    QVBoxLayout *column = scaffold(QStringLiteral("Transforms"), QString(), false);
    column->addWidget(new TransformsPanel(m_services, this), 1);
}

} // namespace dravelin::ui
