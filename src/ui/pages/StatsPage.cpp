#include "ui/pages/StatsPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

StatsPage::StatsPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Stats"), QString());
}

} // namespace dravelin::ui
