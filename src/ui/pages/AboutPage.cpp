#include "ui/pages/AboutPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

AboutPage::AboutPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("About"), QString());
}

} // namespace dravelin::ui
