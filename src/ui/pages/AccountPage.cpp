#include "ui/pages/AccountPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

AccountPage::AccountPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Account"), QString());
}

} // namespace dravelin::ui
