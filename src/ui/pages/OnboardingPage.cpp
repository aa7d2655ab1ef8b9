#include "ui/pages/OnboardingPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

OnboardingPage::OnboardingPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Onboarding"), QString());
}

} // namespace dravelin::ui
