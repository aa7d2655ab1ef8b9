#include "core/Json.h"

#include <vector>

namespace dravelin::json {

namespace {

struct LimitExceeded
{
    QString message;
};

} // namespace

Expected<Json, Error> parse(const QByteArray &bytes, const ParseLimits &limits)
{
    // The parser reports every opening and key as it reads them, so a
    // document beyond the limits is refused before it is built.
    std::vector<int> keys; // per object being read
    const auto check = [&limits, &keys](int depth, nlohmann::json::parse_event_t event, Json &) {
        using Event = nlohmann::json::parse_event_t;
        switch (event) {
        case Event::object_start:
        case Event::array_start:
            if (depth >= limits.maxDepth)
                throw LimitExceeded{QStringLiteral("nested deeper than %1 levels").arg(limits.maxDepth)};
            if (event == Event::object_start)
                keys.push_back(0);
            break;
        case Event::object_end:
            if (!keys.empty())
                keys.pop_back();
            break;
        case Event::key:
            if (!keys.empty() && ++keys.back() > limits.maxKeysPerObject)
                throw LimitExceeded{QStringLiteral("an object with more than %1 keys").arg(limits.maxKeysPerObject)};
            break;
        case Event::array_end:
        case Event::value:
            break;
        }
        return true;
    };
    try {
        return Json::parse(bytes.constData(), bytes.constData() + bytes.size(), check);
    } catch (const LimitExceeded &e) {
        return Unexpected{Error{QStringLiteral("JSON refused: %1").arg(e.message)}};
    } catch (const nlohmann::json::exception &e) {
        // Syntax errors, and also numbers too large for a double
        // ("1e999"), which the parser reports as out_of_range.
        return Unexpected{Error{QStringLiteral("malformed JSON: %1").arg(QString::fromUtf8(e.what()))}};
    }
}

QByteArray encode(const Json &json)
{
    return QByteArray::fromStdString(json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace dravelin::json
