#pragma once

#include <QByteArray>

// SQL both storage engines send as it stands.
namespace dravelin::server::sql {

// A dictation as the administrators' dashboard lists it, in the column order
// both engines read back.
inline constexpr const char *kAdminTranscriptionColumns =
    "t.id, t.user_id, t.created_at, t.duration_ms, t.engine, t.time_to_text_ms, t.raw_text, t.cleaned_text,"
    " t.audio_path IS NOT NULL, t.quality_category, t.quality_reason, t.quality_source, t.quality_updated_at";

inline QByteArray adminTranscriptionQuery(const char *tail)
{
    return QByteArray("SELECT ") + kAdminTranscriptionColumns + " FROM transcriptions t " + tail;
}

} // namespace dravelin::server::sql
