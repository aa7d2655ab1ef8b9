#include "http/HttpMessage.h"

#include "core/Json.h"

namespace dravelin::server {

QByteArray HttpRequest::header(const QByteArray &name) const
{
    const QByteArray lower = name.toLower();
    for (const auto &[key, value] : headers) {
        if (key == lower)
            return value;
    }
    return {};
}

QByteArray HttpRequest::bearerToken() const
{
    const QByteArray value = header("authorization").trimmed();
    if (value.size() < 7 || value.left(7).toLower() != "bearer ")
        return {};
    return value.mid(7).trimmed();
}

bool HttpRequest::wantsClose() const
{
    bool close = false;
    bool keepAlive = false;
    for (const auto &[key, value] : headers) {
        if (key != "connection")
            continue;
        for (const QByteArray &option : value.toLower().split(',')) {
            close = close || option.trimmed() == "close";
            keepAlive = keepAlive || option.trimmed() == "keep-alive";
        }
    }
    return close || (version == "HTTP/1.0" && !keepAlive);
}

HttpResponse HttpResponse::json(int status, const QByteArray &body)
{
    return {status, {{"Content-Type", "application/json"}}, body};
}

HttpResponse HttpResponse::error(int status, const QString &message)
{
    json::Json j;
    j["error"] = message;
    return json(status, json::encode(j));
}

HttpResponse HttpResponse::html(int status, const QByteArray &page)
{
    return {status,
            {{"Content-Type", "text/html; charset=utf-8"},
             {"Cache-Control", "no-store"},
             {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'"},
             {"X-Content-Type-Options", "nosniff"}},
            page};
}

HttpResponse HttpResponse::redirect(const QByteArray &location)
{
    return {302, {{"Location", location}, {"Cache-Control", "no-store"}}, {}};
}

HttpResponse HttpResponse::empty(int status)
{
    return {status, {}, {}};
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 417:
        return "Expectation Failed";
    case 422:
        return "Unprocessable Entity";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

} // namespace dravelin::server
