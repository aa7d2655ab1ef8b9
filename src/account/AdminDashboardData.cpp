#include "account/AdminDashboardData.h"

namespace dravelin {

namespace {

using json::Json;

// Reads one JSON object, remembering the first problem (with its path) so a
// decoder can read every field and check once at the end.
class Reader
{
public:
    Reader(const Json &object, QString path, QString &error) : m_object(object), m_path(std::move(path)), m_error(error)
    {
        if (!object.is_object())
            fail(QStringLiteral("expected a JSON object"));
    }

    template <typename T>
    T required(const char *key)
    {
        if (!m_error.isEmpty() || !m_object.is_object())
            return T{};
        auto value = json::requiredField<T>(m_object, key);
        if (!value) {
            fail(value.error().message);
            return T{};
        }
        return std::move(value.value());
    }

    // Absent or null reads as nothing; present with the wrong type is an error.
    template <typename T>
    std::optional<T> optional(const char *key)
    {
        if (!m_error.isEmpty() || !m_object.is_object())
            return std::nullopt;
        const auto it = m_object.find(key);
        if (it == m_object.end() || it->is_null())
            return std::nullopt;
        return required<T>(key);
    }

    // A string from a fixed set of values.
    template <typename E>
    std::optional<E> optionalEnum(const char *key, std::optional<E> (*fromWire)(const QString &))
    {
        const auto text = optional<QString>(key);
        if (!text)
            return std::nullopt;
        const auto value = fromWire(*text);
        if (!value)
            fail(QStringLiteral("key \"%1\" has the unknown value \"%2\"").arg(QString::fromUtf8(key), *text));
        return value;
    }
    template <typename E>
    E requiredEnum(const char *key, std::optional<E> (*fromWire)(const QString &))
    {
        if (m_error.isEmpty() && m_object.is_object() && !m_object.contains(key))
            fail(QStringLiteral("missing key \"%1\"").arg(QString::fromUtf8(key)));
        return optionalEnum(key, fromWire).value_or(E{});
    }

    // An array of objects, each read by `decode(reader)`.
    template <typename T, typename Decode>
    std::optional<QList<T>> optionalList(const char *key, Decode decode)
    {
        if (!m_error.isEmpty() || !m_object.is_object())
            return std::nullopt;
        const auto it = m_object.find(key);
        if (it == m_object.end() || it->is_null())
            return std::nullopt;
        if (!it->is_array()) {
            fail(QStringLiteral("key \"%1\" has the wrong type").arg(QString::fromUtf8(key)));
            return std::nullopt;
        }
        QList<T> items;
        for (std::size_t i = 0; i < it->size() && m_error.isEmpty(); ++i) {
            Reader item((*it)[i], QStringLiteral("%1[%2]").arg(child(key)).arg(i), m_error);
            items.append(decode(item));
        }
        return items;
    }
    template <typename T, typename Decode>
    QList<T> requiredList(const char *key, Decode decode)
    {
        if (m_error.isEmpty() && m_object.is_object() && !m_object.contains(key))
            fail(QStringLiteral("missing key \"%1\"").arg(QString::fromUtf8(key)));
        return optionalList<T>(key, decode).value_or(QList<T>{});
    }

    template <typename T, typename Decode>
    std::optional<T> optionalObject(const char *key, Decode decode)
    {
        if (!m_error.isEmpty() || !m_object.is_object())
            return std::nullopt;
        const auto it = m_object.find(key);
        if (it == m_object.end() || it->is_null())
            return std::nullopt;
        Reader inner(*it, child(key), m_error);
        return decode(inner);
    }

    bool failed() const { return !m_error.isEmpty(); }

private:
    QString child(const char *key) const
    {
        return m_path.isEmpty() ? QString::fromUtf8(key) : m_path + u'.' + QString::fromUtf8(key);
    }
    void fail(const QString &message)
    {
        if (m_error.isEmpty())
            m_error = m_path.isEmpty() ? message : m_path + QStringLiteral(": ") + message;
    }

    const Json &m_object;
    QString m_path;
    QString &m_error;
};

std::optional<AdminUserStatus> statusFromWire(const QString &value)
{
    if (value == u"active")
        return AdminUserStatus::active;
    if (value == u"inactive")
        return AdminUserStatus::inactive;
    if (value == u"disabled")
        return AdminUserStatus::disabled;
    return std::nullopt;
}

std::optional<AdminTranscriptionQualitySource> sourceFromWire(const QString &value)
{
    if (value == u"auto")
        return AdminTranscriptionQualitySource::automatic;
    if (value == u"admin")
        return AdminTranscriptionQualitySource::admin;
    return std::nullopt;
}

using Data = AdminDashboardData;

Data::Metrics readMetrics(Reader &r)
{
    return {r.required<qint64>("totalUsers"),
            r.required<qint64>("activeUsers"),
            r.required<qint64>("newToday"),
            r.required<qint64>("newThisWeek"),
            r.required<qint64>("newThisMonth"),
            r.required<qint64>("totalRecordings"),
            r.required<qint64>("totalUsageMs"),
            r.required<qint64>("averageUsageMs"),
            r.optional<qint64>("averageTimeToTextMs"),
            r.optional<qint64>("timeToTextSamples")};
}

Data::UsagePoint usagePoint(Reader &r)
{
    return {r.required<QString>("date"), r.required<qint64>("activeUsers"), r.required<qint64>("recordings"),
            r.required<qint64>("durationMs")};
}

Data::User user(Reader &r)
{
    return {r.required<QString>("id"),           r.required<QString>("name"),
            r.required<QString>("email"),        r.required<QString>("createdAt"),
            r.optional<QString>("lastActiveAt"), r.required<qint64>("totalUsageMs"),
            r.required<qint64>("recordings"),    r.requiredEnum("status", statusFromWire),
            r.required<bool>("isAdmin")};
}

Data::Administrator administrator(Reader &r)
{
    return {r.required<QString>("id"), r.required<QString>("name"), r.required<QString>("email"),
            r.optional<QString>("lastActiveAt"), r.requiredEnum("status", statusFromWire)};
}

Data::Activity activity(Reader &r)
{
    Data::Activity a;
    a.id = r.required<QString>("id");
    const QString type = r.required<QString>("type");
    a.type = type == u"signup"      ? Data::Activity::Kind::signup
             : type == u"recording" ? Data::Activity::Kind::recording
                                    : Data::Activity::Kind::other;
    a.label = r.required<QString>("label");
    a.user = r.required<QString>("user");
    a.email = r.required<QString>("email");
    a.at = r.required<QString>("at");
    return a;
}

Data::RecordingPerformance recording(Reader &r)
{
    return {r.required<QString>("id"),
            r.required<QString>("user"),
            r.required<QString>("email"),
            r.required<QString>("createdAt"),
            r.required<QString>("engine"),
            r.optional<qint64>("audioDurationMs"),
            r.optional<qint64>("timeToTextMs"),
            r.optional<double>("realtimeFactor"),
            r.optional<QString>("rawText"),
            r.optional<QString>("cleanedText"),
            r.optional<bool>("hasAudio"),
            r.optionalEnum("qualityCategory", qualityCategoryFromWire),
            r.optional<QString>("qualityReason"),
            r.optionalEnum("qualitySource", sourceFromWire)};
}

Data::TranscriptionQuality quality(Reader &r)
{
    return {r.required<qint64>("successCount"),       r.required<qint64>("errorCount"),
            r.required<qint64>("accuracyIssueCount"), r.required<qint64>("noSpeechCount"),
            r.required<qint64>("totalAttempts"),      r.optional<qint64>("successRate"),
            r.optional<qint64>("errorRate"),          r.optional<qint64>("accuracyIssueRate"),
            r.optional<qint64>("noSpeechRate")};
}

Data::Coverage readCoverage(Reader &r)
{
    return {r.required<bool>("transcriptionsTruncated"), r.optional<qint64>("recordingsWithUnknownAudioDuration"),
            r.optional<qint64>("recordingsWithoutTimeToText")};
}

} // namespace

Expected<AdminDashboardData, QString> AdminDashboardData::fromJson(const Json &json)
{
    QString error;
    Reader r(json, QString(), error);
    AdminDashboardData data;
    data.generatedAt = r.required<QString>("generatedAt");
    data.reportingTimeZone = r.optional<QString>("reportingTimeZone");
    const auto m = r.optionalObject<Data::Metrics>("metrics", readMetrics);
    if (!m && !r.failed())
        return Unexpected{QStringLiteral("missing key \"metrics\"")};
    data.metrics = m.value_or(Data::Metrics{});
    data.usageSeries = r.requiredList<UsagePoint>("usageSeries", usagePoint);
    data.users = r.requiredList<User>("users", user);
    data.admins = r.requiredList<Administrator>("admins", administrator);
    data.recentActivity = r.requiredList<Activity>("recentActivity", activity);
    data.recentRecordings = r.optionalList<RecordingPerformance>("recentRecordings", recording);
    data.transcriptionQuality = r.optionalObject<TranscriptionQuality>("transcriptionQuality", quality);
    data.coverage = r.optionalObject<Coverage>("coverage", readCoverage);
    if (!error.isEmpty())
        return Unexpected{error};
    return data;
}

} // namespace dravelin
