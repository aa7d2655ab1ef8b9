#include "ui/pages/GeneralPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

GeneralPage::GeneralPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("General"), QString());
}

} // namespace dravelin::ui
