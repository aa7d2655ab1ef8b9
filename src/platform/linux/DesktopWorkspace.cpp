#include "platform/linux/DesktopWorkspace.h"

#include <QProcess>
#include <QStandardPaths>

namespace dravelin::nix {

bool DesktopWorkspace::openURL(const QUrl &url)
{
    // xdg-open hands the URL to whatever the desktop has chosen as its browser
    // and works the same with or without a GUI application object.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty())
        return false;
    return QProcess::startDetached(opener, {url.toString(QUrl::FullyEncoded)});
}

} // namespace dravelin::nix
