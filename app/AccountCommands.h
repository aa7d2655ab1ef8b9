#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace dravelin::cli {

// dravelin-cli's account commands; each returns the process exit code.
int signIn(const std::optional<QString> &consentAs);
int whoAmI();
int signOut();
int transcribeFile(const QString &path, bool streaming, bool cleanup);

} // namespace dravelin::cli
