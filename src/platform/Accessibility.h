#pragma once

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <optional>
#include <vector>

namespace dravelin {

// What the accessibility layer says about one element.
struct AccessibleElementInfo
{
    QString role;                 // the platform's role name ("text", "push button", …)
    bool editable = false;        // its state says it takes text
    bool readOnly = false;        // its state says it does not
    bool hasEditableText = false; // it offers the text-editing interface
    bool hasText = false;         // it offers the text interface
    QString id;                   // stable within one probe: repeats mean a cycle
};

// Reading an attribute that should hold an element.
struct AccessibleLookup
{
    enum class Kind {
        element,    // found
        noValue,    // the application answered: there is none
        unavailable // it did not answer, or answered nonsense
    };
    Kind kind = Kind::unavailable;
    // The element first, then its ancestors (at most `ancestorLimit`), when found.
    std::vector<AccessibleElementInfo> chain;

    static AccessibleLookup none() { return {Kind::noValue, {}}; }
    static AccessibleLookup failed() { return {Kind::unavailable, {}}; }
};

// The desktop's accessibility tree, asked about the application with the
// given process id. Every call is bounded by a short timeout.
class AccessibilityInspector
{
public:
    virtual ~AccessibilityInspector() = default;
    static constexpr int kAncestorLimit = 4;

    // False when no accessibility bus is reachable (the equivalent of a
    // missing permission): the probe then cannot judge.
    virtual QCoro::Task<bool> isAvailable() = 0;
    virtual QCoro::Task<AccessibleLookup> focusedWindow(qint64 pid) = 0;
    // The focused element with up to kAncestorLimit ancestors.
    virtual QCoro::Task<AccessibleLookup> focusedElement(qint64 pid) = 0;
    // Asks the application to build its accessibility tree; false when the
    // request cannot be made.
    virtual QCoro::Task<bool> wake(qint64 pid) = 0;
    // Whether the application's Paste command is enabled: nothing when the
    // application exposes no such command.
    virtual QCoro::Task<std::optional<bool>> pasteCommandEnabled(qint64 pid) = 0;
};

} // namespace dravelin
