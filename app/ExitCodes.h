#pragma once

#include "account/BackendError.h"

namespace dravelin::cli {

// dravelin-cli's exit statuses, the same for every command, so a script can
// tell "try again later" from "sign in" from "fix the command line".
enum ExitCode : int {
    exitOk = 0,
    exitFailed = 1,      // the command ran and did not succeed (the server refused, nothing was heard …)
    exitUsage = 2,       // the command line, an input file or backend.json cannot be used
    exitUnreachable = 3, // the server could not be reached (whoami: it could not confirm the session)
    exitSignedOut = 4,   // not signed in, or the session ended: `dravelin-cli sign-in`
};

// How --help lists them.
inline constexpr const char *kExitStatusHelp =
    "Exit status: 0 done; 1 the command failed; 2 a usage error (the command line, an input file\n"
    "or backend.json); 3 the server could not be reached; 4 not signed in.";

// The status for a failed backend call.
inline int exitCodeFor(const BackendError &error)
{
    switch (error.kind) {
    case BackendError::Kind::network:
        return exitUnreachable;
    case BackendError::Kind::notAuthenticated:
    case BackendError::Kind::unauthorized:
        return exitSignedOut;
    case BackendError::Kind::providerFailure:
    case BackendError::Kind::decodingFailed:
    case BackendError::Kind::unexpectedStatus:
        break;
    }
    return exitFailed;
}

} // namespace dravelin::cli
