#pragma once

#include "ui/HomeSummary.h"
#include "ui/Page.h"

class QLabel;
class QListWidget;
class QVBoxLayout;
class QGroupBox;

namespace dravelin {
class ServiceContainer;
}

namespace dravelin::ui {

// The first screen: whether Dravelin is ready, today's dictations, what needs
// fixing (with the button that fixes it), and the last few dictations.
class HomePage final : public Page
{
    Q_OBJECT
public:
    explicit HomePage(ServiceContainer &services, QWidget *parent = nullptr);

    void pageShown() override { refresh(); }

private:
    void refresh();
    void refreshAttention();
    void refreshRecent();
    void act(Attention::Action action);
    AttentionFacts facts() const;

    ServiceContainer &m_services;
    QLabel *m_greeting = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_today = nullptr;
    QLabel *m_words = nullptr;
    QLabel *m_shortcut = nullptr;
    QGroupBox *m_attention = nullptr;
    QVBoxLayout *m_attentionRows = nullptr;
    QListWidget *m_recent = nullptr;
    QLabel *m_recentEmpty = nullptr;
};

} // namespace dravelin::ui
