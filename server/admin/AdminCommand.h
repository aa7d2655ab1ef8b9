#pragma once

#include "ServerConfig.h"

#include <QStringList>

namespace dravelin::server {

// `dravelin-server admin grant|revoke EMAIL` and `admin list`: the operator
// decides who administers the server, straight in its database (safe while
// the server runs). Prints what it did; returns the process exit code
// (0 done, 1 failed, 2 usage error).
int runAdminCommand(const ServerConfig &config, const QStringList &arguments);

} // namespace dravelin::server
