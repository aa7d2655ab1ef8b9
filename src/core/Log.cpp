#include "core/Log.h"

#include <QMessageLogger>

namespace dravelin::logs {

namespace {
constexpr QChar kPrivateOpen(0xE000);
constexpr QChar kPrivateClose(0xE001);
} // namespace

#define DRAVELIN_DEFINE_CATEGORY(fn, name)                                                                             \
    const QLoggingCategory &fn()                                                                                       \
    {                                                                                                                  \
        static const QLoggingCategory category("com.dravelin.mac." name);                                              \
        return category;                                                                                               \
    }
DRAVELIN_LOG_CATEGORIES(DRAVELIN_DEFINE_CATEGORY)
#undef DRAVELIN_DEFINE_CATEGORY

QString componentOf(const char *categoryName)
{
    static const QByteArray prefix = QByteArray(kSubsystem) + '.';
    const QByteArray name(categoryName ? categoryName : "");
    if (!name.startsWith(prefix))
        return {};
    return QString::fromUtf8(name.mid(prefix.size()));
}

QString priv(const QString &value)
{
    return kPrivateOpen + value + kPrivateClose;
}

QString redacted(const QString &message)
{
    if (!message.contains(kPrivateOpen))
        return message;
    QString out;
    out.reserve(message.size());
    qsizetype i = 0;
    while (i < message.size()) {
        const qsizetype open = message.indexOf(kPrivateOpen, i);
        if (open < 0) {
            out += QStringView(message).mid(i);
            break;
        }
        out += QStringView(message).mid(i, open - i);
        const qsizetype close = message.indexOf(kPrivateClose, open + 1);
        out += QLatin1String("<private>");
        if (close < 0)
            break;
        i = close + 1;
    }
    return out;
}

QString revealed(const QString &message)
{
    QString out = message;
    out.remove(kPrivateOpen);
    out.remove(kPrivateClose);
    return out;
}

void info(const QLoggingCategory &category, const QString &message)
{
    if (category.isInfoEnabled())
        QMessageLogger(nullptr, 0, nullptr, category.categoryName()).info().noquote() << message;
}

void error(const QLoggingCategory &category, const QString &message)
{
    if (category.isCriticalEnabled())
        QMessageLogger(nullptr, 0, nullptr, category.categoryName()).critical().noquote() << message;
}

void debug(const QLoggingCategory &category, const QString &message)
{
    if (category.isDebugEnabled())
        QMessageLogger(nullptr, 0, nullptr, category.categoryName()).debug().noquote() << message;
}

} // namespace dravelin::logs
