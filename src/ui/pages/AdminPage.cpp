#include "ui/pages/AdminPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

AdminPage::AdminPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Admin"), QString());
}

} // namespace dravelin::ui
