#include "ui/pages/TransformsPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

TransformsPage::TransformsPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Transforms"), QString());
}

} // namespace dravelin::ui
