#include "storage/OpenStorage.h"

#include "storage/PostgresStorage.h"
#include "storage/SqliteStorage.h"

#include <QDir>

namespace dravelin::server {

Expected<std::unique_ptr<Storage>, QString> openStorage(const ServerConfig &config)
{
    if (!config.database.isEmpty()) {
        auto postgres = PostgresStorage::open(config.database);
        if (!postgres)
            return Unexpected{postgres.error()};
        return std::unique_ptr<Storage>(std::move(postgres.value()));
    }
    const QString dataDir = config.dataDir.isEmpty() ? ServerConfig::defaultDataDir() : config.dataDir;
    if (!QDir().mkpath(dataDir))
        return Unexpected{QStringLiteral("cannot create the data directory %1").arg(dataDir)};
    auto sqlite = SqliteStorage::open(dataDir + QStringLiteral("/dravelin-server.sqlite"));
    if (!sqlite)
        return Unexpected{sqlite.error()};
    return std::unique_ptr<Storage>(std::move(sqlite.value()));
}

} // namespace dravelin::server
