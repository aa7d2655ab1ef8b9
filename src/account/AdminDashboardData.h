#pragma once

#include "account/TranscriptionQualityCategory.h"
#include "core/Expected.h"
#include "core/Json.h"

#include <QList>
#include <QString>

#include <optional>

namespace dravelin {

enum class AdminUserStatus {
    active,
    inactive,
    disabled
};

// Who set a recording's quality label: the app's automatic report ("auto")
// or an administrator ("admin").
enum class AdminTranscriptionQualitySource {
    automatic,
    admin
};

// The administrators' dashboard as the backend sends it. Dates and times stay
// the strings received; the screens format them.
struct AdminDashboardData
{
    struct Metrics
    {
        qint64 totalUsers = 0;
        qint64 activeUsers = 0;
        qint64 newToday = 0;
        qint64 newThisWeek = 0;
        qint64 newThisMonth = 0;
        qint64 totalRecordings = 0;
        qint64 totalUsageMs = 0;
        qint64 averageUsageMs = 0;
        std::optional<qint64> averageTimeToTextMs;
        std::optional<qint64> timeToTextSamples;
    };
    struct UsagePoint
    {
        QString date;
        qint64 activeUsers = 0;
        qint64 recordings = 0;
        qint64 durationMs = 0;
    };
    struct User
    {
        QString id;
        QString name;
        QString email;
        QString createdAt;
        std::optional<QString> lastActiveAt;
        qint64 totalUsageMs = 0;
        qint64 recordings = 0;
        AdminUserStatus status = AdminUserStatus::active;
        bool isAdmin = false;
    };
    struct Administrator
    {
        QString id;
        QString name;
        QString email;
        std::optional<QString> lastActiveAt;
        AdminUserStatus status = AdminUserStatus::active;
    };
    struct Activity
    {
        // The kinds this app knows; a newer backend may send others.
        enum class Kind {
            signup,
            recording,
            other
        };
        QString id;
        Kind type = Kind::other;
        QString label;
        QString user;
        QString email;
        QString at;
    };
    struct RecordingPerformance
    {
        QString id;
        QString user;
        QString email;
        QString createdAt;
        QString engine;
        std::optional<qint64> audioDurationMs;
        std::optional<qint64> timeToTextMs;
        std::optional<double> realtimeFactor;
        std::optional<QString> rawText;
        std::optional<QString> cleanedText;
        std::optional<bool> hasAudio;
        std::optional<AdminTranscriptionQualityCategory> qualityCategory;
        std::optional<QString> qualityReason;
        std::optional<AdminTranscriptionQualitySource> qualitySource;
    };
    struct TranscriptionQuality
    {
        qint64 successCount = 0;
        qint64 errorCount = 0;
        qint64 accuracyIssueCount = 0;
        qint64 noSpeechCount = 0;
        qint64 totalAttempts = 0;
        std::optional<qint64> successRate;
        std::optional<qint64> errorRate;
        std::optional<qint64> accuracyIssueRate;
        std::optional<qint64> noSpeechRate;
    };
    struct Coverage
    {
        bool transcriptionsTruncated = false;
        std::optional<qint64> recordingsWithUnknownAudioDuration;
        std::optional<qint64> recordingsWithoutTimeToText;
    };

    QString generatedAt;
    std::optional<QString> reportingTimeZone;
    Metrics metrics;
    QList<UsagePoint> usageSeries;
    QList<User> users;
    QList<Administrator> admins;
    QList<Activity> recentActivity;
    std::optional<QList<RecordingPerformance>> recentRecordings;
    std::optional<TranscriptionQuality> transcriptionQuality;
    std::optional<Coverage> coverage;

    // Every required key present with its type; an optional one may be
    // absent or null. The error names the path of the first bad key.
    static Expected<AdminDashboardData, QString> fromJson(const json::Json &json);
};

} // namespace dravelin
