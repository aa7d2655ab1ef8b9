#pragma once

#include "ui/Page.h"

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

class AboutPage final : public Page
{
    Q_OBJECT
public:
    explicit AboutPage(ServiceContainer &services, QWidget *parent = nullptr);

private:
    ServiceContainer &m_services;
};

} // namespace dravelin::ui
