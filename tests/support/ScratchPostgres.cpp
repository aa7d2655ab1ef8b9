#include "support/ScratchPostgres.h"

#include <QFile>
#include <QUrl>
#include <QUuid>

#include <libpq-fe.h>

namespace dravelin::test {

namespace {

constexpr const char *kVariable = "DRAVELIN_TEST_POSTGRES";

// Runs one statement on a connection of its own; the error, or empty.
QString runStatement(const QString &connection, const QString &sql)
{
    PGconn *conn = PQconnectdb(connection.toUtf8().constData());
    QString error;
    if (PQstatus(conn) != CONNECTION_OK) {
        error = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
    } else {
        PQsetNoticeProcessor(
            conn, [](void *, const char *) {}, nullptr); // "drop cascades to …"
        PGresult *result = PQexec(conn, sql.toUtf8().constData());
        if (PQresultStatus(result) != PGRES_COMMAND_OK && PQresultStatus(result) != PGRES_TUPLES_OK)
            error = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
        PQclear(result);
    }
    PQfinish(conn);
    return error;
}

} // namespace

bool ScratchPostgres::configured()
{
    return !qEnvironmentVariableIsEmpty(kVariable);
}

ScratchPostgres::ScratchPostgres()
{
    if (!configured())
        return;
    m_base = qEnvironmentVariable(kVariable);
    m_schema = QStringLiteral("test_") + QUuid::createUuid().toString(QUuid::Id128);
    if (const QString error = runStatement(m_base, QStringLiteral("CREATE SCHEMA %1").arg(m_schema));
        !error.isEmpty()) {
        m_error = QStringLiteral("cannot create a schema in %1: %2").arg(m_base, error);
        m_schema.clear();
        return;
    }
    const QString options = QStringLiteral("-csearch_path=%1").arg(m_schema);
    if (m_base.startsWith(u"postgres://") || m_base.startsWith(u"postgresql://"))
        m_connection = m_base + (m_base.contains(u'?') ? u'&' : u'?') + QStringLiteral("options=") +
                       QString::fromLatin1(QUrl::toPercentEncoding(options));
    else
        m_connection = m_base + QStringLiteral(" options='%1'").arg(options);
}

QString ScratchPostgres::execute(const QString &sql) const
{
    return runStatement(m_connection, sql);
}

ScratchPostgres::~ScratchPostgres()
{
    if (!m_schema.isEmpty())
        runStatement(m_base, QStringLiteral("DROP SCHEMA %1 CASCADE").arg(m_schema));
}

QString ScratchPostgres::writeSigningKey(const QString &dir)
{
    const QString path = dir + QStringLiteral("/shared-signing.key");
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(48, 'k'));
    return path;
}

} // namespace dravelin::test
