#include "ModelRegistry.h"

#include <QFile>

#include <map>

namespace dravelin::model {

namespace {

constexpr int kFields = 9;
constexpr qsizetype kMaxUrl = 2048;
constexpr qsizetype kMaxPath = 1024;
constexpr qsizetype kMaxName = 64;
constexpr qsizetype kMaxFileName = 200;
constexpr qsizetype kMaxLanguages = 100;

bool isHexSha256(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    }
    return true;
}

// Letters, digits and ".+_-", not starting with '.' or '-'.
bool isPlainFileName(const QString &name, qsizetype maxLength)
{
    if (name.isEmpty() || name.size() > maxLength || name.front() == u'.' || name.front() == u'-')
        return false;
    for (const QChar c : name) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.' ||
                        c == u'_' || c == u'-' || c == u'+';
        if (!ok)
            return false;
    }
    return true;
}

QStringList spaceSeparated(const QString &field)
{
    return field.split(u' ', Qt::SkipEmptyParts);
}

// One row: the model, or what is wrong with it.
Expected<RegistryModel, QString> parseRow(const QStringList &fields, const RegistryLimits &limits)
{
    using Error = Unexpected<QString>;
    if (fields.size() != kFields)
        return Error(QStringLiteral("%1 tab-separated fields, expected %2").arg(fields.size()).arg(kFields));
    RegistryModel model;
    model.name = fields[0];
    if (!isValidModelName(model.name))
        return Error(QStringLiteral("\"%1\" is not a model name (letters, digits, '.', '_' and '-', at most %2)")
                         .arg(model.name.left(kMaxName))
                         .arg(kMaxName));
    model.languages = fields[1].trimmed();
    if (model.languages.isEmpty() || model.languages.size() > kMaxLanguages)
        return Error(QStringLiteral("%1: the languages field is empty or too long").arg(model.name));
    bool ok = false;
    model.modelBytes = fields[2].toLongLong(&ok);
    if (!ok || model.modelBytes <= 0 || model.modelBytes > limits.modelBytes)
        return Error(QStringLiteral("%1: model.bin size \"%2\" is not a number of bytes between 1 and %3")
                         .arg(model.name, fields[2].left(20))
                         .arg(limits.modelBytes));
    if (!isHexSha256(fields[3]))
        return Error(QStringLiteral("%1: the model.bin SHA-256 is not 64 hex digits").arg(model.name));
    model.modelSha256 = fields[3].toLatin1().toLower();

    const QStringList urls = spaceSeparated(fields[4]);
    const QStringList shas = spaceSeparated(fields[5]);
    if (urls.isEmpty() || urls.size() > limits.packagesPerModel)
        return Error(QStringLiteral("%1: %2 packages (1 to %3 allowed)")
                         .arg(model.name)
                         .arg(urls.size())
                         .arg(limits.packagesPerModel));
    if (shas.size() != urls.size())
        return Error(
            QStringLiteral("%1: %2 packages but %3 SHA-256s").arg(model.name).arg(urls.size()).arg(shas.size()));
    for (qsizetype i = 0; i < urls.size(); ++i) {
        RegistryPackage package;
        package.url = QUrl(urls[i], QUrl::StrictMode);
        package.fileName = package.url.fileName();
        if (urls[i].size() > kMaxUrl || !package.url.isValid() || package.url.scheme() != u"https" ||
            package.url.host().isEmpty() || !isPlainFileName(package.fileName, kMaxFileName))
            return Error(QStringLiteral("%1: package %2 is not an https URL of a file: %3")
                             .arg(model.name)
                             .arg(i + 1)
                             .arg(urls[i].left(kMaxUrl)));
        if (!isHexSha256(shas[i]))
            return Error(
                QStringLiteral("%1: the SHA-256 of package %2 is not 64 hex digits").arg(model.name).arg(i + 1));
        package.sha256 = shas[i].toLatin1().toLower();
        model.packages.push_back(std::move(package));
    }

    const auto fileRef = [&](const QString &ref) -> std::optional<PackageFile> {
        const qsizetype colon = ref.indexOf(u':');
        if (colon <= 0)
            return std::nullopt;
        const int package = ref.left(colon).toInt(&ok);
        const QString path = ref.mid(colon + 1);
        if (!ok || package < 1 || package > static_cast<int>(model.packages.size()) || path.isEmpty() ||
            path.size() > kMaxPath)
            return std::nullopt;
        return PackageFile{package - 1, path};
    };
    const QStringList parts = spaceSeparated(fields[6]);
    if (parts.isEmpty() || parts.size() > limits.partsPerModel)
        return Error(QStringLiteral("%1: %2 model.bin parts (1 to %3 allowed)")
                         .arg(model.name)
                         .arg(parts.size())
                         .arg(limits.partsPerModel));
    for (const QString &ref : parts) {
        const auto part = fileRef(ref);
        if (!part)
            return Error(QStringLiteral("%1: model.bin part \"%2\" is not N:path with N one of its %3 packages")
                             .arg(model.name, ref.left(kMaxPath))
                             .arg(model.packages.size()));
        model.parts.push_back(*part);
    }
    const auto vocabulary = fileRef(fields[7]);
    if (!vocabulary)
        return Error(QStringLiteral("%1: vocabulary.txt \"%2\" is not N:path with N one of its %3 packages")
                         .arg(model.name, fields[7].left(kMaxPath))
                         .arg(model.packages.size()));
    model.vocabulary = *vocabulary;
    if (!isHexSha256(fields[8]))
        return Error(QStringLiteral("%1: the vocabulary.txt SHA-256 is not 64 hex digits").arg(model.name));
    model.vocabularySha256 = fields[8].toLatin1().toLower();
    return model;
}

} // namespace

Expected<std::vector<RegistryModel>, QString> parseRegistry(const QByteArray &tsv, const RegistryLimits &limits)
{
    if (tsv.size() > limits.fileBytes)
        return Unexpected(QStringLiteral("the model registry has %1 bytes, more than the %2 allowed")
                              .arg(tsv.size())
                              .arg(limits.fileBytes));
    std::vector<RegistryModel> models;
    // Packages are cached by file name: one name must always mean one file.
    std::map<QString, QByteArray> packageShas;
    const QStringList lines = QString::fromUtf8(tsv).split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(u'#'))
            continue;
        const auto fail = [&](const QString &what) {
            return Unexpected(QStringLiteral("model registry line %1: %2").arg(i + 1).arg(what));
        };
        if (static_cast<int>(models.size()) == limits.models)
            return fail(QStringLiteral("more than %1 models").arg(limits.models));
        auto model = parseRow(line.split(u'\t'), limits);
        if (!model)
            return fail(model.error());
        if (findModel(models, model->name))
            return fail(QStringLiteral("%1 is listed twice").arg(model->name));
        for (const RegistryPackage &package : model->packages) {
            const auto [known, added] = packageShas.emplace(package.fileName, package.sha256);
            if (!added && known->second != package.sha256)
                return fail(QStringLiteral("%1: package %2 is listed elsewhere with another SHA-256")
                                .arg(model->name, package.fileName));
        }
        models.push_back(std::move(*model));
    }
    if (models.empty())
        return Unexpected(QStringLiteral("the model registry lists no models"));
    return models;
}

Expected<std::vector<RegistryModel>, QString> builtInRegistry()
{
    QFile file(QStringLiteral(":/dravelin/whisper-models.tsv"));
    if (!file.open(QIODevice::ReadOnly))
        return Unexpected(QStringLiteral("this dravelin-model was built without its model registry"));
    return parseRegistry(file.readAll());
}

const RegistryModel *findModel(const std::vector<RegistryModel> &models, const QString &name)
{
    for (const RegistryModel &model : models) {
        if (model.name == name)
            return &model;
    }
    return nullptr;
}

bool isValidModelName(const QString &name)
{
    return isPlainFileName(name, kMaxName) && !name.contains(u'+');
}

ModelVariant splitVariant(const QString &name)
{
    for (const WeightFormat format : {WeightFormat::q8_0, WeightFormat::q5_1}) {
        const QString suffix = u'-' + weightFormatName(format);
        if (name.endsWith(suffix) && name.size() > suffix.size())
            return {name.chopped(suffix.size()), format};
    }
    return {name, WeightFormat::f16};
}

QString variantName(const QString &model, WeightFormat format)
{
    return format == WeightFormat::f16 ? model : model + u'-' + weightFormatName(format);
}

QString weightFormatName(WeightFormat format)
{
    switch (format) {
    case WeightFormat::f16:
        return QStringLiteral("f16");
    case WeightFormat::q8_0:
        return QStringLiteral("q8_0");
    case WeightFormat::q5_1:
        return QStringLiteral("q5_1");
    }
    return {};
}

} // namespace dravelin::model
