#pragma once

#include <QObject>

namespace dravelin {

class Appearance;
class UserDefaults;

// The light or dark appearance of Dravelin's windows, kept in "theme.mode".
class ThemeService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Mode mode READ mode WRITE setMode NOTIFY modeChanged)
public:
    enum class Mode {
        light,
        dark
    };
    Q_ENUM(Mode)

    static constexpr const char *kModeKey = "theme.mode";

    // Reads "theme.mode" ("dark" is dark, anything else light) and writes the
    // chosen mode back, so the key always holds "light" or "dark".
    ThemeService(UserDefaults &defaults, Appearance &appearance, QObject *parent = nullptr);

    Mode mode() const { return m_mode; }
    // Stores the mode and applies it.
    void setMode(Mode mode);
    // Applies the current mode to the application.
    void apply();

    static QString rawValue(Mode mode);

Q_SIGNALS:
    void modeChanged();

private:
    UserDefaults &m_defaults;
    Appearance &m_appearance;
    Mode m_mode = Mode::light;
};

} // namespace dravelin
