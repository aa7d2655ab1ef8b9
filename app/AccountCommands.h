#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace dravelin::cli {

// The command line's own log file, beside the app's (a rotating
// $XDG_STATE_HOME/dravelin/dravelin-cli.log).
QString logFilePath();

// dravelin-cli's account commands; each returns the process exit code
// (ExitCodes.h).
int signIn(const std::optional<QString> &consentAs);
int whoAmI();
int signOut();
// Prints a valid access token (refreshed when due), for scripts and curl.
int printAccessToken();
int transcribeFile(const QString &path, bool streaming, bool cleanup);
// One dictation through the whole pipeline: a file played as the microphone
// (or the microphone until Enter), signing in first when needed.
int dictate(const std::optional<QString> &file, const std::optional<QString> &consentAs);
// Lists the recordings waiting to be sent again.
int listPending();
// Sends them again, oldest first; 1 when any still failed.
int retryPending();
// The personal vocabulary: list, add TERM (with an optional replacement), remove TERM.
int vocabulary(const QStringList &args, const std::optional<QString> &replacement);
// Prints the signed-in user's usage figures, counted by the backend.
int usage();
// The administrators' dashboard, and enable|disable|delete EMAIL.
int admin(const QStringList &args);
// Rewrites TEXT in a style (natural, concise, formal, casual), by a
// transform's name, or by an instruction of the user's own.
int rewrite(const QString &text, const QString &style);
// Asks the assistant; prints the answer and its sources, or the page it opens.
int ask(const QString &question);

} // namespace dravelin::cli
