#include "core/UserDefaults.h"

#include "core/Json.h"
#include "core/Log.h"
#include "core/Paths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <nlohmann/json.hpp>

namespace dravelin {

namespace {

using nlohmann::ordered_json;

// Data values are stored as {"data": "<base64>"} so they stay distinct from strings.
constexpr const char *kDataKey = "data";

ordered_json encode(const DefaultsValue &value)
{
    return std::visit(
        [](const auto &v) -> ordered_json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, QString>) {
                return v.toStdString();
            } else if constexpr (std::is_same_v<T, QStringList>) {
                ordered_json array = ordered_json::array();
                for (const QString &s : v)
                    array.push_back(s.toStdString());
                return array;
            } else if constexpr (std::is_same_v<T, QByteArray>) {
                return ordered_json{{kDataKey, v.toBase64().toStdString()}};
            } else {
                return v;
            }
        },
        value);
}

std::optional<DefaultsValue> decode(const ordered_json &json)
{
    switch (json.type()) {
    case ordered_json::value_t::boolean:
        return DefaultsValue(json.get<bool>());
    case ordered_json::value_t::number_integer:
    case ordered_json::value_t::number_unsigned:
        return DefaultsValue(json.get<qint64>());
    case ordered_json::value_t::number_float:
        return DefaultsValue(json.get<double>());
    case ordered_json::value_t::string:
        return DefaultsValue(QString::fromStdString(json.get<std::string>()));
    case ordered_json::value_t::array: {
        QStringList list;
        for (const auto &item : json) {
            if (!item.is_string())
                return std::nullopt;
            list << QString::fromStdString(item.get<std::string>());
        }
        return DefaultsValue(list);
    }
    case ordered_json::value_t::object: {
        auto it = json.find(kDataKey);
        if (json.size() != 1 || it == json.end() || !it->is_string())
            return std::nullopt;
        return DefaultsValue(QByteArray::fromBase64(QByteArray::fromStdString(it->get<std::string>())));
    }
    default:
        return std::nullopt;
    }
}

template <typename T>
std::optional<T> typed(const std::optional<DefaultsValue> &value)
{
    if (value && std::holds_alternative<T>(*value))
        return std::get<T>(*value);
    return std::nullopt;
}

} // namespace

UserDefaults::UserDefaults(QString filePath, QObject *parent) : QObject(parent), m_filePath(std::move(filePath))
{
    load();
}

QString UserDefaults::standardFilePath()
{
    return paths::configDir() + QStringLiteral("/settings.json");
}

void UserDefaults::load()
{
    QFile file(m_filePath);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        logs::error(logs::app(),
                    QStringLiteral("Settings file %1 is unreadable: %2").arg(m_filePath, file.errorString()));
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    QString problem;
    ordered_json document;
    if (auto parsed = json::parse(bytes)) {
        document = std::move(*parsed);
        if (!document.is_object())
            problem = QStringLiteral("not a JSON object");
    } else {
        // "malformed JSON: [json.exception.parse_error.101] parse error at line 2, …" → "parse error at line 2, …"
        problem = parsed.error().message;
        problem.remove(
            QRegularExpression(QStringLiteral("^malformed JSON: |\\[json\\.exception\\.[a-z_]+\\.\\d+\\] ")));
    }
    if (!problem.isEmpty()) {
        // Every broken copy is kept, stamped, so an earlier one is never lost;
        // two in the same millisecond get a counter rather than a collision.
        const QString stamp = m_filePath + QStringLiteral(".corrupt-") +
                              QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
        QString aside = stamp;
        for (int n = 2; QFileInfo::exists(aside); ++n)
            aside = stamp + QStringLiteral("-%1").arg(n);
        if (!QFile::rename(m_filePath, aside)) {
            // Left where it is: the next save replaces it, which is still
            // better than refusing to start; the log says so.
            logs::error(logs::app(), QStringLiteral("Settings file %1 could not be read (%2) and could not be set "
                                                    "aside — starting from defaults")
                                         .arg(m_filePath, problem));
            return;
        }
        m_setAside = SetAside{aside, problem};
        logs::error(logs::app(), QStringLiteral("Settings file %1 could not be read (%2) — set aside as %3, starting "
                                                "from defaults")
                                     .arg(m_filePath, problem, aside));
        return;
    }
    for (const auto &[key, item] : document.items()) {
        if (auto value = decode(item))
            m_values.emplace(QString::fromStdString(key), std::move(*value));
        else
            logs::error(logs::app(), QStringLiteral("Settings file %1: \"%2\" has a value of a type settings do not "
                                                    "take — ignored")
                                         .arg(m_filePath, QString::fromStdString(key)));
    }
}

void UserDefaults::save()
{
    ordered_json json = ordered_json::object();
    for (const auto &[key, value] : m_values)
        json[key.toStdString()] = encode(value);
    const QByteArray bytes = QByteArray::fromStdString(json.dump(2)) + '\n';

    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QSaveFile file(m_filePath);
    m_lastWriteOk = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    if (!m_lastWriteOk)
        logs::error(logs::app(),
                    QStringLiteral("Couldn't save settings to %1: %2").arg(m_filePath, file.errorString()));
}

void UserDefaults::registerDefaults(const std::map<QString, DefaultsValue> &defaults)
{
    for (const auto &[key, value] : defaults)
        m_defaults.insert_or_assign(key, value);
}

std::optional<DefaultsValue> UserDefaults::value(const QString &key) const
{
    if (auto it = m_values.find(key); it != m_values.end())
        return it->second;
    if (auto it = m_defaults.find(key); it != m_defaults.end())
        return it->second;
    return std::nullopt;
}

bool UserDefaults::contains(const QString &key) const
{
    return m_values.count(key) > 0;
}

template <typename T>
std::optional<T> UserDefaults::read(const QString &key, const char *expected) const
{
    const auto v = value(key);
    const auto result = typed<T>(v);
    // A hand-edited file may hold "no" where true/false belongs: the default
    // applies, and the log says so once per key.
    if (v && !result && m_values.count(key) && m_warnedKeys.insert(key).second)
        logs::error(logs::app(), QStringLiteral("Settings: \"%1\" should be %2 — using the default")
                                     .arg(key, QString::fromLatin1(expected)));
    return result;
}

bool UserDefaults::boolValue(const QString &key, bool fallback) const
{
    return read<bool>(key, "true or false").value_or(fallback);
}

qint64 UserDefaults::integer(const QString &key, qint64 fallback) const
{
    return read<qint64>(key, "a whole number").value_or(fallback);
}

double UserDefaults::doubleValue(const QString &key, double fallback) const
{
    if (auto i = typed<qint64>(value(key)))
        return static_cast<double>(*i);
    return read<double>(key, "a number").value_or(fallback);
}

std::optional<QString> UserDefaults::string(const QString &key) const
{
    return read<QString>(key, "a string");
}

std::optional<QStringList> UserDefaults::stringArray(const QString &key) const
{
    return read<QStringList>(key, "a list of strings");
}

std::optional<QByteArray> UserDefaults::data(const QString &key) const
{
    return read<QByteArray>(key, "{\"data\": \"<base64>\"}");
}

void UserDefaults::set(const QString &key, DefaultsValue value)
{
    auto it = m_values.find(key);
    if (it != m_values.end() && it->second == value)
        return;
    m_values.insert_or_assign(key, std::move(value));
    save();
    Q_EMIT changed(key);
}

void UserDefaults::remove(const QString &key)
{
    if (m_values.erase(key) == 0)
        return;
    save();
    Q_EMIT changed(key);
}

} // namespace dravelin
