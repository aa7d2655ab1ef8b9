#include "ui/pages/DictionaryPage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

DictionaryPage::DictionaryPage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Dictionary"), QString());
}

} // namespace dravelin::ui
