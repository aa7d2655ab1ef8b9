#pragma once

#include <QString>

namespace dravelin::test {

// A fresh, empty schema in the PostgreSQL database that
// $DRAVELIN_TEST_POSTGRES names (tests/integration/with-postgres.sh sets it),
// dropped again when this goes. Without the variable it does nothing and
// connection() is empty, which leaves a server on SQLite.
class ScratchPostgres
{
public:
    ScratchPostgres();
    ~ScratchPostgres();
    ScratchPostgres(const ScratchPostgres &) = delete;
    ScratchPostgres &operator=(const ScratchPostgres &) = delete;

    static bool configured();
    // Writes a token-signing key into `dir` for a server on a shared database
    // (which never makes one up); its path.
    static QString writeSigningKey(const QString &dir);
    // The connection string with the schema first on the search path.
    QString connection() const { return m_connection; }
    // Why the schema could not be made; empty when it was (or nothing was asked).
    QString error() const { return m_error; }
    // Runs a statement on a connection of its own; the error, or empty.
    QString execute(const QString &sql) const;

private:
    QString m_base;
    QString m_schema;
    QString m_connection;
    QString m_error;
};

} // namespace dravelin::test
