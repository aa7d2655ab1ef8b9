#pragma once

#include <QString>

namespace dravelin {

// The failures every backend client shares, with their user-facing texts.
// Each client names its own type after it (TranscriptionError, CleanupError…)
// and the prefix of its provider failures.
struct BackendError
{
    enum class Kind {
        providerFailure,
        decodingFailed,
        network,
        unexpectedStatus,
        notAuthenticated,
        unauthorized
    };

    Kind kind = Kind::network;
    QString message;        // providerFailure, decodingFailed, network
    int status = 0;         // unexpectedStatus
    QString body;           // unexpectedStatus: kept for logs, never shown
    QString providerPrefix; // "Transcription failed: ", "Formatting failed: " …

    static BackendError provider(QString prefix, QString message)
    {
        return {Kind::providerFailure, std::move(message), 0, {}, std::move(prefix)};
    }
    static BackendError decoding(QString message) { return {Kind::decodingFailed, std::move(message), 0, {}, {}}; }
    static BackendError networkError(QString message) { return {Kind::network, std::move(message), 0, {}, {}}; }
    static BackendError unexpected(int status, QString body)
    {
        return {Kind::unexpectedStatus, {}, status, std::move(body), {}};
    }
    static BackendError notSignedIn() { return {Kind::notAuthenticated, {}, 0, {}, {}}; }
    static BackendError sessionExpired() { return {Kind::unauthorized, {}, 0, {}, {}}; }

    QString description() const
    {
        switch (kind) {
        case Kind::providerFailure:
            return providerPrefix + message;
        case Kind::decodingFailed:
            return QStringLiteral("Couldn't read response: ") + message;
        case Kind::network:
            return QStringLiteral("Network error: ") + message;
        case Kind::unexpectedStatus:
            return QStringLiteral("Unexpected response (%1)").arg(status);
        case Kind::notAuthenticated:
            return QStringLiteral("Not signed in");
        case Kind::unauthorized:
            return QStringLiteral("Session expired — please sign in again");
        }
        return {};
    }

    bool operator==(const BackendError &) const = default;
};

using TranscriptionError = BackendError;

} // namespace dravelin
