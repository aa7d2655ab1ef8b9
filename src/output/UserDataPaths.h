#pragma once

#include <QString>

namespace dravelin::UserDataPaths {

// $XDG_DATA_HOME/dravelin
QString root();
// root/users/<sanitized id>/, created on every call (a failure is ignored).
QString userDirectory(const QString &userID, const QString &base = root());
// Letters, digits, "-" and "_" only; "unknown" when nothing is left.
QString sanitize(const QString &userID);
QString clipboardDatabase(const QString &userID, const QString &base = root());
QString recordingsDirectory(const QString &userID, const QString &base = root());

} // namespace dravelin::UserDataPaths
