#pragma once

#include <QUrl>

namespace dravelin {

class Workspace;

// Opening answers' links and actions, as the Ask flow sees it.
class AssistantActionExecuting
{
public:
    virtual ~AssistantActionExecuting() = default;
    // Opens an action's page if the policy allows it; true when it opened.
    virtual bool execute(const QUrl &url) = 0;
    // Opens a source link if it is a plain web address.
    virtual bool openSource(const QUrl &url) = 0;
};

class AssistantActionExecutor final : public AssistantActionExecuting
{
public:
    explicit AssistantActionExecutor(Workspace &workspace) : m_workspace(workspace) {}
    bool execute(const QUrl &url) override;
    bool openSource(const QUrl &url) override;

private:
    Workspace &m_workspace;
};

} // namespace dravelin
