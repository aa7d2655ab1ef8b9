#pragma once

#include "platform/Workspace.h"

namespace dravelin::nix {

// The desktop session's applications: opening URLs through xdg-open.
class DesktopWorkspace final : public Workspace
{
public:
    std::optional<QString> frontmostApplicationID() const override { return std::nullopt; }
    bool openURL(const QUrl &url) override;
};

} // namespace dravelin::nix
