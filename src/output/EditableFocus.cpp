#include "output/EditableFocus.h"

#include <set>

namespace dravelin {

QString toString(EditableFocus focus)
{
    switch (focus) {
    case EditableFocus::editable:
        return QStringLiteral("editable");
    case EditableFocus::notEditable:
        return QStringLiteral("notEditable");
    case EditableFocus::unknown:
        return QStringLiteral("unknown");
    }
    return {};
}

namespace EditableFocusClassifier {

EditableFocus focusFor(ElementEvidence evidence)
{
    switch (evidence) {
    case ElementEvidence::editable:
        return EditableFocus::editable;
    case ElementEvidence::notText:
        return EditableFocus::notEditable;
    case ElementEvidence::inconclusive:
        return EditableFocus::unknown;
    }
    return EditableFocus::unknown;
}

const QSet<QString> &editableRoles()
{
    static const QSet<QString> roles{QStringLiteral("text"),          QStringLiteral("entry"),
                                     QStringLiteral("password text"), QStringLiteral("combo box"),
                                     QStringLiteral("terminal"),      QStringLiteral("editbar")};
    return roles;
}

const QSet<QString> &confidentlyNonTextRoles()
{
    static const QSet<QString> roles{
        QStringLiteral("push button"), QStringLiteral("toggle button"), QStringLiteral("image"),
        QStringLiteral("menu item"),   QStringLiteral("check box"),     QStringLiteral("radio button"),
        QStringLiteral("slider"),      QStringLiteral("scroll bar"),    QStringLiteral("link"),
        QStringLiteral("tree"),        QStringLiteral("tree table"),    QStringLiteral("table"),
        QStringLiteral("list"),        QStringLiteral("list box"),
    };
    return roles;
}

bool writableValueCanMeanText(const QString &role)
{
    return role.isEmpty() || !confidentlyNonTextRoles().contains(role);
}

bool elementIsEditable(const AccessibleElementInfo &element)
{
    if (editableRoles().contains(element.role) && !element.readOnly)
        return true;
    // The editable state is how rich-text areas and web content say so.
    if (element.editable && writableValueCanMeanText(element.role))
        return true;
    // The text-editing interface is the writable value.
    if (element.hasEditableText && !element.readOnly && writableValueCanMeanText(element.role))
        return true;
    return false;
}

HierarchyVerdict hierarchyEvidence(const std::vector<AccessibleElementInfo> &chain)
{
    if (chain.empty())
        return {};
    const AccessibleElementInfo &element = chain.front();
    if (elementIsEditable(element))
        return {ElementEvidence::editable, {}};
    std::set<QString> seen{element.id};
    for (size_t i = 1; i < chain.size() && i <= static_cast<size_t>(AccessibilityInspector::kAncestorLimit); ++i) {
        if (!seen.insert(chain[i].id).second)
            break; // a cycle
        if (elementIsEditable(chain[i]))
            return {ElementEvidence::editable, {}};
    }
    if (confidentlyNonTextRoles().contains(element.role))
        return {ElementEvidence::notText, element.role};
    return {};
}

} // namespace EditableFocusClassifier

} // namespace dravelin
