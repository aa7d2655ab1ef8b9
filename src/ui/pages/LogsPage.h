#pragma once

#include "ui/Page.h"

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

class LogsPage final : public Page
{
    Q_OBJECT
public:
    explicit LogsPage(ServiceContainer &services, QWidget *parent = nullptr);

private:
    ServiceContainer &m_services;
};

} // namespace dravelin::ui
