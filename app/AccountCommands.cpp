#include "AccountCommands.h"

#include "ExitCodes.h"
#include "HeadlessDictation.h"
#include "account/AdminService.h"
#include "account/AppConstants.h"
#include "account/AuthService.h"
#include "account/KeychainStore.h"
#include "account/LocalConsentBrowser.h"
#include "account/NetworkRequestSender.h"
#include "audio/AACFileWriter.h"
#include "audio/AudioRecorder.h"
#include "core/Paths.h"
#include "core/QtScheduler.h"
#include "core/TimeFormatting.h"
#include "core/UserDefaults.h"
#include "output/ClipboardHistory.h"
#include "output/UsageService.h"
#include "output/UserDataPaths.h"
#include "pipeline/PendingTranscriptions.h"
#include "platform/linux/DesktopWorkspace.h"
#include "stt/TranscriptionService.h"
#include "text/AssistantService.h"
#include "text/RewriteService.h"
#include "text/TransformService.h"
#include "text/VocabularyService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <qcoro/qcorosignal.h>

#include <unistd.h>

#include <qcoro/qcorotask.h>

#include <cstdio>
#include <memory>

namespace dravelin::cli {

QString logFilePath()
{
    return paths::stateDir() + QStringLiteral("/dravelin-cli.log");
}

namespace {

// Opens the sign-in page in the desktop's browser; the URL is printed too, so a
// terminal user on a machine without one can open it elsewhere.
class TerminalWorkspace final : public Workspace
{
public:
    bool openURL(const QUrl &url) override
    {
        if (!m_desktop.openURL(url))
            std::printf("No browser could be started here; open the address above yourself.\n");
        std::fflush(stdout);
        return true;
    }

private:
    nix::DesktopWorkspace m_desktop;
};

// The session as the app would have it: the real keychain, the configured backend.
struct Session
{
    explicit Session(std::unique_ptr<Workspace> browser = std::make_unique<TerminalWorkspace>())
        : workspace(std::move(browser))
        , auth(AuthService::Config{constants.baseURL, constants.publicApiKey,
                                   constants.oauthClientID.value_or(QString()), AppConstants::oauthCallbackURL()},
               sender, keychain, *workspace, scheduler)
    {
        QCoro::waitFor(auth.load());
        QObject::connect(&auth, &AuthService::keyringWaiting, [] {
            std::fprintf(stderr, "Waiting for the keyring to save the sign-in; it may be asking you to unlock it.\n");
        });
    }

    // Whether the backend answers at all (any HTTP status will do): tells
    // "the server refused" from "the server could not be reached" where a
    // service reports its failures only as text.
    bool serverAnswers()
    {
        HttpRequest probe;
        probe.url = constants.baseURL;
        probe.timeout = Millis(5000);
        return static_cast<bool>(QCoro::waitFor(sender.send(std::move(probe))));
    }

    // The status for a failure a service reported only as text.
    int failureStatus() { return serverAnswers() ? exitFailed : exitUnreachable; }

    void warnIfNotRemembered() const
    {
        if (!auth.sessionPersisted() || keychain.health().state == StoreHealth::State::unavailable) {
            std::fprintf(stderr, "Warning: this sign-in will not be remembered after the command ends. %s\n",
                         qPrintable(keychain.health().problem));
        }
    }

    QtScheduler scheduler;
    AppConstants constants = AppConstants::load();
    NetworkRequestSender sender;
    KeychainStore keychain;
    std::unique_ptr<Workspace> workspace;
    AuthService auth;
};

// Says how to sign in; the status for "not signed in".
int notSignedIn(const Session &session)
{
    std::fprintf(stderr, "Not signed in. Run `dravelin-cli sign-in` first.\n");
    session.warnIfNotRemembered();
    return exitSignedOut;
}

void printUser(const AuthService &auth)
{
    if (const auto &user = auth.user())
        std::printf("Signed in as %s (user %s)\n", qPrintable(user->email), qPrintable(user->id));
    else
        std::printf("Signed in\n");
}

// The session with the browser the command asked for: the local server's
// consent page answered unattended (`consentAs`), or the user's browser.
std::unique_ptr<Session> sessionFor(const std::optional<QString> &consentAs)
{
    if (!consentAs)
        return std::make_unique<Session>();
    auto browser = std::make_unique<LocalConsentBrowser>(*consentAs);
    LocalConsentBrowser *consent = browser.get();
    auto session = std::make_unique<Session>(std::move(browser));
    Session *s = session.get();
    QObject::connect(consent, &LocalConsentBrowser::failed, &s->auth, [s](const QString &why) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        s->auth.cancelSignIn();
    });
    return session;
}

// Browser sign-in with the address printed; the exit status (the reason on
// standard error when it failed).
int signInThroughBrowser(Session &session)
{
    QObject::connect(&session.auth, &AuthService::browserSignInStarted, [](const QUrl &url) {
        std::printf("Sign in to Dravelin in your browser:\n  %s\n", qPrintable(url.toString(QUrl::FullyEncoded)));
        std::fflush(stdout);
    });
    const auto result = QCoro::waitFor(session.auth.signInViaBrowser());
    if (!result) {
        std::fprintf(stderr, "Sign-in failed: %s\n", qPrintable(result.error().description()));
        return result.error().kind == AuthError::Kind::network ? exitUnreachable : exitFailed;
    }
    session.warnIfNotRemembered();
    return exitOk;
}

// An audio file named on the command line, read and checked before anything
// is sent or recorded.
struct AudioInput
{
    QByteArray bytes;
    qint64 durationMs = 0;
};

// The file, or nothing after saying on standard error why it cannot be used.
std::optional<AudioInput> readAudioInput(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        std::fprintf(stderr, "There is no file %s.\n", qPrintable(path));
        return std::nullopt;
    }
    if (info.isDir()) {
        std::fprintf(stderr, "%s is a folder; give an audio file.\n", qPrintable(path));
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "Cannot read %s: %s\n", qPrintable(path), qPrintable(file.errorString()));
        return std::nullopt;
    }
    AudioInput input{file.readAll(), 0};
    if (input.bytes.isEmpty()) {
        std::fprintf(stderr, "%s is empty; give a recording (a .wav or .m4a file, for example).\n", qPrintable(path));
        return std::nullopt;
    }
    const auto samples = decodeAudio(input.bytes);
    if (!samples || samples->empty()) {
        const QString why = samples ? QStringLiteral("no sound in it") : samples.error();
        std::fprintf(stderr, "%s cannot be used as audio (%s); give a recording (a .wav or .m4a file, for example).\n",
                     qPrintable(path), qPrintable(why));
        return std::nullopt;
    }
    input.durationMs = static_cast<qint64>(samples->size()) * 1000 / 16000;
    return input;
}

} // namespace

int signIn(const std::optional<QString> &consentAs)
{
    const auto session = sessionFor(consentAs);
    if (const int status = signInThroughBrowser(*session); status != exitOk)
        return status;
    printUser(session->auth);
    return exitOk;
}

int whoAmI()
{
    Session session;
    if (!session.auth.isSignedIn()) {
        std::printf("Not signed in. Run `dravelin-cli sign-in` to sign in.\n");
        session.warnIfNotRemembered();
        return exitSignedOut;
    }
    // Asks the server, so a revoked session shows up here.
    const auto checked = QCoro::waitFor(session.auth.refreshCurrentUser());
    if (!session.auth.isSignedIn()) {
        std::printf("Not signed in (the server ended the session). Run `dravelin-cli sign-in` to sign in again.\n");
        return exitSignedOut;
    }
    printUser(session.auth);
    if (!checked) {
        // What this machine remembers, without the server's word on it.
        std::printf("The server at %s could not confirm it: %s\n", qPrintable(session.constants.baseURL.toString()),
                    qPrintable(checked.error().description()));
        return exitUnreachable;
    }
    return exitOk;
}

int printAccessToken()
{
    Session session;
    if (!session.auth.isSignedIn())
        return notSignedIn(session);
    const auto token = QCoro::waitFor(session.auth.currentAccessToken());
    if (!token || token->isEmpty()) {
        if (!session.auth.isSignedIn()) {
            std::fprintf(stderr, "The session has ended. Run `dravelin-cli sign-in` to sign in again.\n");
            return exitSignedOut;
        }
        std::fprintf(stderr, "Could not renew the session with the server at %s; try again later.\n",
                     qPrintable(session.constants.baseURL.toString()));
        return session.failureStatus();
    }
    std::printf("%s\n", qPrintable(*token));
    return exitOk;
}

int signOut()
{
    Session session;
    if (!session.auth.isSignedIn()) {
        std::printf("Not signed in\n");
        return exitOk;
    }
    QCoro::waitFor(session.auth.signOut());
    std::printf("Signed out\n");
    return exitOk;
}

namespace {

// While a long recording is transcribed, one line on a terminal says how long
// it has taken so far, redrawn every second and wiped when the answer comes.
// Nothing on anything but a terminal, and nothing for short recordings.
class WaitingLine
{
public:
    explicit WaitingLine(qint64 audioMs)
    {
        if (audioMs < 20000 || !isatty(STDERR_FILENO))
            return;
        const QString audio = audioMs >= 60000
                                  ? QStringLiteral("%1 min %2 s").arg(audioMs / 60000).arg(audioMs / 1000 % 60)
                                  : QStringLiteral("%1 s").arg(audioMs / 1000);
        m_elapsed.start();
        QObject::connect(&m_timer, &QTimer::timeout, [this, audio] {
            std::fprintf(stderr, "\rTranscribing %s of audio… %lld s ", qPrintable(audio), m_elapsed.elapsed() / 1000);
            std::fflush(stderr);
            m_drawn = true;
        });
        m_timer.start(1000);
    }
    ~WaitingLine() { clear(); }
    WaitingLine(const WaitingLine &) = delete;
    WaitingLine &operator=(const WaitingLine &) = delete;

    void clear()
    {
        m_timer.stop();
        if (std::exchange(m_drawn, false)) {
            std::fprintf(stderr, "\r\033[K");
            std::fflush(stderr);
        }
    }

private:
    QTimer m_timer;
    QElapsedTimer m_elapsed;
    bool m_drawn = false;
};

} // namespace

int transcribeFile(const QString &path, bool streaming, bool cleanup)
{
    auto input = readAudioInput(path);
    if (!input)
        return exitUsage;
    TranscriptionRequest request;
    request.audio = std::move(input->bytes);
    request.durationMs = input->durationMs;
    request.cleanupEnabled = cleanup;
    request.streamCleanup = cleanup && streaming;

    Session session;
    if (!session.auth.isSignedIn())
        return notSignedIn(session);
    TranscriptionService service(session.constants.transcribeEndpoint(), session.auth, session.scheduler);
    WaitingLine waiting(request.durationMs.value_or(0));
    if (!streaming) {
        const auto response = QCoro::waitFor(service.transcribe(std::move(request)));
        waiting.clear();
        if (!response) {
            std::fprintf(stderr, "Transcription failed: %s\n", qPrintable(response.error().description()));
            return exitCodeFor(response.error());
        }
        std::printf("text: %s\n", qPrintable(response->text));
        if (response->raw != response->text)
            std::printf("raw: %s\n", qPrintable(response->raw));
        std::printf("engine: %s\n", qPrintable(response->engine));
        return exitOk;
    }

    auto stream = service.transcribeStreaming(std::move(request));
    auto collect = [&stream, &waiting]() -> QCoro::Task<int> {
        while (true) {
            auto item = co_await stream->next();
            waiting.clear();
            if (!item)
                co_return exitOk;
            if (!*item) {
                std::fprintf(stderr, "Transcription failed: %s\n", qPrintable(item->error().description()));
                co_return exitCodeFor(item->error());
            }
            const TranscriptionStreamEvent &event = **item;
            std::printf("%s: %s\n", qPrintable(event.stage),
                        qPrintable(event.text.value_or(event.error.value_or(QString()))));
            std::fflush(stdout);
        }
    };
    return QCoro::waitFor(collect());
}

namespace {

QCoro::Task<> waitForEnter()
{
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    co_await qCoro(&input, &QSocketNotifier::activated);
    char buffer[256];
    (void)!read(STDIN_FILENO, buffer, sizeof buffer);
}

} // namespace

int dictate(const std::optional<QString> &file, const std::optional<QString> &consentAs)
{
    HeadlessDictation::Options options;
    options.inputFile = file;
    if (!options.inputFile) {
        // A machine without a microphone can name a file to stand in for it.
        const UserDefaults settings(UserDefaults::standardFilePath());
        if (const auto configured = settings.string(QStringLiteral("mic.inputFile"));
            configured && !configured->isEmpty())
            options.inputFile = *configured;
    }
    // A file that cannot be played stops here, before signing in or recording.
    if (options.inputFile && !readAudioInput(*options.inputFile)) {
        if (!file)
            std::fprintf(stderr, "It is the \"mic.inputFile\" setting in %s.\n",
                         qPrintable(UserDefaults::standardFilePath()));
        return exitUsage;
    }

    const auto sessionPtr = sessionFor(consentAs);
    Session &session = *sessionPtr;
    if (!session.auth.isSignedIn()) {
        std::printf("Signing in to %s …\n", qPrintable(session.constants.baseURL.toString()));
        if (const int status = signInThroughBrowser(session); status != exitOk)
            return status;
    }
    printUser(session.auth);

    options.pasteOnDesktop = !qEnvironmentVariableIsEmpty("DISPLAY");
    options.settingsPath = UserDefaults::standardFilePath();
    options.dataRoot = UserDataPaths::root();
    HeadlessDictation dictation(options, session.auth, session.scheduler);
    QCoro::waitFor(dictation.attachHistory());

    if (!QCoro::waitFor(dictation.start())) {
        std::fprintf(stderr, "%s. `dravelin-cli devices` lists the microphones; the log (%s) has the details.\n",
                     qPrintable(dictation.lastMessage()), qPrintable(logFilePath()));
        return exitFailed;
    }
    if (options.inputFile) {
        std::printf("Dictating %s (%.1f s) as the microphone …\n", qPrintable(*options.inputFile),
                    static_cast<double>(dictation.inputDurationMs()) / 1000.0);
        std::fflush(stdout);
        QCoro::waitFor(dictation.recordFor(Millis(dictation.inputDurationMs() + 400)));
    } else {
        std::printf("Recording — speak, then press Enter to stop.\n");
        std::fflush(stdout);
        QCoro::waitFor(waitForEnter());
    }
    const qsizetype waitingBefore = dictation.pending().items().size();
    QCoro::waitFor(dictation.stop());
    QCoro::waitFor(dictation.drain(Millis(60000)));

    const auto &delivered = dictation.pipeline().lastDelivery();
    if (!delivered) {
        const QList<PendingItem> waiting = dictation.pending().items();
        if (waiting.size() > waitingBefore) {
            // Kept on disk for a later try: the queue has the reason.
            std::fprintf(stderr,
                         "The dictation was not delivered: %s\nThe recording is kept; send it again with "
                         "`dravelin-cli retry`.\n",
                         qPrintable(waiting.last().lastError.value_or(dictation.lastMessage())));
            return session.failureStatus();
        }
        std::fprintf(stderr, "Nothing was delivered: %s\n", qPrintable(dictation.lastMessage()));
        return exitFailed;
    }
    if (dictation.pipeline().stoppedAtLengthCap())
        std::printf("The recording reached the %lld-minute limit and was stopped there.\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::minutes>(AudioRecorder::maxDuration).count()));
    std::printf("Dictated: %s\n", qPrintable(delivered->text));
    std::printf("%s\n",
                delivered->pasted ? "Pasted into the focused window." : "Presented (no text field had the focus).");
    int total = 0;
    for (const auto &[label, ms] : delivered->marks)
        total += ms;
    std::printf("Stopwatch (%d ms from stop to delivery):\n", total);
    for (const auto &[label, ms] : delivered->marks)
        std::printf("  %-16s %5d ms\n", qPrintable(label), ms);
    return exitOk;
}

namespace {

// The signed-in user's headless pipeline with its stores attached; none
// (after saying why) when nobody is signed in.
std::unique_ptr<HeadlessDictation> signedInDictation(Session &session)
{
    if (!session.auth.isSignedIn()) {
        notSignedIn(session);
        return nullptr;
    }
    HeadlessDictation::Options options;
    options.pasteOnDesktop = !qEnvironmentVariableIsEmpty("DISPLAY");
    options.settingsPath = UserDefaults::standardFilePath();
    options.dataRoot = UserDataPaths::root();
    auto dictation = std::make_unique<HeadlessDictation>(options, session.auth, session.scheduler);
    QCoro::waitFor(dictation->attachHistory());
    return dictation;
}

void printPending(const QList<PendingItem> &items)
{
    if (items.isEmpty()) {
        std::printf("No recordings waiting\n");
        return;
    }
    std::printf("%lld recording(s) waiting to be sent, oldest first:\n", static_cast<long long>(items.size()));
    for (const PendingItem &item : items) {
        std::printf("  %s  %5.1f s  %7lld bytes  %d failed attempt(s)%s%s\n",
                    qPrintable(item.createdAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))),
                    static_cast<double>(item.durationMs.value_or(0)) / 1000.0, static_cast<long long>(item.audioBytes),
                    item.attempts, item.lastError ? "  last: " : "", qPrintable(item.lastError.value_or(QString())));
    }
}

} // namespace

int listPending()
{
    Session session;
    const auto dictation = signedInDictation(session);
    if (!dictation)
        return exitSignedOut;
    printPending(dictation->pending().items());
    return exitOk;
}

int retryPending()
{
    Session session;
    const auto dictation = signedInDictation(session);
    if (!dictation)
        return exitSignedOut;
    const qsizetype before = dictation->pending().items().size();
    if (before == 0) {
        std::printf("No recordings waiting\n");
        return exitOk;
    }
    std::printf("Sending %lld recording(s) again …\n", static_cast<long long>(before));
    std::fflush(stdout);
    QCoro::waitFor(dictation->pipeline().retryAllPending());
    QCoro::waitFor(dictation->drain(Millis(60000)));
    const qsizetype after = dictation->pending().items().size();
    std::printf("Delivered %lld; %s\n", static_cast<long long>(before - after), qPrintable(dictation->lastMessage()));
    if (after == 0)
        return exitOk;
    printPending(dictation->pending().items());
    return session.failureStatus();
}

namespace {

QString grouped(qint64 n)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(n);
}

void printCounts(const char *label, qint64 transcriptions, qint64 words, qint64 seconds)
{
    std::printf("  %-14s %10s %10s %10s\n", label, qPrintable(grouped(transcriptions)), qPrintable(grouped(words)),
                qPrintable(TimeFormatting::timeSaved(static_cast<double>(seconds))));
}

void printUsage(const UsageStats &stats, const QByteArray &zone)
{
    std::printf("Usage (days and hours in %s):\n", zone.constData());
    std::printf("  %-14s %10s %10s %10s\n", "", "dictations", "words", "speaking");
    printCounts("This month", stats.month.transcriptions, stats.month.words, stats.month.seconds);
    printCounts("All time", stats.allTime.transcriptions, stats.allTime.words, stats.allTime.seconds);
    if (const auto &p = stats.periods) {
        printCounts("Last 7 days", p->d7.transcriptions, p->d7.words, p->d7.seconds);
        printCounts("Last 30 days", p->d30.transcriptions, p->d30.words, p->d30.seconds);
        printCounts("Last 90 days", p->d90.transcriptions, p->d90.words, p->d90.seconds);
    }
    std::printf("Speaking pace: %s words per minute\n", qPrintable(UsageFigures::speakingPaceText(stats)));
    const auto saved = UsageFigures::timeSavedSeconds(stats.month);
    std::printf("Time saved this month: %s (against typing at %.0f words per minute)\n",
                qPrintable(saved ? TimeFormatting::timeSaved(*saved) : UsageFigures::kNone),
                UsageFigures::kTypingWordsPerMinute);

    if (stats.allTime.transcriptions == 0)
        return; // no breakdowns to show yet
    if (stats.daily) {
        std::printf("\nBy day (the last %lld days, days with dictations):\n",
                    static_cast<long long>(stats.days.value_or(stats.daily->size())));
        for (const UsageDay &day : *stats.daily) {
            if (day.transcriptions > 0)
                printCounts(qPrintable(day.date), day.transcriptions, day.words, day.seconds);
        }
    }
    if (stats.hourly) {
        std::printf("\nBy hour of day:\n");
        for (const UsageHour &hour : *stats.hourly) {
            if (hour.transcriptions > 0) {
                const QString label = QStringLiteral("%1:00").arg(hour.hour, 2, 10, QLatin1Char('0'));
                printCounts(qPrintable(label), hour.transcriptions, hour.words, hour.seconds);
            }
        }
    }
    if (stats.byApp && !stats.byApp->isEmpty()) {
        std::printf("\nBy application:\n");
        for (const UsageApp &app : *stats.byApp) {
            std::printf("  %-40s %10s %10s %10s\n", qPrintable(app.appBundleId.value_or(QStringLiteral("(unknown)"))),
                        qPrintable(grouped(app.transcriptions)), qPrintable(grouped(app.words)),
                        qPrintable(TimeFormatting::timeSaved(static_cast<double>(app.seconds))));
        }
    }
}

} // namespace

int usage()
{
    Session session;
    if (!session.auth.isSignedIn())
        return notSignedIn(session);
    const QByteArray zone = QTimeZone::systemTimeZoneId();
    UsageService service(session.constants.usageEndpoint(), session.auth, session.sender, zone);
    const auto stats = QCoro::waitFor(service.fetch());
    if (!stats) {
        std::fprintf(stderr, "Could not fetch the usage figures: %s\n", qPrintable(stats.error()));
        return session.failureStatus();
    }
    printUsage(*stats, zone);
    return exitOk;
}

int vocabulary(const QStringList &args, const std::optional<QString> &replacement)
{
    Session session;
    if (!session.auth.isSignedIn() || !session.auth.user())
        return notSignedIn(session);
    // The app's own settings: the active terms written here are what its
    // dictations use.
    UserDefaults defaults(UserDefaults::standardFilePath());
    VocabularyService service(VocabularyRemote(session.constants.vocabularyTermsEndpoint(),
                                               session.constants.publicApiKey, session.auth, session.sender,
                                               session.scheduler),
                              defaults);
    service.switchTo(session.auth.user()->id);
    QCoro::waitFor(service.load());
    const auto failed = [&service, &session](const char *what) {
        std::fprintf(stderr, "Could not %s: %s\n", what, qPrintable(service.lastError().value_or(QString())));
        return session.failureStatus();
    };
    const QString command = args.value(1, QStringLiteral("list"));
    if (command == u"list") {
        if (service.lastError())
            return failed("read the vocabulary");
        if (service.terms().empty())
            std::printf("No terms yet. Add one: dravelin-cli vocab add TERM [--replacement TEXT]\n");
        for (const VocabularyTerm &term : service.terms()) {
            std::printf("%s %s%s\n", term.isFavorite ? "*" : " ", qPrintable(term.term),
                        term.expansion() ? qPrintable(QStringLiteral(" → ") + *term.expansion()) : "");
        }
        return exitOk;
    }
    if (command == u"add" && args.size() == 3) {
        QCoro::waitFor(service.add(args.at(2), replacement));
        if (service.lastError())
            return failed("add the term");
        std::printf("Added \"%s\"\n", qPrintable(args.at(2)));
        return exitOk;
    }
    if (command == u"remove" && args.size() == 3) {
        const auto &terms = service.terms();
        const auto it = std::find_if(terms.begin(), terms.end(), [&](const VocabularyTerm &t) {
            return t.term.compare(args.at(2), Qt::CaseInsensitive) == 0;
        });
        if (it == terms.end()) {
            std::fprintf(stderr, "No term \"%s\" in the vocabulary (`dravelin-cli vocab list` shows them)\n",
                         qPrintable(args.at(2)));
            return exitFailed;
        }
        QCoro::waitFor(service.remove(it->id));
        if (service.lastError())
            return failed("remove the term");
        std::printf("Removed \"%s\"\n", qPrintable(args.at(2)));
        return exitOk;
    }
    std::fprintf(stderr, "usage: dravelin-cli vocab [list | add TERM [--replacement TEXT] | remove TERM]\n");
    return exitUsage;
}

namespace {

const char *statusText(AdminUserStatus status)
{
    switch (status) {
    case AdminUserStatus::active:
        return "active";
    case AdminUserStatus::inactive:
        return "inactive";
    case AdminUserStatus::disabled:
        return "disabled";
    }
    return "";
}

void printDashboard(const AdminDashboardData &data)
{
    const auto &m = data.metrics;
    std::printf("Users: %lld (%lld active; new: %lld today, %lld this week, %lld this month)\n", m.totalUsers,
                m.activeUsers, m.newToday, m.newThisWeek, m.newThisMonth);
    std::printf("Dictations: %lld, %s of speech", m.totalRecordings,
                qPrintable(TimeFormatting::timeSaved(static_cast<double>(m.totalUsageMs) / 1000)));
    if (m.averageTimeToTextMs)
        std::printf("; text %lld ms after the audio on average", *m.averageTimeToTextMs);
    std::printf("\n");
    if (const auto &q = data.transcriptionQuality; q && q->totalAttempts > 0)
        std::printf("Quality: %lld%% success, %lld%% error, %lld%% accuracy issue, %lld%% no speech (%lld labelled)\n",
                    q->successRate.value_or(0), q->errorRate.value_or(0), q->accuracyIssueRate.value_or(0),
                    q->noSpeechRate.value_or(0), q->totalAttempts);
    std::printf("\n%-32s %-9s %6s %10s  %s\n", "Email", "Status", "Dict.", "Speech", "Last active");
    for (const auto &user : data.users) {
        std::printf("%-32s %-9s %6lld %10s  %s%s\n", qPrintable(user.email), statusText(user.status), user.recordings,
                    qPrintable(TimeFormatting::timeSaved(static_cast<double>(user.totalUsageMs) / 1000)),
                    qPrintable(user.lastActiveAt.value_or(QStringLiteral("never"))), user.isAdmin ? "  (admin)" : "");
    }
}

} // namespace

int admin(const QStringList &args)
{
    Session session;
    if (!session.auth.isSignedIn())
        return notSignedIn(session);
    AdminService service(session.constants.adminDashboardEndpoint(), session.auth, session.sender,
                         session.constants.publicApiKey);
    QCoro::waitFor(service.refresh());
    if (!service.data()) {
        std::fprintf(stderr, "%s\n", qPrintable(service.errorMessage().value_or(QStringLiteral("No dashboard"))));
        return session.failureStatus();
    }
    const QString verb = args.value(1, QStringLiteral("dashboard"));
    if (verb == u"dashboard" && args.size() <= 2) {
        printDashboard(*service.data());
        return exitOk;
    }
    if ((verb != u"enable" && verb != u"disable" && verb != u"delete") || args.size() != 3) {
        std::fprintf(stderr, "usage: dravelin-cli admin [dashboard | enable EMAIL | disable EMAIL | delete EMAIL]\n");
        return exitUsage;
    }
    const QString email = args.at(2).trimmed().toLower();
    const auto &users = service.data()->users;
    const auto user = std::find_if(users.begin(), users.end(), [&](const auto &u) { return u.email == email; });
    if (user == users.end()) {
        std::fprintf(stderr, "No user %s\n", qPrintable(email));
        return exitFailed;
    }
    const QString id = user->id;
    const AdminRequest request =
        verb == u"delete" ? AdminRequest::deleteUser(id) : AdminRequest::setUserEnabled(id, verb == u"enable");
    if (!QCoro::waitFor(service.mutate(id, request))) {
        std::fprintf(stderr, "%s\n", qPrintable(service.errorMessage().value_or(QString())));
        return session.failureStatus();
    }
    std::printf("%s %s\n", qPrintable(email),
                verb == u"delete" ? "deleted" : (verb == u"enable" ? "enabled" : "disabled"));
    return exitOk;
}

int rewrite(const QString &text, const QString &style)
{
    Session session;
    if (!session.auth.isSignedIn())
        return notSignedIn(session);
    std::optional<RewriteStyle> chosen;
    for (RewriteStyle s : {RewriteStyle::natural, RewriteStyle::concise, RewriteStyle::formal, RewriteStyle::casual}) {
        if (rewriteStyleName(s) == style)
            chosen = s;
    }
    // Anything but a style name is a transform's name, or an instruction.
    std::optional<QString> prompt;
    if (!chosen) {
        const UserDefaults defaults(UserDefaults::standardFilePath());
        QList<Transform> transforms = TransformService::builtIns();
        transforms.append(TransformService::decodeCustom(
            defaults.data(QString::fromLatin1(TransformService::kCustomKey)).value_or(QByteArray())));
        for (const Transform &t : transforms) {
            if (t.name.compare(style, Qt::CaseInsensitive) == 0)
                prompt = t.prompt;
        }
        if (!prompt)
            prompt = style;
    }
    RewriteService service(session.constants.rewriteEndpoint(), session.auth, session.sender, session.scheduler);
    const auto result =
        QCoro::waitFor(service.sendRewrite(text, chosen.value_or(RewriteStyle::natural), std::move(prompt)));
    if (!result) {
        std::fprintf(stderr, "%s\n", qPrintable(result.error().description()));
        switch (result.error().kind) {
        case RewriteError::Kind::network:
            return exitUnreachable;
        case RewriteError::Kind::notAuthenticated:
        case RewriteError::Kind::unauthorized:
            return exitSignedOut;
        default:
            return exitFailed;
        }
    }
    std::printf("%s\n", qPrintable(*result));
    return exitOk;
}

int ask(const QString &question)
{
    Session session;
    if (!session.auth.isSignedIn())
        return notSignedIn(session);
    AssistantService service(session.constants.askEndpoint(), session.auth, session.sender);
    const auto result = QCoro::waitFor(service.ask(question));
    if (!result) {
        std::fprintf(stderr, "%s\n", qPrintable(result.error().description()));
        switch (result.error().kind) {
        case AssistantError::Kind::network:
            return exitUnreachable;
        case AssistantError::Kind::notAuthenticated:
        case AssistantError::Kind::unauthorized:
            return exitSignedOut;
        default:
            return exitFailed;
        }
    }
    if (const auto *answer = std::get_if<AssistantAnswer>(&*result)) {
        std::printf("%s\n", qPrintable(answer->text));
        for (const AssistantSource &source : answer->sources)
            std::printf("  %s <%s>\n", qPrintable(source.title), qPrintable(source.url.toString()));
        return exitOk;
    }
    const auto &action = std::get<AssistantAction>(*result);
    const bool safe = AssistantActionPolicy::allows(action.url);
    std::printf("%s\n%s%s\n", qPrintable(action.text), qPrintable(action.url.toString()),
                safe ? "" : "  (refused: not a search Dravelin opens)");
    return safe ? exitOk : exitFailed;
}

} // namespace dravelin::cli
