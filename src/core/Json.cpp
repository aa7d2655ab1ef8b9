#include "core/Json.h"

namespace dravelin::json {

Expected<Json, Error> parse(const QByteArray &bytes)
{
    try {
        return Json::parse(bytes.constData(), bytes.constData() + bytes.size());
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
