#include "ui/HomeSummary.h"

#include <QRegularExpression>

namespace dravelin::ui {

TodaySummary summarizeToday(const std::vector<ClipboardEntry> &entries, QDate today)
{
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    TodaySummary summary;
    for (const ClipboardEntry &entry : entries) {
        if (entry.createdAt.toLocalTime().date() != today)
            continue;
        ++summary.dictations;
        summary.words += static_cast<int>(entry.text.split(whitespace, Qt::SkipEmptyParts).size());
    }
    return summary;
}

QList<Attention> attentionItems(const AttentionFacts &facts)
{
    using Action = Attention::Action;
    QList<Attention> items;
    // Dictation cannot work at all without these two.
    if (facts.microphoneProblem)
        items.append({QStringLiteral("No microphone: %1").arg(*facts.microphoneProblem),
                      QStringLiteral("Microphone settings"), Action::openMicrophone});
    if (facts.accessibilityProblem)
        items.append(
            {QStringLiteral("Dravelin cannot type into other applications: %1").arg(*facts.accessibilityProblem),
             QStringLiteral("Check again"), Action::openOnboarding});
    if (const auto &aside = facts.settingsSetAside)
        items.append({QStringLiteral("Your settings file could not be read (%1), so Dravelin is using the default "
                                     "settings. The unreadable copy is kept as %2: fix it and put it back while "
                                     "Dravelin is not running to get your settings back.")
                          .arg(aside->reason, aside->path),
                      QString(), Action::none});
    for (const QString &problem : facts.shortcutProblems)
        items.append({problem, QStringLiteral("Change shortcut"), Action::openShortcuts});
    if (facts.pendingRecordings > 0)
        items.append({facts.pendingRecordings == 1
                          ? QStringLiteral("One recording is waiting to be transcribed.")
                          : QStringLiteral("%1 recordings are waiting to be transcribed.").arg(facts.pendingRecordings),
                      QStringLiteral("Retry now"), Action::retryPending});
    if (facts.keyringProblem)
        items.append({*facts.keyringProblem, QString(), Action::none});
    if (facts.onboardingSkipped)
        items.append({QStringLiteral("You skipped part of the setup. Finish it to check your microphone and "
                                     "try a first dictation."),
                      QStringLiteral("Finish setting up"), Action::finishOnboarding});
    if (facts.updateVersion)
        items.append({QStringLiteral("Dravelin %1 is available.").arg(*facts.updateVersion), QStringLiteral("Download"),
                      Action::downloadUpdate});
    return items;
}

} // namespace dravelin::ui
