#pragma once

#include "core/Expected.h"

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <vector>

namespace dravelin::server {

// A speech recogniser the server transcribes uploads with.
class SpeechEngine
{
public:
    virtual ~SpeechEngine() = default;
    // Named in every reply's "engine".
    virtual QString name() const = 0;
    // The words in 16 kHz mono audio; `vocabulary` may steer recognition.
    virtual QCoro::Task<Expected<QString, QString>> transcribe(std::vector<float> samples, QStringList vocabulary) = 0;
};

} // namespace dravelin::server
