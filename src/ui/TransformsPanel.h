#pragma once

#include <QWidget>

class QListWidget;
class QPushButton;

namespace dravelin {
class ServiceContainer;
struct Transform;
} // namespace dravelin

namespace dravelin::ui {

// The transforms: the six built-ins and the user's own, each with its
// shortcut. Select text anywhere and press a transform's shortcut to rewrite
// it. The user's transforms can be added, edited and deleted; built-ins only
// take a shortcut.
class TransformsPanel final : public QWidget
{
    Q_OBJECT
public:
    explicit TransformsPanel(ServiceContainer &services, QWidget *parent = nullptr);

private:
    void refresh();
    void updateButtons();
    std::optional<Transform> selected() const;
    void add();
    void edit();
    void remove();
    void bindShortcut();

    ServiceContainer &m_services;
    QListWidget *m_list = nullptr;
    QPushButton *m_edit = nullptr;
    QPushButton *m_delete = nullptr;
    QPushButton *m_shortcut = nullptr;
    QPushButton *m_clearShortcut = nullptr;
};

} // namespace dravelin::ui
