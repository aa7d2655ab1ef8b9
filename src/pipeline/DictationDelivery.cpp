#include "pipeline/DictationDelivery.h"

#include "account/Authenticating.h"
#include "audio/StreamingDictationRecorder.h"
#include "core/Log.h"
#include "core/UserDefaults.h"
#include "indicator/IndicatorPresenting.h"
#include "output/ClipboardHistoring.h"
#include "output/PasteService.h"
#include "output/Pasting.h"
#include "output/RecordingUploader.h"
#include "platform/Workspace.h"
#include "stt/Transcribing.h"
#include "stt/TranscriptionService.h"
#include "stt/TranscriptionTypes.h"
#include "text/Cleanup.h"
#include "text/CleanupFormatting.h"
#include "text/FillerWordRemover.h"

#include <QFile>
#include <QPointer>

namespace dravelin {

namespace {

std::optional<qint64> rawPastedAfter(const LiveRaw &raw, const Stopwatch &sw)
{
    if (!raw.pastedAt)
        return std::nullopt;
    return (*raw.pastedAt - sw.startedAt()).count();
}

void info(const QString &message)
{
    logs::info(logs::pipeline(), message);
}

void debug(const QString &message)
{
    logs::debug(logs::pipeline(), message);
}

void error(const QString &message)
{
    logs::error(logs::pipeline(), message);
}

} // namespace

void DictationDelivery::Retention::note(bool keep, const std::optional<QString> &url, const std::optional<QString> &key)
{
    if (keep)
        retain = true;
    if (url && key && !key->isEmpty()) {
        const QUrl parsed(*url, QUrl::StrictMode);
        if (parsed.isValid() && !parsed.scheme().isEmpty()) {
            uploadURL = parsed;
            objectKey = key;
        }
    }
}

DictationDelivery::DictationDelivery(PipelineCollaborators &collaborators, QObject *parent)
    : QObject(parent)
    , m_c(collaborators)
{}

QCoro::Task<> DictationDelivery::deliver(FinishedCapture finished, Stopwatch sw)
{
    const DictationCapture &capture = finished.capture;
    Retention retention;
    retention.note(capture.retainRecording, capture.recordingUploadUrl, capture.recordingObjectKey);
    const DictationRoad road = chooseRoad(capture, finished.liveRaw.text);
    debug(QStringLiteral("Delivery road → %1").arg(toString(road)));
    switch (road) {
    case DictationRoad::liveText: {
        QString text = *capture.liveText;
        co_await deliverLiveText(std::move(text), std::move(finished), retention, sw);
        break;
    }
    case DictationRoad::liveRaw: {
        info(QStringLiteral("⏱ final timed out but raw present → pasting raw (no batch re-transcribe)"));
        QString text = *finished.liveRaw.text;
        co_await deliverLiveText(std::move(text), std::move(finished), retention, sw);
        break;
    }
    case DictationRoad::onDevice:
        co_await deliverOnDevice(std::move(finished), retention, sw);
        break;
    case DictationRoad::cloud:
        co_await runCloudRoad(std::move(finished), retention, sw);
        break;
    case DictationRoad::tooShort:
        error(QStringLiteral("Suspiciously short audio (%1 bytes)").arg(capture.audio->size()));
        conclude({DictationOutcome::Kind::tooShort, std::nullopt}, finished.recordingID, capture.durationMs,
                 capture.engine);
        break;
    case DictationRoad::empty:
        error(QStringLiteral("Empty cloud capture"));
        conclude({capture.liveText || capture.onDeviceText ? DictationOutcome::Kind::noSpeech
                                                           : DictationOutcome::Kind::unprocessable,
                  std::nullopt},
                 finished.recordingID, capture.durationMs, capture.engine);
        break;
    }
}

void DictationDelivery::conclude(const DictationOutcome &outcome, const QUuid &recordingID,
                                 std::optional<qint64> durationMs, std::optional<QString> engine)
{
    const OutcomeEffects effects = effectsOf(outcome);
    if (effects.quality)
        report(recordingID, effects.quality->first, effects.quality->second, durationMs, std::move(engine));
    m_c.indicator.present(effects.indicator, std::nullopt);
    if (effects.cue)
        m_c.sounds.play(*effects.cue);
}

void DictationDelivery::logFailure(const BackendError &failure)
{
    switch (failure.kind) {
    case BackendError::Kind::providerFailure:
        error(QStringLiteral("Provider failure: %1").arg(failure.message));
        break;
    case BackendError::Kind::decodingFailed:
    case BackendError::Kind::unexpectedStatus:
        error(QStringLiteral("Server returned unexpected response"));
        break;
    case BackendError::Kind::network:
        error(QStringLiteral("Network: %1").arg(failure.message));
        break;
    case BackendError::Kind::notAuthenticated:
    case BackendError::Kind::unauthorized:
        error(QStringLiteral("Auth error during transcription"));
        break;
    }
}

void DictationDelivery::report(const QUuid &recordingID, QualityCategory category, QString reason,
                               std::optional<qint64> durationMs, std::optional<QString> engine)
{
    if (m_c.quality && !recordingID.isNull())
        m_c.quality->report(recordingID, category, std::move(reason), durationMs, std::move(engine));
}

QCoro::Task<> DictationDelivery::runCloudRoad(FinishedCapture finished, Retention retention, Stopwatch &sw)
{
    QPointer self(this);
    const DictationCapture &capture = finished.capture;
    PendingTranscribing &pending = m_c.pending;
    const auto saved =
        co_await pending.save(*capture.audio, capture.durationMs, finished.attributionBundleID, finished.recordingID);
    if (!self)
        co_return;
    std::optional<QUuid> savedID;
    if (saved)
        savedID = saved->id;
    else
        error(QStringLiteral("Pending save failed: %1").arg(saved.error()));
    sw.mark(QStringLiteral("save_pending"));

    const bool cleanup = CleanupSettings::isEnabled(m_c.defaults);
    const bool optimistic = m_c.defaults.boolValue(QStringLiteral("optimistic.paste"), false);
    const auto frontmost = m_c.workspace.frontmostApplicationID();
    const bool excluded = PasteService::isTerminal(frontmost);
    const bool stream = cleanup && optimistic && !excluded;
    if (cleanup && optimistic && excluded)
        info(QStringLiteral("Streaming disabled for %1 — using single-shot")
                 .arg(frontmost.value_or(QStringLiteral("unknown"))));
    info(QStringLiteral("Cloud transcribe — cleanup=%1 stream=%2")
             .arg(cleanup ? QStringLiteral("on") : QStringLiteral("off"),
                  stream ? QStringLiteral("on") : QStringLiteral("off")));

    TranscriptionRequest request;
    request.audio = *capture.audio;
    request.durationMs = capture.durationMs;
    request.appBundleID = finished.attributionBundleID;
    request.cleanupEnabled = cleanup;
    request.streamCleanup = stream;
    request.fillerWordsEnabled = FillerWordsSettings::isEnabled(m_c.defaults);
    request.fillerWords = FillerWordsSettings::words(m_c.defaults);
    request.clientRecordingId = finished.recordingID;
    request.language = StreamingDictationRecorder::spokenLanguage(m_c.defaults);
    sw.mark(QStringLiteral("request_build"));
    TextToDeliver base;
    base.attribution = finished.attributionBundleID;
    base.recordingID = finished.recordingID;
    base.recording = capture.recording;
    base.durationMs = capture.durationMs;
    base.retention = retention;
    if (stream) {
        co_await runStreamingTranscribe(std::move(request), savedID, std::move(base), sw);
        co_return;
    }

    Transcribing &transcription = m_c.transcription;
    auto response = co_await transcription.transcribe(std::move(request));
    if (!self)
        co_return;
    if (!response) {
        if (savedID)
            co_await pending.recordFailure(*savedID, response.error().description());
        if (!self)
            co_return;
        logFailure(response.error());
        conclude({DictationOutcome::Kind::failed, response.error()}, finished.recordingID, capture.durationMs,
                 std::nullopt);
        sw.mark(QStringLiteral("network_error"));
        info(sw.summary());
        co_return;
    }
    sw.mark(QStringLiteral("network"));
    retention.note(response->retainRecording, response->recordingUploadUrl, response->recordingObjectKey);
    if (savedID)
        co_await pending.remove(*savedID);
    if (!self)
        co_return;
    sw.mark(QStringLiteral("remove_pending"));
    base.retention = retention;
    co_await deliverTranscript(std::move(*response), std::move(base), sw);
}

QCoro::Task<> DictationDelivery::runStreamingTranscribe(TranscriptionRequest request, std::optional<QUuid> savedID,
                                                        TextToDeliver base, Stopwatch &sw)
{
    QPointer self(this);
    const bool cleanupOn = CleanupSettings::isEnabled(m_c.defaults);
    const bool fillers = FillerWordsSettings::isEnabled(m_c.defaults);
    const QStringList fillerList = FillerWordsSettings::words(m_c.defaults);
    const bool keep = m_c.defaults.boolValue(QStringLiteral("copy.toClipboard"), false);
    PendingTranscribing &pending = m_c.pending;
    Pasting &paste = m_c.paste;
    std::unique_ptr<TranscriptionStream> stream = m_c.transcription.transcribeStreaming(std::move(request));
    std::optional<QString> raw;
    bool rawPasted = false;
    std::optional<QString> target;
    std::optional<qint64> rawPastedAt;
    // Once the text is delivered (swapped, kept, or the raw fallback), later
    // events and a failing end of the stream change nothing.
    bool delivered = false;
    // The pending item goes once the server has the text (or said there is none).
    bool pendingDone = !savedID;

    for (;;) {
        auto item = co_await stream->next();
        if (!self)
            co_return;
        if (!item) {
            // Ended without a cleaned event: nothing more is delivered, and a
            // recording whose text never came stays queued for a retry.
            if (!delivered) {
                if (rawPasted)
                    m_c.indicator.present(IndicatorState::done(), std::nullopt);
                else
                    m_c.indicator.present(
                        IndicatorState::error(QStringLiteral("Transcription failed — retry from menu")), std::nullopt);
            }
            info(sw.summary());
            co_return;
        }
        if (delivered) {
            if (!*item)
                info(QStringLiteral("Stream ended with an error after delivery: %1").arg(item->error().description()));
            else
                error(QStringLiteral("Stream event after delivery ignored: %1").arg((*item)->stage));
            continue;
        }
        if (!*item) {
            const TranscriptionError failure = item->error();
            error(QStringLiteral("Stream failed: %1").arg(failure.description()));
            sw.mark(QStringLiteral("stream_error"));
            if (raw) {
                base.text = *raw;
                base.aiProcessed = false;
                bool inDocument = rawPasted;
                if (rawPasted) {
                    info(QStringLiteral("Stream error after raw pasted: %1 — keeping raw").arg(failure.description()));
                } else {
                    info(QStringLiteral("Stream error after raw received: %1 — pasting raw as fallback")
                             .arg(failure.description()));
                    inDocument = co_await pasteOrPresent(*raw, target);
                    if (!self)
                        co_return;
                }
                const bool remembered = co_await remember(base);
                if (!remembered)
                    co_return;
                if (inDocument)
                    m_c.indicator.present(IndicatorState::done(), std::nullopt);
                lastDelivery = Delivery{*raw, inDocument, sw.marks(), rawPastedAt};
            } else {
                if (savedID)
                    co_await pending.recordFailure(*savedID, failure.description());
                if (!self)
                    co_return;
                logFailure(failure);
                conclude({DictationOutcome::Kind::failed, failure}, base.recordingID, base.durationMs, std::nullopt);
            }
            info(sw.summary());
            co_return;
        }
        const TranscriptionStreamEvent event = **item;
        base.retention.note(event.retainRecording, event.recordingUploadUrl, event.recordingObjectKey);
        const auto removePending = [&]() -> bool { return !std::exchange(pendingDone, true); };

        if (event.stage == u"raw") {
            QString text = event.text.value_or(QString()).trimmed();
            if (!cleanupOn && fillers)
                text = FillerWordRemover::remove(text, fillerList);
            if (text.isEmpty()) {
                info(QStringLiteral("Empty raw transcription — showing 'no speech detected'"));
                conclude({DictationOutcome::Kind::noSpeech, std::nullopt}, base.recordingID, base.durationMs,
                         event.engine);
                sw.mark(QStringLiteral("empty_raw"));
                info(sw.summary());
                if (removePending())
                    co_await pending.remove(*savedID);
                co_return;
            }
            raw = text;
            target = m_c.workspace.frontmostApplicationID();
            const EditableFocus focus = co_await paste.focusedEditableTarget(target);
            if (!self)
                co_return;
            if (focus == EditableFocus::notEditable) {
                info(QStringLiteral("Raw transcript held at %1 ms — no editable focus").arg(sw.elapsed()));
                sw.mark(QStringLiteral("raw_held"));
            } else {
                co_await paste.paste(text, target, keep);
                if (!self)
                    co_return;
                rawPasted = true;
                rawPastedAt = sw.elapsed();
                info(QStringLiteral("Raw transcript pasted at %1 ms (%2 chars) — cleaning up in background")
                         .arg(sw.elapsed())
                         .arg(text.size()));
                m_c.indicator.present(IndicatorState::processing(), std::nullopt);
                sw.mark(QStringLiteral("raw_pasted"));
            }
            continue;
        }

        if (event.stage == u"cleaned") {
            if (removePending()) {
                co_await pending.remove(*savedID);
                if (!self)
                    co_return;
            }
            const qint64 arrived = sw.elapsed();
            const QString text = event.text.value_or(QString()).trimmed();
            const bool cleanedFlag = event.cleaned.value_or(raw ? text != *raw : false);
            const std::optional<QString> usable =
                cleanedFlag && !text.isEmpty() ? std::optional<QString>(text) : std::nullopt;
            base.target = target;
            if (rawPasted) {
                if (usable && *usable != *raw) {
                    const bool applied = co_await paste.replacePastedText(*raw, *usable, target, keep);
                    if (!self)
                        co_return;
                    base.text = applied ? *usable : *raw;
                    base.aiProcessed = applied;
                    info(QStringLiteral("Cleaned arrived at %1 ms; swap %2 at %3 ms — final %4 chars")
                             .arg(arrived)
                             .arg(applied ? QStringLiteral("applied") : QStringLiteral("skipped"))
                             .arg(sw.elapsed())
                             .arg(base.text.size()));
                } else {
                    base.text = *raw;
                    base.aiProcessed = true;
                    info(QStringLiteral("Cleaned arrived at %1 ms; identical to raw — keeping raw").arg(arrived));
                }
                const bool remembered = co_await remember(base);
                if (!remembered)
                    co_return;
                m_c.indicator.present(IndicatorState::done(), std::nullopt);
                sw.mark(QStringLiteral("swap_cleaned"));
                info(sw.summary());
                lastDelivery = Delivery{base.text, true, sw.marks(), rawPastedAt};
                delivered = true;
                continue;
            }
            const QString deliver = usable ? *usable : raw ? *raw : text;
            if (deliver.isEmpty()) {
                info(QStringLiteral("Cleaned event had no usable text and no raw paste — nothing to deliver"));
                conclude({DictationOutcome::Kind::noSpeech, std::nullopt}, base.recordingID, base.durationMs,
                         event.engine);
                sw.mark(QStringLiteral("empty_cleaned"));
                info(sw.summary());
                co_return;
            }
            info(QStringLiteral("Cleaned arrived at %1 ms with no prior raw paste — pasting once (%2 chars)")
                     .arg(arrived)
                     .arg(deliver.size()));
            base.text = deliver;
            base.aiProcessed = usable.has_value();
            const auto pasted = co_await deliverText(base, sw, {{}, {}, QStringLiteral("paste_cleaned")});
            if (!self || !pasted)
                co_return;
            info(sw.summary());
            lastDelivery = Delivery{deliver, *pasted, sw.marks(), std::nullopt};
            co_return;
        }

        if (event.stage == u"cleaned-error") {
            error(QStringLiteral("Cleaned-error at %1 ms: %2 — keeping raw text")
                      .arg(sw.elapsed())
                      .arg(event.error.value_or(QStringLiteral("unknown"))));
            if (removePending()) {
                co_await pending.remove(*savedID);
                if (!self)
                    co_return;
            }
            bool inDocument = rawPasted;
            if (raw) {
                if (!rawPasted) {
                    inDocument = co_await pasteOrPresent(*raw, target);
                    if (!self)
                        co_return;
                    rawPasted = inDocument;
                }
                base.text = *raw;
                base.aiProcessed = false;
                const bool remembered = co_await remember(base);
                if (!remembered)
                    co_return;
                lastDelivery = Delivery{*raw, inDocument, sw.marks(), rawPastedAt};
            }
            if (inDocument || !raw)
                m_c.indicator.present(IndicatorState::done(), std::nullopt);
            delivered = true;
            sw.mark(QStringLiteral("cleaned_error"));
            info(sw.summary());
            continue;
        }
        error(QStringLiteral("Unknown stream stage: %1").arg(event.stage));
    }
}

QCoro::Task<> DictationDelivery::deliverTranscript(TranscriptionResponse response, TextToDeliver base, Stopwatch &sw)
{
    QPointer self(this);
    const bool cleanup = CleanupSettings::isEnabled(m_c.defaults);
    QString text = response.text.trimmed();
    if (!cleanup && FillerWordsSettings::isEnabled(m_c.defaults))
        text = FillerWordRemover::remove(text, FillerWordsSettings::words(m_c.defaults));
    if (text.isEmpty()) {
        info(QStringLiteral("Empty transcription — showing 'no speech detected' to user"));
        conclude({DictationOutcome::Kind::noSpeech, std::nullopt}, base.recordingID, base.durationMs, response.engine);
        sw.mark(QStringLiteral("empty_result"));
        info(sw.summary());
        co_return;
    }
    base.text = text;
    base.aiProcessed = cleanup;
    const auto pasted = co_await deliverText(
        std::move(base), sw,
        {QStringLiteral("paste"), QStringLiteral("history_add"), QStringLiteral("indicator_done")});
    if (!self || !pasted)
        co_return;
    info(QStringLiteral("Delivered: %1 chars via %2").arg(text.size()).arg(response.engine));
    info(sw.summary());
    lastDelivery = Delivery{text, *pasted, sw.marks(), std::nullopt};
}

QCoro::Task<> DictationDelivery::deliverOnDevice(FinishedCapture finished, Retention retention, Stopwatch &sw)
{
    QPointer self(this);
    const DictationCapture &capture = finished.capture;
    QString text = capture.onDeviceText->trimmed();
    if (text.isEmpty()) {
        conclude({DictationOutcome::Kind::noSpeech, std::nullopt}, finished.recordingID, capture.durationMs,
                 capture.engine);
        sw.mark(QStringLiteral("empty_on_device"));
        info(sw.summary());
        co_return;
    }
    if (FillerWordsSettings::isEnabled(m_c.defaults))
        text = FillerWordRemover::remove(text, FillerWordsSettings::words(m_c.defaults));
    sw.mark(QStringLiteral("on_device_stt"));
    info(QStringLiteral("On-device transcript ready (%1 chars) via %2").arg(text.size()).arg(capture.engine));

    TextToDeliver delivery;
    delivery.text = text;
    delivery.attribution = finished.attributionBundleID;
    delivery.target =
        finished.attributionBundleID ? finished.attributionBundleID : m_c.workspace.frontmostApplicationID();
    delivery.recordingID = finished.recordingID;
    delivery.recording = capture.recording;
    delivery.durationMs = capture.durationMs;
    delivery.retention = retention;

    QString mark = QStringLiteral("paste");
    if (CleanupSettings::isEnabled(m_c.defaults)) {
        m_c.indicator.present(IndicatorState::processing(), std::nullopt);
        CleanupRequest request;
        request.text = text;
        request.appBundleID = finished.attributionBundleID;
        request.durationMs = capture.durationMs;
        request.fillerWordsEnabled = FillerWordsSettings::isEnabled(m_c.defaults);
        request.fillerWords = FillerWordsSettings::words(m_c.defaults);
        const auto vocabulary = m_c.defaults.stringArray(QStringLiteral("vocabulary.keyterms.active"));
        if (vocabulary && !vocabulary->isEmpty())
            request.vocabulary = *vocabulary;
        request.clientRecordingId = finished.recordingID;
        CleanupFormatting &cleaner = m_c.cleanupFormatter;
        const auto cleaned = co_await cleaner.cleanup(std::move(request));
        if (!self)
            co_return;
        if (cleaned) {
            sw.mark(QStringLiteral("cleanup"));
            delivery.text = cleaned->text;
            delivery.aiProcessed = cleaned->cleaned;
            mark = QStringLiteral("paste_cleaned");
        } else {
            error(QStringLiteral("Cleanup failed (pasting raw text instead): %1").arg(cleaned.error().description()));
            mark = QStringLiteral("cleanup_error_paste_raw");
        }
    }
    const QString delivered = delivery.text;
    const auto pasted = co_await deliverText(std::move(delivery), sw, {{}, {}, mark});
    if (!self || !pasted)
        co_return;
    info(sw.summary());
    lastDelivery = Delivery{delivered, *pasted, sw.marks(), std::nullopt};
}

// The live road: the final text, or the raw text held from the stream. When
// the raw text was pasted at once, the final text replaces it in place.
QCoro::Task<> DictationDelivery::deliverLiveText(QString text, FinishedCapture finished, Retention retention,
                                                 Stopwatch &sw)
{
    QPointer self(this);
    const bool cleanup = CleanupSettings::isEnabled(m_c.defaults);
    // The socket's final text is cleaned when cleanup is on; the raw text
    // used when the final never came is not.
    const bool fromFinal = finished.capture.liveText && !finished.capture.liveText->trimmed().isEmpty();
    QString finalText = text.trimmed();
    if (!cleanup && FillerWordsSettings::isEnabled(m_c.defaults))
        finalText = FillerWordRemover::remove(finalText, FillerWordsSettings::words(m_c.defaults));
    const LiveRaw &raw = finished.liveRaw;
    const QString rawText = raw.text.value_or(QString());
    TextToDeliver delivery;
    delivery.target = raw.target ? raw.target
                                 : (finished.attributionBundleID ? finished.attributionBundleID
                                                                 : m_c.workspace.frontmostApplicationID());
    delivery.attribution = finished.attributionBundleID;
    delivery.recordingID = finished.recordingID;
    delivery.recording = finished.capture.recording;
    delivery.durationMs = finished.capture.durationMs;
    delivery.retention = retention;
    sw.mark(QStringLiteral("live_final"));

    if (finalText.isEmpty()) {
        if (!raw.pasted) {
            info(QStringLiteral("Live cleaned empty and nothing pasted — no speech"));
            conclude({DictationOutcome::Kind::noSpeech, std::nullopt}, finished.recordingID,
                     finished.capture.durationMs, std::nullopt);
            info(sw.summary());
            co_return;
        }
        info(QStringLiteral("Live cleaned empty — keeping optimistically-pasted raw (%1 chars)").arg(rawText.size()));
        delivery.text = rawText;
        const bool remembered = co_await remember(delivery);
        if (!remembered)
            co_return;
        m_c.indicator.present(IndicatorState::done(), std::nullopt);
        info(sw.summary());
        lastDelivery = Delivery{rawText, true, sw.marks(), rawPastedAfter(raw, sw)};
        co_return;
    }

    if (raw.pasted) {
        delivery.text = rawText;
        if (finalText != rawText) {
            const bool keep = m_c.defaults.boolValue(QStringLiteral("copy.toClipboard"), false);
            Pasting &paste = m_c.paste;
            const bool applied = co_await paste.replacePastedText(rawText, finalText, delivery.target, keep);
            if (!self)
                co_return;
            info(QStringLiteral("Live swap %1 — final %2 chars")
                     .arg(applied ? QStringLiteral("applied") : QStringLiteral("skipped"))
                     .arg(finalText.size()));
            if (applied) {
                delivery.text = finalText;
                delivery.aiProcessed = cleanup && fromFinal;
            }
        } else {
            info(QStringLiteral("Live cleaned identical to raw — keeping raw"));
            delivery.aiProcessed = cleanup && fromFinal;
        }
        const QString inDocument = delivery.text;
        const bool remembered = co_await remember(std::move(delivery));
        if (!remembered)
            co_return;
        sw.mark(QStringLiteral("swap_cleaned"));
        m_c.indicator.present(IndicatorState::done(), std::nullopt);
        info(sw.summary());
        lastDelivery = Delivery{inDocument, true, sw.marks(), rawPastedAfter(raw, sw)};
        co_return;
    }

    delivery.text = finalText;
    delivery.aiProcessed = cleanup && fromFinal;
    info(QStringLiteral("⏱ cleaned pasted once (%1 chars) — primary path").arg(finalText.size()));
    const auto pasted = co_await deliverText(std::move(delivery), sw, {{}, {}, QStringLiteral("paste_cleaned")});
    if (!self || !pasted)
        co_return;
    info(sw.summary());
    lastDelivery = Delivery{finalText, *pasted, sw.marks(), std::nullopt};
}

QCoro::Task<std::optional<bool>> DictationDelivery::deliverText(TextToDeliver delivery, Stopwatch &sw, Marks marks)
{
    QPointer self(this);
    const auto mark = [&sw](const QString &label) {
        if (!label.isEmpty())
            sw.mark(label);
    };
    const bool pasted = co_await pasteOrPresent(delivery.text, delivery.target);
    if (!self)
        co_return std::nullopt;
    mark(marks.afterPaste);

    const bool remembered = co_await remember(delivery);
    if (!remembered)
        co_return std::nullopt;
    mark(marks.afterHistory);
    if (pasted)
        m_c.indicator.present(IndicatorState::done(), std::nullopt);
    mark(marks.afterDone);
    co_return pasted;
}

QCoro::Task<bool> DictationDelivery::remember(TextToDeliver delivery)
{
    QPointer self(this);
    // The recording goes up only when the server asked to keep it.
    if (delivery.retention.allowsUpload() && m_c.uploader && delivery.recording && !delivery.recording->isEmpty() &&
        !delivery.recordingID.isNull())
        m_c.uploader->upload(*delivery.recording, delivery.recordingID, *delivery.retention.uploadURL,
                             *delivery.retention.objectKey);
    std::optional<QString> windowName;
    if (const auto app = m_c.workspace.frontmostApplication();
        app && delivery.attribution && app->applicationID == *delivery.attribution && !app->windowTitle.isEmpty())
        windowName = app->windowTitle;
    ClipboardHistoring &history = m_c.history;
    co_await history.add(delivery.text, delivery.attribution, windowName, delivery.aiProcessed, delivery.recording);
    if (!self)
        co_return false;
    if (m_c.quality) {
        const auto [category, reason] = m_c.quality->classifyCompleted(delivery.text, delivery.durationMs);
        if (reason && category != QualityCategory::success)
            report(delivery.recordingID, category, *reason, delivery.durationMs, std::nullopt);
    }
    co_return true;
}

QCoro::Task<bool> DictationDelivery::pasteOrPresent(QString text, std::optional<QString> targetBundleID)
{
    QPointer self(this);
    Pasting &paste = m_c.paste;
    const EditableFocus focus = co_await paste.focusedEditableTarget(targetBundleID);
    if (!self)
        co_return false;
    debug(QStringLiteral("Focus probe → %1").arg(toString(focus)));
    if (focus == EditableFocus::notEditable) {
        info(QStringLiteral("No editable focus — presenting result panel instead of pasting (%1 chars)")
                 .arg(text.size()));
        m_c.indicator.present(IndicatorState::result(text), std::nullopt);
        co_return false;
    }
    const bool keep = m_c.defaults.boolValue(QStringLiteral("copy.toClipboard"), false);
    co_await paste.paste(text, targetBundleID, keep);
    co_return true;
}

QCoro::Task<> DictationDelivery::retryAllPending()
{
    QPointer self(this);
    // Items saved while this runs wait for the next retry; a second request
    // while one runs would send every item twice.
    const QList<PendingItem> snapshot = m_c.pending.items();
    if (snapshot.isEmpty() || m_retrying)
        co_return;
    if (!m_c.auth.isSignedIn()) {
        m_c.indicator.present(IndicatorState::signInRequired(), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::error);
        co_return;
    }
    m_retrying = true;
    struct EndRetry
    {
        QPointer<DictationDelivery> delivery;
        ~EndRetry()
        {
            if (delivery)
                delivery->m_retrying = false;
        }
    } endRetry{self};
    info(QStringLiteral("Retrying %1 pending item(s)").arg(snapshot.size()));
    m_c.indicator.present(IndicatorState::processing(), std::nullopt);
    PendingTranscribing &pending = m_c.pending;
    Transcribing &transcription = m_c.transcription;
    int failed = 0;
    for (const PendingItem &item : snapshot) {
        const auto audio = co_await pending.audio(item);
        if (!self)
            co_return;
        const QString name = item.id.toString(QUuid::WithoutBraces).toUpper();
        if (!audio) {
            info(QStringLiteral("Pending audio missing: %1 — removing").arg(name));
            co_await pending.remove(item.id);
            if (!self)
                co_return;
            continue;
        }
        TranscriptionRequest request;
        request.audio = *audio;
        request.durationMs = item.durationMs;
        request.appBundleID = item.appBundleID;
        request.cleanupEnabled = CleanupSettings::isEnabled(m_c.defaults);
        request.streamCleanup = false;
        request.fillerWordsEnabled = FillerWordsSettings::isEnabled(m_c.defaults);
        request.fillerWords = FillerWordsSettings::words(m_c.defaults);
        request.language = StreamingDictationRecorder::spokenLanguage(m_c.defaults);
        const QUuid recordingID = item.clientRecordingId.value_or(QUuid::createUuid());
        request.clientRecordingId = recordingID;
        const bool aiProcessed = request.cleanupEnabled;
        const auto response = co_await transcription.transcribe(std::move(request));
        if (!self)
            co_return;
        if (!response) {
            co_await pending.recordFailure(item.id, response.error().description());
            if (!self)
                co_return;
            ++failed;
            continue;
        }
        const QString text = response->text.trimmed();
        if (text.isEmpty()) {
            info(QStringLiteral("Retry produced empty transcript; dropping %1").arg(name));
            co_await pending.remove(item.id);
            if (!self)
                co_return;
            continue;
        }
        const bool keep = m_c.defaults.boolValue(QStringLiteral("copy.toClipboard"), false);
        Pasting &paste = m_c.paste;
        co_await paste.paste(text, std::nullopt, keep);
        if (!self)
            co_return;
        Retention retention;
        retention.note(response->retainRecording, response->recordingUploadUrl, response->recordingObjectKey);
        if (retention.allowsUpload() && m_c.uploader)
            m_c.uploader->upload(*audio, recordingID, *retention.uploadURL, *retention.objectKey);
        std::optional<QString> windowName;
        if (const auto app = m_c.workspace.frontmostApplication();
            app && item.appBundleID && app->applicationID == *item.appBundleID && !app->windowTitle.isEmpty())
            windowName = app->windowTitle;
        ClipboardHistoring &history = m_c.history;
        co_await history.add(text, item.appBundleID, windowName, aiProcessed, *audio);
        if (!self)
            co_return;
        if (m_c.quality) {
            const auto [category, reason] = m_c.quality->classifyCompleted(text, item.durationMs);
            if (reason && category != QualityCategory::success)
                report(recordingID, category, *reason, item.durationMs, std::nullopt);
        }
        co_await pending.remove(item.id);
        if (!self)
            co_return;
        info(QStringLiteral("Retry succeeded: %1 (%2 chars)").arg(name).arg(text.size()));
    }
    if (failed == 0) {
        m_c.indicator.present(IndicatorState::done(), std::nullopt);
    } else {
        m_c.indicator.present(IndicatorState::error(QStringLiteral("%1 still failed").arg(failed)), std::nullopt);
        m_c.sounds.play(SoundFeedback::Cue::error);
    }
}

} // namespace dravelin
