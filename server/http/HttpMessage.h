#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

namespace dravelin::server {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest
{
    QByteArray method; // "GET", "POST" …
    QByteArray target; // as sent: path and query
    QString path;      // decoded path, without the query
    QUrlQuery query;
    HeaderList headers; // names lower-cased
    QByteArray body;
    QByteArray version = "HTTP/1.1"; // "HTTP/1.1" or "HTTP/1.0"

    // The first header of that (case-insensitive) name, or empty.
    QByteArray header(const QByteArray &name) const;
    // The bearer token of the Authorization header, or empty.
    QByteArray bearerToken() const;
    // Whether the connection ends after the answer: HTTP/1.1 unless the
    // client says "close", HTTP/1.0 unless it says "keep-alive".
    bool wantsClose() const;
};

struct HttpResponse
{
    int status = 200;
    HeaderList headers;
    QByteArray body;

    static HttpResponse json(int status, const QByteArray &body);
    // The functions' error envelope: {"error": message}.
    static HttpResponse error(int status, const QString &message);
    static HttpResponse html(int status, const QByteArray &page);
    static HttpResponse redirect(const QByteArray &location);
    static HttpResponse empty(int status);
};

QByteArray reasonPhrase(int status);

} // namespace dravelin::server
