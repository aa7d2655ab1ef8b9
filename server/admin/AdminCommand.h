#pragma once

#include "ServerConfig.h"

#include <QStringList>

namespace dravelin::server {

// `dravelin-server admin grant|revoke EMAIL` and `admin list`: the operator
// decides who administers the server, straight in its database (safe while
// the server runs). Prints what it did; returns the process exit code
// (0 done, 1 failed, 2 usage error).
int runAdminCommand(const ServerConfig &config, const QStringList &arguments);

// `dravelin-server migrate`: brings the configured database's schema up to
// date (nothing to do the second time), prints its version and returns the
// exit code (0 done, 1 failed).
int runMigrateCommand(const ServerConfig &config);

} // namespace dravelin::server
