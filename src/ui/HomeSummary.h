#pragma once

#include "output/ClipboardEntry.h"

#include <QDate>
#include <QList>
#include <QString>

#include <optional>
#include <vector>

namespace dravelin::ui {

// Today's dictations from the history, counted in the user's time zone.
struct TodaySummary
{
    int dictations = 0;
    int words = 0;
};
TodaySummary summarizeToday(const std::vector<ClipboardEntry> &entries, QDate today);

// What Home lists under "Needs attention", most pressing first.
struct Attention
{
    enum class Action {
        none,
        finishOnboarding,
        openMicrophone,
        openOnboarding,
        openShortcuts,
        retryPending,
        downloadUpdate,
    };
    QString text;
    QString actionLabel;
    Action action = Action::none;
};

// The facts Home looks at.
struct AttentionFacts
{
    bool onboardingSkipped = false;
    std::optional<QString> microphoneProblem;    // the fix, when the microphone is missing
    std::optional<QString> accessibilityProblem; // the fix, when keystrokes cannot be sent
    QStringList shortcutProblems;                // one line per shortcut that does nothing
    std::optional<QString> keyringProblem;       // the sign-in will not be remembered
    // The settings file could not be read at start: where the broken copy
    // went, and why (Dravelin runs on the default settings).
    struct SetAside
    {
        QString path;
        QString reason;
    };
    std::optional<SetAside> settingsSetAside;
    int pendingRecordings = 0;
    std::optional<QString> updateVersion; // a newer release is out
};
QList<Attention> attentionItems(const AttentionFacts &facts);

} // namespace dravelin::ui
