#include "ui/Navigation.h"

#include "core/Log.h"

#include <QMetaObject>

namespace dravelin::ui {

namespace {
const QDateTime kProcessStart = QDateTime::currentDateTimeUtc();
}

QString route::rawValue(Route route)
{
    switch (route) {
    case Route::home:
        return QStringLiteral("home");
    case Route::ask:
        return QStringLiteral("ask");
    case Route::history:
        return QStringLiteral("history");
    case Route::transforms:
        return QStringLiteral("transforms");
    case Route::dictionary:
        return QStringLiteral("dictionary");
    case Route::logs:
        return QStringLiteral("logs");
    case Route::stats:
        return QStringLiteral("stats");
    case Route::admin:
        return QStringLiteral("admin");
    case Route::shortcuts:
        return QStringLiteral("shortcuts");
    case Route::microphone:
        return QStringLiteral("microphone");
    case Route::general:
        return QStringLiteral("general");
    case Route::onboarding:
        return QStringLiteral("onboarding");
    case Route::account:
        return QStringLiteral("account");
    case Route::about:
        return QStringLiteral("about");
    }
    return {};
}

std::optional<Route> route::fromRawValue(const QString &raw)
{
    for (Route each : kAllRoutes) {
        if (rawValue(each) == raw)
            return each;
    }
    return std::nullopt;
}

QString route::title(Route route)
{
    switch (route) {
    case Route::home:
        return QStringLiteral("Home");
    case Route::ask:
        return QStringLiteral("Ask");
    case Route::history:
        return QStringLiteral("History");
    case Route::transforms:
        return QStringLiteral("Transforms");
    case Route::dictionary:
        return QStringLiteral("Dictionary");
    case Route::logs:
        return QStringLiteral("Logs");
    case Route::stats:
        return QStringLiteral("Statistics");
    case Route::admin:
        return QStringLiteral("Admin");
    case Route::shortcuts:
        return QStringLiteral("Shortcuts");
    case Route::microphone:
        return QStringLiteral("Microphone");
    case Route::general:
        return QStringLiteral("General");
    case Route::onboarding:
        return QStringLiteral("Get started");
    case Route::account:
        return QStringLiteral("Account");
    case Route::about:
        return QStringLiteral("About");
    }
    return {};
}

Navigator &Navigator::instance()
{
    static Navigator navigator;
    return navigator;
}

void Navigator::openMainWindow()
{
    Q_EMIT mainWindowRequested();
}

void Navigator::openRoute(Route route)
{
    QMetaObject::invokeMethod(
        this, [this, route] { Q_EMIT routeRequested(route); }, Qt::QueuedConnection);
}

void Navigator::openSignIn()
{
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT signInRequested(); }, Qt::QueuedConnection);
}

QDateTime Navigator::processStart()
{
    return kProcessStart;
}

QString uptimeText(qint64 seconds)
{
    const qint64 minutes = std::max<qint64>(seconds, 0) / 60;
    if (minutes < 60)
        return QStringLiteral("Up %1 min").arg(minutes);
    const qint64 hours = minutes / 60;
    if (hours < 24)
        return QStringLiteral("Up %1 h %2 min").arg(hours).arg(minutes % 60);
    return QStringLiteral("Up %1 d %2 h").arg(hours / 24).arg(hours % 24);
}

} // namespace dravelin::ui
