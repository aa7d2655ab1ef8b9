#include "rest/VocabularyRoutes.h"

#include "auth/AuthRoutes.h"
#include "core/Json.h"
#include "core/Log.h"

#include <QDateTime>
#include <QUuid>

#include <algorithm>

namespace dravelin::server {

namespace {

const QString kPath = QStringLiteral("/rest/v1/vocabulary_terms");
const QStringList kColumns{QStringLiteral("id"),          QStringLiteral("user_id"),     QStringLiteral("term"),
                           QStringLiteral("replacement"), QStringLiteral("is_favorite"), QStringLiteral("created_at")};

// The PostgREST error body.
HttpResponse restError(int status, const QString &code, const QString &message,
                       const std::optional<QString> &details = std::nullopt,
                       const std::optional<QString> &hint = std::nullopt)
{
    json::Json body;
    body["code"] = code;
    body["details"] = details ? json::Json(*details) : json::Json(nullptr);
    body["hint"] = hint ? json::Json(*hint) : json::Json(nullptr);
    body["message"] = message;
    return HttpResponse::json(status, json::encode(body));
}

HttpResponse noSuchColumn(const QString &column)
{
    return restError(400, QStringLiteral("42703"),
                     QStringLiteral("column vocabulary_terms.%1 does not exist").arg(column));
}

HttpResponse invalidInput(const QString &type, const QString &value)
{
    return restError(400, QStringLiteral("22P02"),
                     QStringLiteral("invalid input syntax for type %1: \"%2\"").arg(type, value));
}

HttpResponse rowLevelSecurity()
{
    return restError(403, QStringLiteral("42501"),
                     QStringLiteral("new row violates row-level security policy for table \"vocabulary_terms\""));
}

std::optional<QString> canonicalUuid(const QString &text)
{
    const QUuid id = QUuid::fromString(text);
    if (id.isNull())
        return std::nullopt;
    return id.toString(QUuid::WithoutBraces);
}

std::optional<bool> parseBool(const QString &text)
{
    const QString t = text.toLower();
    if (t == u"true" || t == u"t")
        return true;
    if (t == u"false" || t == u"f")
        return false;
    return std::nullopt;
}

std::optional<qint64> parseTimestamp(const QString &text)
{
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        return std::nullopt;
    return t.toMSecsSinceEpoch() * 1000;
}

// One cell, as the row's JSON holds it.
json::Json cell(const VocabularyTermRow &row, const QString &column)
{
    if (column == u"id")
        return row.id;
    if (column == u"user_id")
        return row.userId;
    if (column == u"term")
        return row.term;
    if (column == u"replacement")
        return row.replacement ? json::Json(*row.replacement) : json::Json(nullptr);
    if (column == u"is_favorite")
        return row.isFavorite;
    return postgrestTimestamp(row.createdAtUs);
}

enum class Operator {
    eq,
    neq,
    is,
    in
};

struct Filter
{
    QString column;
    Operator op = Operator::eq;
    bool negated = false;
    QStringList values; // one, except for `in`
};

struct Order
{
    QString column;
    bool descending = false;
    bool nullsFirst = false;
};

struct Query
{
    QStringList select = kColumns;
    std::vector<Filter> filters;
    std::vector<Order> order;
    std::optional<qsizetype> limit;
    qsizetype offset = 0;
};

// Whether `row` holds `value` (given as query text) in `column`; the error
// response when the text is no value of that column's type.
Expected<bool, HttpResponse> cellEquals(const VocabularyTermRow &row, const QString &column, const QString &value)
{
    if (column == u"id" || column == u"user_id") {
        const auto id = canonicalUuid(value);
        if (!id)
            return Unexpected{invalidInput(QStringLiteral("uuid"), value)};
        return (column == u"id" ? row.id : row.userId) == *id;
    }
    if (column == u"is_favorite") {
        const auto b = parseBool(value);
        if (!b)
            return Unexpected{invalidInput(QStringLiteral("boolean"), value)};
        return row.isFavorite == *b;
    }
    if (column == u"created_at") {
        const auto t = parseTimestamp(value);
        if (!t)
            return Unexpected{invalidInput(QStringLiteral("timestamp with time zone"), value)};
        return row.createdAtUs / 1000 == *t / 1000;
    }
    if (column == u"replacement")
        return row.replacement == value;
    return row.term == value;
}

Expected<bool, HttpResponse> matches(const VocabularyTermRow &row, const Filter &filter)
{
    bool result = false;
    switch (filter.op) {
    case Operator::eq:
    case Operator::neq: {
        // SQL semantics: a comparison with null is never true.
        if (filter.column == u"replacement" && !row.replacement)
            return false;
        const auto equal = cellEquals(row, filter.column, filter.values.front());
        if (!equal)
            return Unexpected{equal.error()};
        result = filter.op == Operator::eq ? *equal : !*equal;
        break;
    }
    case Operator::is: {
        const QString v = filter.values.front().toLower();
        if (v == u"null")
            result = filter.column == u"replacement" && !row.replacement;
        else if (v == u"true" || v == u"false") {
            if (filter.column != u"is_favorite")
                return Unexpected{invalidInput(QStringLiteral("boolean"), filter.values.front())};
            result = row.isFavorite == (v == u"true");
        } else
            return Unexpected{restError(
                400, QStringLiteral("PGRST100"),
                QStringLiteral("\"failed to parse filter (is.%1)\"").arg(filter.values.front()),
                QStringLiteral("unexpected \"%1\" expecting null or trilean value").arg(filter.values.front()))};
        break;
    }
    case Operator::in:
        if (filter.column == u"replacement" && !row.replacement)
            return false;
        for (const QString &value : filter.values) {
            const auto equal = cellEquals(row, filter.column, value);
            if (!equal)
                return Unexpected{equal.error()};
            result = result || *equal;
        }
        break;
    }
    return filter.negated ? !result : result;
}

Expected<Filter, HttpResponse> parseFilter(const QString &column, const QString &text)
{
    auto failed = [&] {
        return Unexpected{restError(400, QStringLiteral("PGRST100"),
                                    QStringLiteral("\"failed to parse filter (%1)\"").arg(text),
                                    QStringLiteral("unknown operator or malformed value"))};
    };
    Filter filter{column, Operator::eq, false, {}};
    QString rest = text;
    if (rest.startsWith(u"not.")) {
        filter.negated = true;
        rest = rest.mid(4);
    }
    const qsizetype dot = rest.indexOf(u'.');
    if (dot < 0)
        return failed();
    const QString op = rest.left(dot);
    const QString value = rest.mid(dot + 1);
    if (op == u"eq" || op == u"neq" || op == u"is") {
        filter.op = op == u"eq" ? Operator::eq : op == u"neq" ? Operator::neq : Operator::is;
        filter.values << value;
        return filter;
    }
    if (op == u"in") {
        if (!value.startsWith(u'(') || !value.endsWith(u')') || value.size() < 2)
            return failed();
        filter.op = Operator::in;
        for (QString item : value.mid(1, value.size() - 2).split(u',', Qt::SkipEmptyParts)) {
            item = item.trimmed();
            if (item.size() >= 2 && item.startsWith(u'"') && item.endsWith(u'"'))
                item = item.mid(1, item.size() - 2);
            filter.values << item;
        }
        return filter;
    }
    return failed();
}

Expected<std::vector<Order>, HttpResponse> parseOrder(const QString &text)
{
    std::vector<Order> order;
    for (const QString &term : text.split(u',', Qt::SkipEmptyParts)) {
        const QStringList parts = term.trimmed().split(u'.');
        if (!kColumns.contains(parts.front()))
            return Unexpected{noSuchColumn(parts.front())};
        Order o{parts.front(), false, false};
        bool nullsGiven = false;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            if (parts[i] == u"asc" || parts[i] == u"desc")
                o.descending = parts[i] == u"desc";
            else if (parts[i] == u"nullsfirst" || parts[i] == u"nullslast") {
                o.nullsFirst = parts[i] == u"nullsfirst";
                nullsGiven = true;
            } else
                return Unexpected{restError(400, QStringLiteral("PGRST100"),
                                            QStringLiteral("\"failed to parse order (%1)\"").arg(text),
                                            QStringLiteral("unexpected \"%1\"").arg(parts[i]))};
        }
        if (!nullsGiven)
            o.nullsFirst = o.descending; // as the database sorts
        order.push_back(o);
    }
    return order;
}

Expected<Query, HttpResponse> parseQuery(const QUrlQuery &url)
{
    Query query;
    for (const auto &[key, value] : url.queryItems(QUrl::FullyDecoded)) {
        if (key == u"select") {
            if (value.trimmed() == u"*" || value.trimmed().isEmpty())
                continue;
            query.select.clear();
            for (const QString &column : value.split(u',', Qt::SkipEmptyParts)) {
                const QString c = column.trimmed();
                if (c == u"*") {
                    query.select << kColumns;
                    continue;
                }
                if (!kColumns.contains(c))
                    return Unexpected{noSuchColumn(c)};
                query.select << c;
            }
        } else if (key == u"order") {
            auto order = parseOrder(value);
            if (!order)
                return Unexpected{order.error()};
            query.order = std::move(order.value());
        } else if (key == u"limit" || key == u"offset") {
            bool ok = false;
            const qsizetype n = value.toLongLong(&ok);
            if (!ok || n < 0)
                return Unexpected{restError(400, QStringLiteral("PGRST100"),
                                            QStringLiteral("\"failed to parse %1 (%2)\"").arg(key, value))};
            if (key == u"limit")
                query.limit = n;
            else
                query.offset = n;
        } else if (key == u"columns" || key == u"on_conflict" || key == u"and" || key == u"or") {
            return Unexpected{
                restError(400, QStringLiteral("PGRST100"), QStringLiteral("\"%1\" is not supported here").arg(key))};
        } else {
            if (!kColumns.contains(key))
                return Unexpected{noSuchColumn(key)};
            auto filter = parseFilter(key, value);
            if (!filter)
                return Unexpected{filter.error()};
            query.filters.push_back(std::move(filter.value()));
        }
    }
    return query;
}

// Negative, zero or positive as `a` sorts before, with or after `b` in `order`.
int compareRows(const VocabularyTermRow &a, const VocabularyTermRow &b, const Order &order)
{
    int c = 0;
    if (order.column == u"replacement" && (!a.replacement || !b.replacement)) {
        if (!a.replacement && !b.replacement)
            return 0;
        const int nullSide = order.nullsFirst ? -1 : 1;
        return !a.replacement ? nullSide : -nullSide;
    }
    if (order.column == u"id")
        c = QString::compare(a.id, b.id);
    else if (order.column == u"user_id")
        c = QString::compare(a.userId, b.userId);
    else if (order.column == u"term")
        c = QString::compare(a.term, b.term);
    else if (order.column == u"replacement")
        c = QString::compare(*a.replacement, *b.replacement);
    else if (order.column == u"is_favorite")
        c = int(a.isFavorite) - int(b.isFavorite);
    else
        c = a.createdAtUs < b.createdAtUs ? -1 : a.createdAtUs > b.createdAtUs ? 1 : 0;
    return order.descending ? -c : c;
}

// The user's rows that every filter matches, oldest first.
Expected<std::vector<VocabularyTermRow>, HttpResponse> matching(Storage &storage, const QString &userId,
                                                                const std::vector<Filter> &filters)
{
    std::vector<VocabularyTermRow> rows;
    for (auto &row : storage.vocabularyTerms(userId)) {
        bool keep = true;
        for (const Filter &filter : filters) {
            const auto m = matches(row, filter);
            if (!m)
                return Unexpected{m.error()};
            keep = keep && *m;
        }
        if (keep)
            rows.push_back(std::move(row));
    }
    return rows;
}

QByteArray rowsJson(const std::vector<VocabularyTermRow> &rows, const QStringList &columns)
{
    json::Json array = json::Json::array();
    for (const auto &row : rows) {
        json::Json object = json::Json::object();
        for (const QString &column : columns)
            object[column.toStdString()] = cell(row, column);
        array.push_back(std::move(object));
    }
    return json::encode(array);
}

bool wantsRepresentation(const HttpRequest &request)
{
    for (const QByteArray &part : request.header("prefer").split(',')) {
        if (part.trimmed() == "return=representation")
            return true;
    }
    return false;
}

Expected<json::Json, HttpResponse> parseBody(const HttpRequest &request)
{
    if (request.body.size() > VocabularyRoutes::kMaxBodyBytes)
        return Unexpected{
            restError(413, QStringLiteral("PGRST413"), QStringLiteral("Payload too large"),
                      QStringLiteral("a request body is at most %1 bytes").arg(VocabularyRoutes::kMaxBodyBytes))};
    auto body = json::parse(request.body);
    if (!body)
        return Unexpected{
            restError(400, QStringLiteral("PGRST102"), QStringLiteral("Empty or invalid json"), body.error().message)};
    return std::move(body.value());
}

// Applies the writable columns of `object` to `row`; `inserting` allows
// `id` and `created_at`.
std::optional<HttpResponse> applyColumns(VocabularyTermRow &row, const json::Json &object, const QString &userId,
                                         bool inserting)
{
    for (const auto &[key, value] : object.items()) {
        const QString column = QString::fromStdString(key);
        if (!kColumns.contains(column))
            return restError(
                400, QStringLiteral("PGRST204"),
                QStringLiteral("Could not find the '%1' column of 'vocabulary_terms' in the schema cache").arg(column));
        const QString text = value.is_string() ? value.get<QString>() : QString::fromUtf8(json::encode(value));
        if (column == u"user_id") {
            const auto id = value.is_string() ? canonicalUuid(text) : std::nullopt;
            if (!id)
                return invalidInput(QStringLiteral("uuid"), text);
            if (*id != userId)
                return rowLevelSecurity();
        } else if (column == u"id") {
            const auto id = value.is_string() ? canonicalUuid(text) : std::nullopt;
            if (!id)
                return invalidInput(QStringLiteral("uuid"), text);
            if (!inserting && *id != row.id)
                return restError(400, QStringLiteral("42501"), QStringLiteral("the id of a row cannot be changed"));
            row.id = *id;
        } else if (column == u"created_at") {
            const auto t = value.is_string() ? parseTimestamp(text) : std::nullopt;
            if (!t)
                return invalidInput(QStringLiteral("timestamp with time zone"), text);
            if (!inserting)
                return restError(400, QStringLiteral("42501"), QStringLiteral("created_at cannot be changed"));
            row.createdAtUs = *t;
        } else if (column == u"is_favorite") {
            if (!value.is_boolean())
                return invalidInput(QStringLiteral("boolean"), text);
            row.isFavorite = value.get<bool>();
        } else if (column == u"term") {
            if (value.is_null())
                return restError(
                    400, QStringLiteral("23502"),
                    QStringLiteral(
                        "null value in column \"term\" of relation \"vocabulary_terms\" violates not-null constraint"));
            if (!value.is_string())
                return invalidInput(QStringLiteral("text"), text);
            row.term = text;
        } else { // replacement
            if (value.is_null())
                row.replacement.reset();
            else if (!value.is_string())
                return invalidInput(QStringLiteral("text"), text);
            else
                row.replacement = text;
        }
    }
    if (row.term.trimmed().isEmpty() || row.term.size() > VocabularyRoutes::kMaxTermLength ||
        (row.replacement && row.replacement->size() > VocabularyRoutes::kMaxReplacementLength))
        return restError(400, QStringLiteral("23514"),
                         QStringLiteral("new row for relation \"vocabulary_terms\" violates check constraint"),
                         QStringLiteral("a term is 1 to %1 characters and not blank, a replacement at most %2")
                             .arg(VocabularyRoutes::kMaxTermLength)
                             .arg(VocabularyRoutes::kMaxReplacementLength));
    return std::nullopt;
}

} // namespace

QString postgrestTimestamp(qint64 microsSinceEpoch)
{
    const qint64 seconds = microsSinceEpoch >= 0 ? microsSinceEpoch / 1000000 : (microsSinceEpoch - 999999) / 1000000;
    const qint64 fraction = microsSinceEpoch - seconds * 1000000;
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           QStringLiteral(".%1+00:00").arg(fraction, 6, 10, QLatin1Char('0'));
}

VocabularyRoutes::VocabularyRoutes(Storage &storage, AuthRoutes &auth, Scheduler &scheduler)
    : m_storage(storage)
    , m_auth(auth)
    , m_scheduler(scheduler)
{}

void VocabularyRoutes::install(Router &router)
{
    auto sync = [](auto member, VocabularyRoutes *self) {
        return [member, self](HttpRequest request) -> QCoro::Task<HttpResponse> { co_return (self->*member)(request); };
    };
    router.add("GET", kPath, sync(&VocabularyRoutes::select, this));
    router.add("POST", kPath, sync(&VocabularyRoutes::insert, this));
    router.add("PATCH", kPath, sync(&VocabularyRoutes::update, this));
    router.add("DELETE", kPath, sync(&VocabularyRoutes::remove, this));
}

Expected<User, HttpResponse> VocabularyRoutes::caller(const HttpRequest &request)
{
    if (auto refused = m_auth.refuseWithoutApiKey(request))
        return Unexpected{std::move(*refused)};
    auto user = m_auth.authenticate(request);
    if (!user)
        return Unexpected{restError(401, QStringLiteral("PGRST301"), user.error())};
    return std::move(user.value());
}

HttpResponse VocabularyRoutes::select(const HttpRequest &request)
{
    const auto user = caller(request);
    if (!user)
        return user.error();
    const auto query = parseQuery(request.query);
    if (!query)
        return query.error();
    auto rows = matching(m_storage, user->id, query->filters);
    if (!rows)
        return rows.error();
    std::stable_sort(rows->begin(), rows->end(), [&](const auto &a, const auto &b) {
        for (const Order &o : query->order) {
            if (const int c = compareRows(a, b, o))
                return c < 0;
        }
        return false;
    });
    const auto first = std::min<qsizetype>(query->offset, static_cast<qsizetype>(rows->size()));
    const auto end = query->limit ? std::min<qsizetype>(first + *query->limit, static_cast<qsizetype>(rows->size()))
                                  : static_cast<qsizetype>(rows->size());
    const std::vector<VocabularyTermRow> page(rows->begin() + first, rows->begin() + end);
    HttpResponse response = HttpResponse::json(200, rowsJson(page, query->select));
    response.headers.append(
        {"Content-Range",
         page.empty() ? QByteArray("*/*") : QByteArray::number(first) + '-' + QByteArray::number(end - 1) + "/*"});
    return response;
}

HttpResponse VocabularyRoutes::insert(const HttpRequest &request)
{
    const auto user = caller(request);
    if (!user)
        return user.error();
    const auto query = parseQuery(request.query);
    if (!query)
        return query.error();
    const auto body = parseBody(request);
    if (!body)
        return body.error();
    json::Json objects = body->is_array() ? *body : json::Json::array({*body});
    if (objects.size() > static_cast<size_t>(kMaxRowsPerInsert))
        return restError(413, QStringLiteral("PGRST413"),
                         QStringLiteral("At most %1 rows can be inserted at once").arg(kMaxRowsPerInsert));
    if (m_storage.vocabularyTermCount(user->id) + static_cast<int>(objects.size()) > kMaxTermsPerUser)
        return restError(400, QStringLiteral("54000"),
                         QStringLiteral("A vocabulary holds at most %1 terms").arg(kMaxTermsPerUser));
    const qint64 now = m_scheduler.wallNow().toMSecsSinceEpoch() * 1000;
    std::vector<VocabularyTermRow> rows;
    for (const auto &object : objects) {
        if (!object.is_object())
            return restError(400, QStringLiteral("PGRST102"), QStringLiteral("All object keys must match"),
                             QStringLiteral("each row is a JSON object"));
        VocabularyTermRow row{
            QUuid::createUuid().toString(QUuid::WithoutBraces), user->id, {}, std::nullopt, false, now};
        if (!object.contains("term"))
            return restError(
                400, QStringLiteral("23502"),
                QStringLiteral(
                    "null value in column \"term\" of relation \"vocabulary_terms\" violates not-null constraint"));
        if (auto refused = applyColumns(row, object, user->id, true))
            return *refused;
        rows.push_back(std::move(row));
    }
    if (m_storage.insertVocabularyTerms(rows) == VocabularyWriteResult::duplicateId)
        return restError(409, QStringLiteral("23505"),
                         QStringLiteral("duplicate key value violates unique constraint \"vocabulary_terms_pkey\""));
    logs::info(logs::vocabulary(), QStringLiteral("Stored %1 vocabulary term(s)").arg(rows.size()));
    if (!wantsRepresentation(request))
        return HttpResponse::empty(201);
    return HttpResponse::json(201, rowsJson(rows, query->select));
}

HttpResponse VocabularyRoutes::update(const HttpRequest &request)
{
    const auto user = caller(request);
    if (!user)
        return user.error();
    const auto query = parseQuery(request.query);
    if (!query)
        return query.error();
    if (query->filters.empty())
        return restError(400, QStringLiteral("21000"), QStringLiteral("UPDATE requires a WHERE clause"));
    const auto body = parseBody(request);
    if (!body)
        return body.error();
    if (!body->is_object())
        return restError(400, QStringLiteral("PGRST102"), QStringLiteral("Empty or invalid json"),
                         QStringLiteral("an update is one JSON object"));
    auto rows = matching(m_storage, user->id, query->filters);
    if (!rows)
        return rows.error();
    for (auto &row : *rows) {
        if (auto refused = applyColumns(row, *body, user->id, false))
            return *refused;
    }
    m_storage.updateVocabularyTerms(*rows);
    if (!wantsRepresentation(request))
        return HttpResponse::empty(204);
    return HttpResponse::json(200, rowsJson(*rows, query->select));
}

HttpResponse VocabularyRoutes::remove(const HttpRequest &request)
{
    const auto user = caller(request);
    if (!user)
        return user.error();
    const auto query = parseQuery(request.query);
    if (!query)
        return query.error();
    if (query->filters.empty())
        return restError(400, QStringLiteral("21000"), QStringLiteral("DELETE requires a WHERE clause"));
    const auto rows = matching(m_storage, user->id, query->filters);
    if (!rows)
        return rows.error();
    QStringList ids;
    for (const auto &row : *rows)
        ids << row.id;
    m_storage.deleteVocabularyTerms(user->id, ids);
    if (!wantsRepresentation(request))
        return HttpResponse::empty(204);
    return HttpResponse::json(200, rowsJson(*rows, query->select));
}

} // namespace dravelin::server
