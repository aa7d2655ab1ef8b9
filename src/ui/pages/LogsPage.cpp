#include "ui/pages/LogsPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

LogsPage::LogsPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Logs"), QString());
}

} // namespace dravelin::ui
