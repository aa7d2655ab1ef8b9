#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

#include <array>
#include <optional>

namespace dravelin::ui {

// The main window's screens, in sidebar order.
enum class Route {
    home,
    ask,
    history,
    transforms,
    dictionary,
    logs,
    stats,
    admin,
    shortcuts,
    microphone,
    general,
    onboarding,
    account,
    about
};

inline constexpr std::array kAllRoutes{Route::home,       Route::ask,        Route::history, Route::transforms,
                                       Route::dictionary, Route::logs,       Route::stats,   Route::admin,
                                       Route::shortcuts,  Route::microphone, Route::general, Route::onboarding,
                                       Route::account,    Route::about};

namespace route {
// The route's name as other code and the command line spell it ("history").
QString rawValue(Route route);
std::optional<Route> fromRawValue(const QString &raw);
// The sidebar's label ("History").
QString title(Route route);
} // namespace route

// Requests to show the main window, one of its screens or the sign-in. Any
// part of the app may ask (the tray, the indicator's sign-in prompt, a second
// launch); the main window listens and comes to the front for each. Requests
// for a screen or the sign-in are delivered on the next turn of the event
// loop, so a caller may ask from inside a menu or a click handler.
class Navigator final : public QObject
{
    Q_OBJECT
public:
    static Navigator &instance();

    void openMainWindow();
    void openRoute(Route route);
    void openSignIn();

    // When this process started; the sidebar shows the uptime from it.
    static QDateTime processStart();

Q_SIGNALS:
    void mainWindowRequested();
    void routeRequested(dravelin::ui::Route route);
    void signInRequested();

private:
    Navigator() = default;
};

// "Up 3 min", "Up 2 h 5 min", "Up 3 d 4 h".
QString uptimeText(qint64 seconds);

} // namespace dravelin::ui
