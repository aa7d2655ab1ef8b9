#pragma once

#include "ServerConfig.h"
#include "core/Expected.h"
#include "storage/Storage.h"

#include <memory>

namespace dravelin::server {

// The database the config names, opened and migrated: PostgreSQL when
// `database` is set, otherwise the SQLite file in `dataDir` (the default data
// directory when that is empty).
Expected<std::unique_ptr<Storage>, QString> openStorage(const ServerConfig &config);

} // namespace dravelin::server
