#pragma once

#include <QString>

namespace dravelin {

struct AudioRecorderError
{
    enum class Kind {
        prepareFailed,    // the encoder could not be set up
        startFailed,      // the engine could not start
        permissionDenied, // microphone access is refused
    };

    Kind kind = Kind::startFailed;
    QString detail; // what went wrong underneath, for the log

    QString description() const
    {
        switch (kind) {
        case Kind::prepareFailed:
            return detail.isEmpty() ? QStringLiteral("Couldn't prepare the audio encoder")
                                    : QStringLiteral("Couldn't prepare the audio encoder: %1").arg(detail);
        case Kind::startFailed:
            return detail.isEmpty() ? QStringLiteral("Couldn't start the microphone")
                                    : QStringLiteral("Couldn't start the microphone: %1").arg(detail);
        case Kind::permissionDenied:
            return QStringLiteral("Microphone access is denied");
        }
        return {};
    }
};

} // namespace dravelin
