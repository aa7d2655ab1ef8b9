#pragma once

#include <QString>
#include <QStringList>

namespace dravelin {

// What this machine offers Dravelin, for the start-up check and diagnostics.
struct PlatformReport
{
    struct Facility
    {
        QString name;
        bool available = false;
        QString detail; // what was found, or why it is missing
    };
    QList<Facility> facilities;

    bool isAvailable(const QString &name) const;
    QString format() const;
};

// Probes the X display (with XTest, XInput2 and XFixes), the sound server, the
// sound theme and the keyboard layout data. Waits at most `timeoutMs` for
// the sound server. Safe to call without a display.
PlatformReport checkPlatform(int timeoutMs = 2000);

} // namespace dravelin
