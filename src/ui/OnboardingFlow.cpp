#include "ui/OnboardingFlow.h"

#include "core/Log.h"
#include "core/UserDefaults.h"

namespace dravelin::ui {

bool onboardingSettings::isCompleted(const UserDefaults &defaults)
{
    return defaults.boolValue(QString::fromLatin1(kCompletedKey), false);
}

bool onboardingSettings::isSkipped(const UserDefaults &defaults)
{
    return defaults.boolValue(QString::fromLatin1(kSkippedKey), false);
}

void onboardingSettings::markCompleted(UserDefaults &defaults, bool skipped)
{
    defaults.set(QString::fromLatin1(kCompletedKey), true);
    defaults.set(QString::fromLatin1(kSkippedKey), skipped);
}

QString toString(OnboardingStep step)
{
    switch (step) {
    case OnboardingStep::signIn:
        return QStringLiteral("signIn");
    case OnboardingStep::microphone:
        return QStringLiteral("microphone");
    case OnboardingStep::accessibility:
        return QStringLiteral("accessibility");
    case OnboardingStep::shortcut:
        return QStringLiteral("shortcut");
    case OnboardingStep::tryIt:
        return QStringLiteral("tryIt");
    case OnboardingStep::done:
        return QStringLiteral("done");
    }
    return {};
}

QString title(OnboardingStep step)
{
    switch (step) {
    case OnboardingStep::signIn:
        return QStringLiteral("Sign in");
    case OnboardingStep::microphone:
        return QStringLiteral("Microphone");
    case OnboardingStep::accessibility:
        return QStringLiteral("Typing into other apps");
    case OnboardingStep::shortcut:
        return QStringLiteral("Your shortcut");
    case OnboardingStep::tryIt:
        return QStringLiteral("Try it");
    case OnboardingStep::done:
        return QStringLiteral("Done");
    }
    return {};
}

OnboardingFlow::OnboardingFlow(UserDefaults &defaults, QObject *parent) : QObject(parent), m_defaults(defaults) {}

void OnboardingFlow::start(bool signedIn)
{
    m_signedIn = signedIn;
    m_dictated = false;
    moveTo(signedIn ? OnboardingStep::microphone : OnboardingStep::signIn);
}

void OnboardingFlow::next()
{
    switch (m_step) {
    case OnboardingStep::signIn:
        // Signing in is what moves on from here.
        if (m_signedIn)
            moveTo(OnboardingStep::microphone);
        break;
    case OnboardingStep::microphone:
        moveTo(OnboardingStep::accessibility);
        break;
    case OnboardingStep::accessibility:
        moveTo(OnboardingStep::shortcut);
        break;
    case OnboardingStep::shortcut:
        moveTo(OnboardingStep::tryIt);
        break;
    case OnboardingStep::tryIt:
        finish();
        break;
    case OnboardingStep::done:
        break;
    }
}

void OnboardingFlow::back()
{
    switch (m_step) {
    case OnboardingStep::accessibility:
        moveTo(OnboardingStep::microphone);
        break;
    case OnboardingStep::shortcut:
        moveTo(OnboardingStep::accessibility);
        break;
    case OnboardingStep::tryIt:
        moveTo(OnboardingStep::shortcut);
        break;
    case OnboardingStep::signIn:
    case OnboardingStep::microphone:
    case OnboardingStep::done:
        break;
    }
}

void OnboardingFlow::skip()
{
    logs::info(logs::firstRun(), QStringLiteral("Onboarding skipped at %1").arg(toString(m_step)));
    onboardingSettings::markCompleted(m_defaults, true);
    moveTo(OnboardingStep::done);
}

void OnboardingFlow::finish()
{
    logs::info(logs::firstRun(),
               QStringLiteral("Onboarding completed%1").arg(m_dictated ? QString() : QStringLiteral(" without a try")));
    onboardingSettings::markCompleted(m_defaults, false);
    moveTo(OnboardingStep::done);
}

void OnboardingFlow::dictationArrived()
{
    if (m_step == OnboardingStep::tryIt && !m_dictated) {
        m_dictated = true;
        Q_EMIT stepChanged(m_step);
    }
}

void OnboardingFlow::moveTo(OnboardingStep step)
{
    m_step = step;
    logs::info(logs::firstRun(), QStringLiteral("Onboarding step: %1").arg(toString(step)));
    Q_EMIT stepChanged(step);
}

} // namespace dravelin::ui
