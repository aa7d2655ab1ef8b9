#pragma once

#include "pipeline/DictationRoad.h"
#include "pipeline/PipelineCollaborators.h"
#include "pipeline/Stopwatch.h"

#include <QObject>

#include <qcoro/qcorotask.h>

#include <optional>
#include <utility>
#include <vector>

namespace dravelin {

struct TranscriptionRequest;
struct TranscriptionResponse;

// Delivers finished dictations: picks the road, runs it, and ends in one
// "deliver text" step (paste or show, history, upload, quality) or in one
// outcome (indicator, sound, quality report). Also re-submits the recordings
// waiting in the retry queue.
//
// Every road takes its capture by value; the object holds no per-dictation
// state, so a delivery still running never sees a newer dictation's context.
// Main-thread only.
class DictationDelivery final : public QObject
{
    Q_OBJECT
public:
    explicit DictationDelivery(PipelineCollaborators &collaborators, QObject *parent = nullptr);

    // The last text delivered, for the command line and tests.
    struct Delivery
    {
        QString text;
        bool pasted = false;
        std::vector<std::pair<QString, int>> marks; // the stopwatch
        // With optimistic paste: when the raw text was in the document,
        // counted from the stop (negative: while still recording).
        std::optional<qint64> rawPastedAfterStopMs;
    };
    std::optional<Delivery> lastDelivery;

    QCoro::Task<> deliver(FinishedCapture finished, Stopwatch sw);
    // Ends a dictation that has nothing to deliver.
    void conclude(const DictationOutcome &outcome, const QUuid &recordingID, std::optional<qint64> durationMs,
                  std::optional<QString> engine);
    // Re-submits every queued recording, oldest first, and pastes what comes back.
    QCoro::Task<> retryAllPending();

private:
    // What the recorder and the server said about keeping the recording.
    struct Retention
    {
        bool retain = false;
        std::optional<QUrl> uploadURL;
        std::optional<QString> objectKey;
        void note(bool keep, const std::optional<QString> &url, const std::optional<QString> &key);
        bool allowsUpload() const { return retain && uploadURL && objectKey; }
    };
    // The one step every road ends in once it has text.
    struct TextToDeliver
    {
        QString text;
        std::optional<QString> target; // paste into this application, or wherever the focus is
        std::optional<QString> attribution;
        bool aiProcessed = false;
        QUuid recordingID;
        std::optional<QByteArray> recording; // kept with the history entry
        std::optional<qint64> durationMs;
        Retention retention;
    };

    QCoro::Task<> runCloudRoad(FinishedCapture finished, Retention retention, Stopwatch &sw);
    QCoro::Task<> deliverTranscript(TranscriptionResponse response, TextToDeliver base, Stopwatch &sw);
    // The cloud road answered as a stream: raw text (pasted at once when it
    // can be), then the cleaned text swapped in for it.
    QCoro::Task<> runStreamingTranscribe(TranscriptionRequest request, std::optional<QUuid> savedID, TextToDeliver base,
                                         Stopwatch &sw);
    QCoro::Task<> deliverOnDevice(FinishedCapture finished, Retention retention, Stopwatch &sw);
    QCoro::Task<> deliverLiveText(QString text, FinishedCapture finished, Retention retention, Stopwatch &sw);
    // Remembers delivered text: history, the recording's upload when the
    // server asked to keep it, the quality report. False when the delivery
    // object went away meanwhile.
    QCoro::Task<bool> remember(TextToDeliver delivery);
    // Stopwatch labels for the steps of deliverText; empty ones are not marked.
    struct Marks
    {
        QString afterPaste;
        QString afterHistory;
        QString afterDone;
    };
    // Pastes (or shows) the text, remembers it, uploads the recording when
    // the server asked to keep it, and says "done" when it was pasted.
    // Nothing when the delivery object went away meanwhile; otherwise
    // whether it was pasted.
    QCoro::Task<std::optional<bool>> deliverText(TextToDeliver delivery, Stopwatch &sw, Marks marks);
    QCoro::Task<bool> pasteOrPresent(QString text, std::optional<QString> targetBundleID);
    void report(const QUuid &recordingID, QualityCategory category, QString reason, std::optional<qint64> durationMs,
                std::optional<QString> engine);
    static void logFailure(const BackendError &failure);

    PipelineCollaborators &m_c;
    bool m_retrying = false;
};

} // namespace dravelin
