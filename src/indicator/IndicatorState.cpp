#include "indicator/IndicatorState.h"

namespace dravelin {

QString IndicatorState::describe() const
{
    switch (m_kind) {
    case Kind::result:
        return QStringLiteral("result(%1)").arg(m_text);
    case Kind::askAnswer:
        return QStringLiteral("askAnswer(%1, %2 sources)").arg(m_text).arg(m_sources.size());
    case Kind::notice:
        return QStringLiteral("notice(%1)").arg(m_text);
    case Kind::actionConfirmation:
        return QStringLiteral("actionConfirmation(%1)").arg(m_text);
    case Kind::error:
        return QStringLiteral("error(%1)").arg(m_text);
    case Kind::hidden:
        return QStringLiteral("hidden");
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::recording:
        return QStringLiteral("recording");
    case Kind::askRecording:
        return QStringLiteral("askRecording");
    case Kind::processing:
        return QStringLiteral("processing");
    case Kind::done:
        return QStringLiteral("done");
    case Kind::signInRequired:
        return QStringLiteral("signInRequired");
    }
    return {};
}

} // namespace dravelin
