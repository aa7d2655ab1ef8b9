#include "core/TimeFormatting.h"

#include <cmath>

namespace dravelin {

namespace {

QString twoUnits(qint64 major, const char *majorUnit, qint64 minor, const char *minorUnit)
{
    QString text = QString::number(major) + QLatin1String(majorUnit);
    if (minor != 0)
        text += u' ' + QString::number(minor) + QLatin1String(minorUnit);
    return text;
}

} // namespace

QString TimeFormatting::timeSaved(double seconds)
{
    const qint64 s = std::isfinite(seconds) && seconds > 0 ? std::llround(seconds) : 0;
    if (s < 60)
        return QString::number(s) + u's';
    if (s < 3600)
        return twoUnits(s / 60, "m", s % 60, "s");
    if (s < 86400)
        return twoUnits(s / 3600, "h", s % 3600 / 60, "m");
    return twoUnits(s / 86400, "d", s % 86400 / 3600, "h");
}

} // namespace dravelin
