#include "ui/pages/ShortcutsPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

ShortcutsPage::ShortcutsPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Shortcuts"), QString());
}

} // namespace dravelin::ui
