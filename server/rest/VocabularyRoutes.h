#pragma once

#include "ServerConfig.h"
#include "core/Scheduler.h"
#include "http/Router.h"
#include "storage/Storage.h"

namespace dravelin::server {

class AuthRoutes;

// /rest/v1/vocabulary_terms: the subset of the PostgREST wire conventions the
// app uses on its vocabulary table. GET with `select`, `order`, `limit`,
// `offset` and column filters (`eq`, `neq`, `is`, `in`, each optionally
// negated with `not.`); POST of one row or an array of rows; PATCH and
// DELETE of the rows the filters match. `Prefer: return=representation`
// returns the rows written. Every request needs the public API key and a
// bearer token; a request sees and writes only the token user's own rows
// (another user's rows match no filter, and a row cannot be given to
// someone else). Errors use the PostgREST body {"code", "details", "hint",
// "message"}.
class VocabularyRoutes
{
public:
    VocabularyRoutes(Storage &storage, AuthRoutes &auth, Scheduler &scheduler);

    void install(Router &router);

    // Limits on what one request and one user may hold.
    static constexpr qsizetype kMaxBodyBytes = 256 * 1024;
    static constexpr int kMaxRowsPerInsert = 1000;
    static constexpr int kMaxTermsPerUser = 10000;
    static constexpr qsizetype kMaxTermLength = 200;
    static constexpr qsizetype kMaxReplacementLength = 500;

private:
    HttpResponse select(const HttpRequest &request);
    HttpResponse insert(const HttpRequest &request);
    HttpResponse update(const HttpRequest &request);
    HttpResponse remove(const HttpRequest &request);

    // The token user, or the refusal (missing API key, missing or bad token).
    Expected<User, HttpResponse> caller(const HttpRequest &request);

    Storage &m_storage;
    AuthRoutes &m_auth;
    Scheduler &m_scheduler;
};

// A timestamp as PostgREST writes a timestamptz: six fractional digits and
// the offset, "2026-12-07T05:32:27.123000+00:00".
QString postgrestTimestamp(qint64 microsSinceEpoch);

} // namespace dravelin::server
