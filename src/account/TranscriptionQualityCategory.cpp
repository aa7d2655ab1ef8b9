#include "account/TranscriptionQualityCategory.h"

namespace dravelin {

QString wireValue(AdminTranscriptionQualityCategory category)
{
    switch (category) {
    case AdminTranscriptionQualityCategory::success:
        return QStringLiteral("success");
    case AdminTranscriptionQualityCategory::error:
        return QStringLiteral("error");
    case AdminTranscriptionQualityCategory::accuracyIssue:
        return QStringLiteral("accuracy_issue");
    case AdminTranscriptionQualityCategory::noSpeech:
        return QStringLiteral("no_speech");
    }
    return {};
}

std::optional<AdminTranscriptionQualityCategory> qualityCategoryFromWire(const QString &value)
{
    for (auto category :
         {AdminTranscriptionQualityCategory::success, AdminTranscriptionQualityCategory::error,
          AdminTranscriptionQualityCategory::accuracyIssue, AdminTranscriptionQualityCategory::noSpeech}) {
        if (wireValue(category) == value)
            return category;
    }
    return std::nullopt;
}

} // namespace dravelin
