#pragma once

#include <QJsonDocument>
#include <QJsonObject>
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
    QString body;           // unexpectedStatus: for logs; only a JSON error's short reason is shown
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
            if (const QString reason = serverReason(body); !reason.isEmpty())
                return QStringLiteral("The server answered %1: %2").arg(status).arg(reason);
            return QStringLiteral("Unexpected response (%1)").arg(status);
        case Kind::notAuthenticated:
            return QStringLiteral("Not signed in");
        case Kind::unauthorized:
            return QStringLiteral("Session expired — please sign in again");
        }
        return {};
    }

    // The reason a server wrote into its error reply — the "error" or
    // "message" of a JSON object — when it is one short line of text; empty
    // otherwise (an HTML page, a stack trace), which is kept for the log only.
    static QString serverReason(const QString &body)
    {
        const QJsonObject object = QJsonDocument::fromJson(body.toUtf8()).object();
        for (const char *key : {"error", "message"}) {
            const QString reason = object.value(QLatin1String(key)).toString().trimmed();
            if (!reason.isEmpty() && reason.size() <= 300 && !reason.contains(u'\n'))
                return reason;
        }
        return {};
    }

    bool operator==(const BackendError &) const = default;
};

using TranscriptionError = BackendError;

} // namespace dravelin
