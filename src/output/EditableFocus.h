#pragma once

#include "platform/Accessibility.h"

#include <QSet>
#include <QString>

#include <vector>

namespace dravelin {

// Whether anything that takes text has the keyboard focus.
enum class EditableFocus {
    editable,    // paste
    notEditable, // nothing to paste into: show the text instead
    unknown      // cannot tell: paste anyway
};
QString toString(EditableFocus focus);

// The focus probe's decision rules, free of platform calls. Roles are AT-SPI
// role names.
namespace EditableFocusClassifier {

enum class ElementEvidence {
    editable,
    notText,
    inconclusive
};
enum class PasteCommandEvidence {
    enabled,
    disabled,
    unavailable
};

EditableFocus focusFor(ElementEvidence evidence);

// Roles that take text unless marked read-only.
const QSet<QString> &editableRoles();
// Roles that never take text, whatever else they claim.
const QSet<QString> &confidentlyNonTextRoles();

// A writable value only means text on an element not known to be something else.
bool writableValueCanMeanText(const QString &role);
bool elementIsEditable(const AccessibleElementInfo &element);

struct HierarchyVerdict
{
    ElementEvidence evidence = ElementEvidence::inconclusive;
    QString nonTextRole; // set with notText
};
// `chain` is the focused element followed by its ancestors, nearest first. An
// editable element or ancestor (up to four, stopping at a repeat) makes it
// editable; a non-text role on the element itself makes it not text.
HierarchyVerdict hierarchyEvidence(const std::vector<AccessibleElementInfo> &chain);

} // namespace EditableFocusClassifier

} // namespace dravelin
