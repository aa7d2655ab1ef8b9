#pragma once

#include <QObject>
#include <QString>

#include <array>

namespace dravelin {
class UserDefaults;
}

namespace dravelin::ui {

// Whether the user went through onboarding ("onboarding.completed") or left
// it early ("onboarding.skipped": Home keeps a reminder).
namespace onboardingSettings {
inline constexpr const char *kCompletedKey = "onboarding.completed";
inline constexpr const char *kSkippedKey = "onboarding.skipped";
bool isCompleted(const UserDefaults &defaults);
bool isSkipped(const UserDefaults &defaults);
void markCompleted(UserDefaults &defaults, bool skipped);
} // namespace onboardingSettings

enum class OnboardingStep {
    signIn,
    microphone,
    accessibility,
    shortcut,
    tryIt,
    done
};

inline constexpr std::array kOnboardingSteps{OnboardingStep::signIn, OnboardingStep::microphone,
                                             OnboardingStep::accessibility, OnboardingStep::shortcut,
                                             OnboardingStep::tryIt};

QString toString(OnboardingStep step);
// The step list's label ("Microphone").
QString title(OnboardingStep step);

// The steps of onboarding, apart from their screens: sign in, check the
// microphone, check that keystrokes and the focused field can be reached,
// pick the shortcut, dictate once into a box on the page, done. The sign-in
// step is passed over for a user who is already signed in. Finishing or
// skipping records it in the settings.
class OnboardingFlow final : public QObject
{
    Q_OBJECT
public:
    explicit OnboardingFlow(UserDefaults &defaults, QObject *parent = nullptr);

    OnboardingStep step() const { return m_step; }
    // Starts over at the first step that needs the user.
    void start(bool signedIn);
    void next();
    void back();
    // Leaves onboarding now; Home reminds the user to finish.
    void skip();
    // From the last step: onboarding is complete.
    void finish();
    // A dictation arrived while the try-it step was showing.
    void dictationArrived();
    bool hasDictated() const { return m_dictated; }

Q_SIGNALS:
    void stepChanged(dravelin::ui::OnboardingStep step);

private:
    void moveTo(OnboardingStep step);

    UserDefaults &m_defaults;
    OnboardingStep m_step = OnboardingStep::signIn;
    bool m_signedIn = false;
    bool m_dictated = false;
};

} // namespace dravelin::ui
