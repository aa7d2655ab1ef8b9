#include "text/AssistantActions.h"

#include "core/Log.h"
#include "platform/Workspace.h"
#include "text/AssistantResponse.h"

namespace dravelin {

bool AssistantActionExecutor::execute(const QUrl &url)
{
    if (!AssistantActionPolicy::allows(url)) {
        logs::info(logs::assistant(), QStringLiteral("Blocked assistant action URL: %1").arg(url.toString()));
        return false;
    }
    return m_workspace.openURL(url);
}

bool AssistantActionExecutor::openSource(const QUrl &url)
{
    if (!SafeWebURL::isValid(url)) {
        logs::info(logs::assistant(), QStringLiteral("Blocked unsafe answer source URL: %1").arg(url.toString()));
        return false;
    }
    return m_workspace.openURL(url);
}

} // namespace dravelin
