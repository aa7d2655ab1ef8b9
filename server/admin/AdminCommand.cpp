#include "admin/AdminCommand.h"

#include "storage/OpenStorage.h"

#include <QDateTime>

#include <cstdio>
#include <limits>

namespace dravelin::server {

namespace {

constexpr int kUsage = 2;

int usage()
{
    std::fprintf(stderr,
                 "usage: dravelin-server [--data-dir DIR | --database URL] admin grant EMAIL | admin revoke EMAIL | "
                 "admin list\n");
    return kUsage;
}

} // namespace

int runAdminCommand(const ServerConfig &config, const QStringList &arguments)
{
    const QString verb = arguments.value(0);
    if (!(verb == u"list" && arguments.size() == 1) &&
        !((verb == u"grant" || verb == u"revoke") && arguments.size() == 2))
        return usage();
    auto storage = openStorage(config);
    if (!storage) {
        std::fprintf(stderr, "dravelin-server: %s\n", qPrintable(storage.error()));
        return 1;
    }
    if (verb == u"list") {
        for (const AdminUserRow &row : (*storage)->adminSnapshot(std::numeric_limits<qint64>::max(), 0).users) {
            if (row.user.role == u"admin")
                std::printf("%s\n", qPrintable(row.user.email));
        }
        return 0;
    }

    const QString email = arguments.at(1).trimmed().toLower();
    if (!email.contains(u'@')) {
        std::fprintf(stderr, "dravelin-server: not an email address: %s\n", qPrintable(arguments.at(1)));
        return kUsage;
    }
    auto user = (*storage)->userByEmail(email);
    if (!user && verb == u"revoke") {
        std::fprintf(stderr, "dravelin-server: no user %s in %s\n", qPrintable(email),
                     qPrintable((*storage)->location()));
        return 1;
    }
    const bool created = !user;
    if (!user)
        user = (*storage)->createUser(email, QDateTime::currentSecsSinceEpoch());
    if (!user) {
        std::fprintf(stderr, "dravelin-server: could not create %s in %s\n", qPrintable(email),
                     qPrintable((*storage)->location()));
        return 1;
    }
    const bool grant = verb == u"grant";
    if (!(*storage)->setUserRole(user->id, grant ? QStringLiteral("admin") : QStringLiteral("authenticated"))) {
        std::fprintf(stderr, "dravelin-server: could not change the role of %s\n", qPrintable(email));
        return 1;
    }
    std::printf("%s%s %s an administrator.\n", created ? "Created " : "", qPrintable(email),
                grant ? "is now" : "is no longer");
    return 0;
}

int runMigrateCommand(const ServerConfig &config)
{
    // Opening applies whatever migrations are missing, under the same lock
    // a starting server takes.
    auto storage = openStorage(config);
    if (!storage) {
        std::fprintf(stderr, "dravelin-server: %s\n", qPrintable(storage.error()));
        return 1;
    }
    std::printf("%s: schema version %d\n", qPrintable((*storage)->location()), (*storage)->schemaVersion());
    return 0;
}

} // namespace dravelin::server
