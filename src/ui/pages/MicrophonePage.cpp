#include "ui/pages/MicrophonePage.h"

#include "pipeline/ServiceContainer.h"

#include <QVBoxLayout>

namespace dravelin::ui {

MicrophonePage::MicrophonePage(ServiceContainer &services, QWidget *parent) : Page(parent), m_services(services)
{
    scaffold(QStringLiteral("Microphone"), QString());
}

} // namespace dravelin::ui
