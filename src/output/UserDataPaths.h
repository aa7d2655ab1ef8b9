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

// A user's dictations, recordings and retry queue are readable by their
// owner only, whatever the umask: folders 0700, files 0600, set when they
// are created and tightened when an older one is found.
//
// Creates the missing folders of `path` that way (its existing parents are
// left as they are) and tightens `path` itself; false when it is not a folder
// afterwards.
bool makePrivateFolder(const QString &path);
// Creates `path` empty when it is missing, and tightens it; a program that
// then writes into it (an encoder, a database) keeps that mode. False when it
// is not a file afterwards.
bool makePrivateFile(const QString &path);
// Writes `bytes` to `path` (replacing what was there) as a private file;
// false with the reason in `error`.
bool writePrivateFile(const QString &path, const QByteArray &bytes, QString *error);
QString recordingsDirectory(const QString &userID, const QString &base = root());

} // namespace dravelin::UserDataPaths
