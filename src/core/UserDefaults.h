#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <set>
#include <variant>

namespace dravelin {

// One typed settings value.
using DefaultsValue = std::variant<bool, qint64, double, QString, QStringList, QByteArray>;

// The standard user-defaults store: dotted keys with typed values, registered
// defaults that reads fall back to, and a change signal. Every change is written
// at once, atomically (write to a temporary file, then rename), to a JSON file.
//
// Main-thread only.
class UserDefaults final : public QObject
{
    Q_OBJECT
public:
    // The store kept in `filePath`. A missing file is an empty store; an
    // unreadable or corrupt one is kept aside as "<file>.corrupt" and replaced.
    explicit UserDefaults(QString filePath, QObject *parent = nullptr);

    // The settings file of the user: $XDG_CONFIG_HOME/dravelin/settings.json.
    static QString standardFilePath();

    QString filePath() const { return m_filePath; }

    // Values used when a key has no stored value. Registering never writes.
    void registerDefaults(const std::map<QString, DefaultsValue> &defaults);

    // The stored value, else the registered default, else nothing.
    std::optional<DefaultsValue> value(const QString &key) const;
    // Whether a value is stored (registered defaults do not count).
    bool contains(const QString &key) const;

    // Typed reads. A value of another type reads as absent (the fallback).
    bool boolValue(const QString &key, bool fallback = false) const;
    qint64 integer(const QString &key, qint64 fallback = 0) const;
    double doubleValue(const QString &key, double fallback = 0) const;
    std::optional<QString> string(const QString &key) const;
    std::optional<QStringList> stringArray(const QString &key) const;
    std::optional<QByteArray> data(const QString &key) const;

    void set(const QString &key, DefaultsValue value);
    void remove(const QString &key);

    // False when the last write could not be saved (the value is still held
    // in memory and the write is retried with the next change).
    bool lastWriteSucceeded() const { return m_lastWriteOk; }

    // A settings file that could not be read is moved aside (and the store
    // starts from defaults): where it went and why.
    struct SetAside
    {
        QString path;
        QString reason;
    };
    const std::optional<SetAside> &setAside() const { return m_setAside; }

Q_SIGNALS:
    void changed(const QString &key);

private:
    template <typename T>
    std::optional<T> read(const QString &key, const char *expected) const;
    void load();
    void save();

    QString m_filePath;
    std::map<QString, DefaultsValue> m_values;
    std::map<QString, DefaultsValue> m_defaults;
    bool m_lastWriteOk = true;
    mutable std::set<QString> m_warnedKeys;
    std::optional<SetAside> m_setAside;
};

} // namespace dravelin
