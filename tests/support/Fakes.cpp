#include "support/Fakes.h"

namespace dravelin::test {

QCoro::Task<Expected<void, AudioRecorderError>> FakeRecorder::start(std::optional<QString> appBundleID,
                                                                    QUuid clientRecordingId)
{
    ++startCalls;
    lastAppBundleID = std::move(appBundleID);
    lastRecordingID = clientRecordingId;
    if (startLatency > Millis(0))
        co_await m_scheduler.sleep(startLatency);
    if (startError)
        co_return Unexpected{*startError};
    running = true;
    co_return Expected<void, AudioRecorderError>{};
}

QCoro::Task<std::optional<DictationCapture>> FakeRecorder::stopCapture()
{
    ++stopCalls;
    if (stopLatency > Millis(0))
        co_await m_scheduler.sleep(stopLatency);
    running = false;
    co_return std::optional<DictationCapture>(captureToReturn); // a copy: co_return of a member would move it
}

QCoro::Task<> FakeRecorder::cancel()
{
    ++cancelCalls;
    running = false;
    co_return;
}

QCoro::Task<> FakeRecorder::prewarm()
{
    ++prewarmCalls;
    co_return;
}

QCoro::Task<> FakePaste::paste(QString text, std::optional<QString>, bool)
{
    pasted << text;
    co_return;
}

QCoro::Task<bool> FakePaste::replacePastedText(QString raw, QString cleaned, std::optional<QString>, bool)
{
    swaps.append(qMakePair(raw, cleaned));
    co_return swapSucceeds;
}

QCoro::Task<EditableFocus> FakePaste::focusedEditableTarget(std::optional<QString>)
{
    co_return EditableFocus(focus);
}

QCoro::Task<> FakePaste::waitForModifiersToClear()
{
    co_return;
}

} // namespace dravelin::test
