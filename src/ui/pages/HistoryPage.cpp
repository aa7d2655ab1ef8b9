#include "ui/pages/HistoryPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

HistoryPage::HistoryPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("History"), QString());
}

} // namespace dravelin::ui
