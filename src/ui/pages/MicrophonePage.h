#pragma once

#include "ui/Page.h"

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

class MicrophonePage final : public Page
{
    Q_OBJECT
public:
    explicit MicrophonePage(ServiceContainer &services, QWidget *parent = nullptr);

private:
    ServiceContainer &m_services;
};

} // namespace dravelin::ui
