#pragma once

// dravelin-server in this process on a loopback port, and an AuthService
// signed in to it through the consent page — the backend the desktop
// dictation test and the dictation benchmark run the pipeline against — and
// the headless pipeline set up the way both drive it.

#include "DravelinServer.h"
#include "HeadlessDictation.h"
#include "account/AuthService.h"
#include "account/KeychainStore.h"
#include "account/LocalConsentBrowser.h"
#include "account/NetworkRequestSender.h"

#include <QDir>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

namespace dravelin::test {

class SignedInBackend
{
public:
    // `callbackPort` is the sign-in's loopback port; tests running side by
    // side use different ones. Also points DRAVELIN_BASE_URL at the server.
    // `configure` may change the server's settings before it starts.
    SignedInBackend(Scheduler &scheduler, const QString &dataDir, const QString &email, quint16 callbackPort,
                    bool retainRecordings = false, const std::function<void(server::ServerConfig &)> &configure = {})
        : m_browser(email)
    {
        server::ServerConfig config;
        config.port = 0;
        config.dataDir = dataDir;
        config.retainRecordings = retainRecordings;
        if (configure)
            configure(config);
        auto created = server::DravelinServer::create(config, scheduler);
        if (!created || !(*created)->listen())
            return;
        m_server = std::move(created.value());
        baseUrl = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()));
        qputenv("DRAVELIN_BASE_URL", baseUrl.toString().toUtf8());
        m_auth = std::make_unique<AuthService>(
            AuthService::Config{baseUrl, "dravelin-local-public-key", QStringLiteral("dravelin-desktop"),
                                QUrl(QStringLiteral("http://127.0.0.1:%1/oauth/callback").arg(callbackPort)),
                                std::chrono::seconds(30)},
            m_sender, m_keychain, m_browser, scheduler);
        m_signedIn = static_cast<bool>(QCoro::waitFor(m_auth->signInViaBrowser()));
    }

    bool ready() const { return m_signedIn; }
    AuthService &auth() { return *m_auth; }

    QUrl baseUrl;

private:
    NetworkRequestSender m_sender;
    InMemorySessionStore m_keychain;
    LocalConsentBrowser m_browser;
    std::unique_ptr<server::DravelinServer> m_server;
    std::unique_ptr<AuthService> m_auth;
    bool m_signedIn = false;
};

// A dictation of `inputFile` played as the microphone and pasted on the
// desktop, with its settings and history under `root`.
inline HeadlessDictation::Options desktopDictationOptions(const QString &root, const QString &inputFile)
{
    HeadlessDictation::Options options;
    options.inputFile = inputFile;
    options.pasteOnDesktop = true;
    options.settingsPath = QDir(root).filePath(QStringLiteral("settings.json"));
    options.dataRoot = QDir(root).filePath(QStringLiteral("data"));
    return options;
}

// Lets the event loop run for `duration`.
inline QCoro::Task<> pause(Scheduler &scheduler, Millis duration)
{
    co_await scheduler.sleep(duration);
}

} // namespace dravelin::test
