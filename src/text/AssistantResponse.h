#pragma once

#include "core/Expected.h"
#include "text/AssistantSource.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>
#include <variant>

namespace dravelin {

// What the assistant answered: text with the sources it cites, or a web page
// to open with the text confirming it.
struct AssistantAnswer
{
    QString text;
    QList<AssistantSource> sources;
    bool operator==(const AssistantAnswer &) const = default;
};
struct AssistantAction
{
    QString text;
    QUrl url;
    bool operator==(const AssistantAction &) const = default;
};
using AssistantResult = std::variant<AssistantAnswer, AssistantAction>;

struct AssistantError
{
    enum class Kind {
        decodingFailed,
        network,
        unexpectedStatus,
        notAuthenticated,
        unauthorized,
        emptyQuery,
        emptyResponse
    };
    Kind kind = Kind::network;
    QString message; // decodingFailed, network
    int status = 0;  // unexpectedStatus
    QString body;    // unexpectedStatus: for logs

    QString description() const;
    bool operator==(const AssistantError &) const = default;
};

// Reads the ask function's reply: {"kind": "answer"|"action", "text", "sources"?,
// "url"?}. Sources that are not plain web addresses are dropped.
struct AssistantResponseParser
{
    static Expected<AssistantResult, AssistantError> decode(const QByteArray &body);
};

// The question to send: the first of the live final text, the live raw text
// and the on-device text that is not blank, trimmed.
struct AssistantTranscriptSelector
{
    static std::optional<QString> select(const std::optional<QString> &cleanedLive,
                                         const std::optional<QString> &rawLive, const std::optional<QString> &onDevice);
};

// A plain web address: http or https, a host, no user name or password.
struct SafeWebURL
{
    static bool isValid(const QUrl &url);
};

// Which pages an Ask action may open: a video search, a shopping search or a
// map search on the hosts below, over https without a port, and nothing else
// — whatever the backend (or a model behind it) answers.
struct AssistantActionPolicy
{
    static const QStringList youtubeHosts;
    static const QStringList amazonHosts;
    static const QStringList googleSearchHosts;
    static const QString googleMapsHost;

    static bool allows(const QUrl &url);
};

} // namespace dravelin
