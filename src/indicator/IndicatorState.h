#pragma once

#include "text/AssistantSource.h"

#include <QList>
#include <QString>

namespace dravelin {

// Everything the floating indicator can show. Two states are equal when their
// kinds and payloads are equal.
class IndicatorState
{
public:
    enum class Kind {
        result,             // text the user may copy or dismiss
        askAnswer,          // the Ask answer with its sources
        notice,             // a short neutral notice
        actionConfirmation, // confirmation of an Ask action
        error,              // an error message
        hidden,
        idle,
        recording,
        askRecording,
        processing,
        done,
        signInRequired,
    };

    static IndicatorState result(QString text) { return {Kind::result, std::move(text)}; }
    static IndicatorState askAnswer(QString text, QList<AssistantSource> sources)
    {
        IndicatorState s{Kind::askAnswer, std::move(text)};
        s.m_sources = std::move(sources);
        return s;
    }
    static IndicatorState notice(QString message) { return {Kind::notice, std::move(message)}; }
    static IndicatorState actionConfirmation(QString message) { return {Kind::actionConfirmation, std::move(message)}; }
    static IndicatorState error(QString message) { return {Kind::error, std::move(message)}; }
    static IndicatorState hidden() { return {Kind::hidden}; }
    static IndicatorState idle() { return {Kind::idle}; }
    static IndicatorState recording() { return {Kind::recording}; }
    static IndicatorState askRecording() { return {Kind::askRecording}; }
    static IndicatorState processing() { return {Kind::processing}; }
    static IndicatorState done() { return {Kind::done}; }
    static IndicatorState signInRequired() { return {Kind::signInRequired}; }

    Kind kind() const { return m_kind; }
    // The text, message or answer of the cases that carry one; empty otherwise.
    const QString &text() const { return m_text; }
    const QList<AssistantSource> &sources() const { return m_sources; }

    bool operator==(const IndicatorState &) const = default;

    // "notice(Cancelled)", "recording" — for logs and test failure messages.
    QString describe() const;

private:
    IndicatorState(Kind kind, QString text = {}) : m_kind(kind), m_text(std::move(text)) {}

    Kind m_kind;
    QString m_text;
    QList<AssistantSource> m_sources;
};

} // namespace dravelin
