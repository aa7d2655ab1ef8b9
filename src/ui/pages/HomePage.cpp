#include "ui/pages/HomePage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

HomePage::HomePage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Home"), QString());
}

} // namespace dravelin::ui
