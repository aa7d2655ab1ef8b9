#pragma once

#include "core/Expected.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <nlohmann/json.hpp>

#include <optional>

// QString and QStringList convert to and from JSON strings and arrays of strings.
namespace nlohmann {
template <>
struct adl_serializer<QString>
{
    static void to_json(ordered_json &j, const QString &s) { j = s.toStdString(); }
    static void to_json(json &j, const QString &s) { j = s.toStdString(); }
    template <typename BasicJson>
    static void from_json(const BasicJson &j, QString &s)
    {
        s = QString::fromStdString(j.template get<std::string>());
    }
};
template <>
struct adl_serializer<QStringList>
{
    template <typename BasicJson>
    static void to_json(BasicJson &j, const QStringList &list)
    {
        j = BasicJson::array();
        for (const QString &s : list)
            j.push_back(s.toStdString());
    }
    template <typename BasicJson>
    static void from_json(const BasicJson &j, QStringList &list)
    {
        list.clear();
        for (const auto &item : j)
            list << QString::fromStdString(item.template get<std::string>());
    }
};
} // namespace nlohmann

namespace dravelin::json {

// Wire bodies are encoded with keys in the order they are added.
using Json = nlohmann::ordered_json;

struct Error
{
    QString message;
};

// What a document from outside may hold. Nesting is what breaks recursive
// code later (copies, destruction); keys per object are what make building
// an insertion-ordered object slow (each insert scans the keys before it).
struct ParseLimits
{
    int maxDepth = 64;
    int maxKeysPerObject = 1000;
};

// Parses bytes into JSON; malformed input, and input beyond `limits`, is an
// error value, never an exception.
Expected<Json, Error> parse(const QByteArray &bytes, const ParseLimits &limits = {});

// Compact encoding, as sent on the wire.
QByteArray encode(const Json &json);

// Sets `key` only when the optional holds a value: absent optionals are omitted.
template <typename T>
void putOptional(Json &object, const char *key, const std::optional<T> &value)
{
    if (value)
        object[key] = *value;
}

namespace detail {
template <typename T>
bool holds(const Json &j)
{
    if constexpr (std::is_same_v<T, bool>)
        return j.is_boolean();
    else if constexpr (std::is_integral_v<T>)
        return j.is_number_integer();
    else if constexpr (std::is_floating_point_v<T>)
        return j.is_number();
    else if constexpr (std::is_same_v<T, QString> || std::is_same_v<T, std::string>)
        return j.is_string();
    else if constexpr (std::is_same_v<T, QStringList>)
        return j.is_array() && std::all_of(j.begin(), j.end(), [](const Json &e) { return e.is_string(); });
    else
        return true; // object types decode through their own from_json
}
} // namespace detail

// Tolerant read: a missing key, a null, or a value of the wrong type reads as absent.
template <typename T>
std::optional<T> optionalField(const Json &object, const char *key)
{
    if (!object.is_object())
        return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || it->is_null() || !detail::holds<T>(*it))
        return std::nullopt;
    try {
        return it->template get<T>();
    } catch (const nlohmann::json::exception &) {
        return std::nullopt;
    }
}

// Strict read: a missing key or a wrong type is an error naming the key.
template <typename T>
Expected<T, Error> requiredField(const Json &object, const char *key)
{
    if (!object.is_object())
        return Unexpected{Error{QStringLiteral("expected a JSON object")}};
    auto it = object.find(key);
    if (it == object.end())
        return Unexpected{Error{QStringLiteral("missing key \"%1\"").arg(QString::fromUtf8(key))}};
    if (!detail::holds<T>(*it))
        return Unexpected{Error{QStringLiteral("key \"%1\" has the wrong type").arg(QString::fromUtf8(key))}};
    try {
        return it->template get<T>();
    } catch (const nlohmann::json::exception &e) {
        return Unexpected{
            Error{QStringLiteral("key \"%1\": %2").arg(QString::fromUtf8(key), QString::fromUtf8(e.what()))}};
    }
}

} // namespace dravelin::json
