// dravelin-model: installs, lists and removes the Whisper models Dravelin
// recognises speech with, and converts a CTranslate2 Whisper model
// (model.bin, vocabulary.txt) into the ggml model file whisper.cpp loads,
// optionally with its weight matrices quantized.
//
//   dravelin-model list
//   dravelin-model install NAME... [--weights f16|q8_0|q5_1]
//   dravelin-model remove NAME...
//   dravelin-model [--weights f16|q8_0|q5_1] CT2_MODEL_DIR OUTPUT.bin
//
// Exit status: 0 done, 1 failed, 2 wrong command line.

#include "ModelInstaller.h"
#include "ModelRegistry.h"
#include "WhisperModelConverter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxyFactory>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace dravelin;
using namespace dravelin::model;

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// The model the app and the server use when none is chosen.
const QString kDefaultModel = QStringLiteral("tiny.en");

constexpr char kUsageText[] = "usage: dravelin-model list\n"
                              "       dravelin-model install NAME... [--weights f16|q8_0|q5_1]\n"
                              "       dravelin-model remove NAME...\n"
                              "       dravelin-model [--weights f16|q8_0|q5_1] CT2_MODEL_DIR OUTPUT.bin\n";

int usage(const QString &problem)
{
    std::fprintf(stderr, "dravelin-model: %s\n%s", qPrintable(problem), kUsageText);
    return kUsage;
}

int failed(const QString &problem)
{
    std::fprintf(stderr, "dravelin-model: %s\n", qPrintable(problem));
    return kFailed;
}

QString megabytes(qint64 bytes)
{
    return QString::number(static_cast<double>(bytes) / (1 << 20), 'f', 1);
}

qint64 roundedMegabytes(qint64 bytes)
{
    return (bytes + (1 << 20) - 1) >> 20;
}

// Progress on stdout: on a terminal one line redrawn in place (at most ten
// times a second); otherwise a plain line now and then, for logs.
class Progress
{
public:
    void step(const QString &text)
    {
        endLine();
        std::printf("  %s\n", qPrintable(text));
        std::fflush(stdout);
    }

    void download(int index, int count, const DownloadProgress &state)
    {
        const bool done = state.total >= 0 && state.received >= state.total;
        const double seconds = static_cast<double>(state.elapsedMs) / 1000.0;
        const QString rate = seconds >= 0.2 ? QStringLiteral("%1 MB/s").arg(megabytes(static_cast<qint64>(
                                                  static_cast<double>(state.received - state.resumedFrom) / seconds)))
                                            : QString();
        const QString which = count > 1 ? QStringLiteral("%1/%2 ").arg(index + 1).arg(count) : QString();
        if (state.total <= 0) {
            show(QStringLiteral("    %1%2 MB  %3").arg(which, megabytes(state.received), rate), false, -1);
            return;
        }
        const int percent = static_cast<int>(state.received * 100 / state.total);
        constexpr int kWidth = 24;
        const int filled = percent * kWidth / 100;
        const QString bar = QString(filled, u'#') + QString(kWidth - filled, u'-');
        show(QStringLiteral("    %1[%2] %3%  %4 of %5 MB  %6")
                 .arg(which, bar)
                 .arg(percent, 3)
                 .arg(megabytes(state.received), megabytes(state.total), rate),
             done, percent);
    }

    void convert(int done, int total)
    {
        show(QStringLiteral("    %1 of %2 tensors").arg(done).arg(total), done == total, done * 100 / total);
    }

    void endLine()
    {
        if (m_open)
            std::fputc('\n', stdout);
        m_open = false;
        m_lastQuarter = 0;
    }

private:
    void show(const QString &line, bool finished, int percent)
    {
        if (!m_tty) {
            // At 25, 50, 75 and 100 %.
            if (percent < 25 || percent / 25 <= m_lastQuarter)
                return;
            m_lastQuarter = percent / 25;
            std::printf("%s\n", qPrintable(line.trimmed().prepend(QStringLiteral("    "))));
            std::fflush(stdout);
            return;
        }
        if (!finished && m_open && m_redrawn.isValid() && m_redrawn.elapsed() < 100)
            return;
        m_redrawn.start();
        std::printf("\r%s\033[K", qPrintable(line));
        m_open = true;
        if (finished)
            endLine();
        std::fflush(stdout);
    }

    const bool m_tty = ::isatty(STDOUT_FILENO) != 0;
    bool m_open = false;
    int m_lastQuarter = 0;
    QElapsedTimer m_redrawn;
};

Expected<std::vector<RegistryModel>, QString> registry()
{
    auto models = builtInRegistry();
    if (!models)
        return Unexpected(QString(models.error() + QStringLiteral(" (the program is damaged: reinstall it)")));
    return models;
}

QString knownModels(const std::vector<RegistryModel> &models)
{
    QStringList names;
    for (const RegistryModel &model : models)
        names << model.name;
    return names.join(QStringLiteral(", "));
}

int list()
{
    const auto models = registry();
    if (!models)
        return failed(models.error());
    const std::vector<InstalledFile> files = installedFiles(modelFolders());
    const auto describe = [](const InstalledFile &file) -> QString {
        return file.path + (file.shadowed ? QStringLiteral(" (not used: one of that name comes first)") : QString());
    };
    int width = 4;
    for (const RegistryModel &model : *models)
        width = std::max(width, static_cast<int>(model.name.size()));
    std::printf("%-*s  %-12s  %8s  %s\n", width, "NAME", "LANGUAGES", "DOWNLOAD", "INSTALLED");
    std::vector<bool> listed(files.size(), false);
    for (const RegistryModel &model : *models) {
        QStringList installed;
        for (size_t i = 0; i < files.size(); ++i) {
            if (splitVariant(files[i].name).model != model.name)
                continue;
            listed[i] = true;
            if (files[i].name == model.name)
                installed.prepend(describe(files[i]));
            else
                installed << files[i].name + QStringLiteral(": ") + describe(files[i]);
        }
        if (installed.isEmpty())
            installed << QStringLiteral("no");
        std::printf("%-*s  %-12s  %5s MB  %s\n", width, qPrintable(model.name), qPrintable(model.languages),
                    qPrintable(QString::number(roundedMegabytes(model.modelBytes))), qPrintable(installed.front()));
        for (qsizetype i = 1; i < installed.size(); ++i)
            std::printf("%*s  %s\n", width + 26, "", qPrintable(installed[i]));
    }
    bool others = false;
    for (size_t i = 0; i < files.size(); ++i) {
        if (listed[i])
            continue;
        if (!others)
            std::printf("\nAlso installed:\n");
        others = true;
        std::printf("%-*s  %s\n", width, qPrintable(files[i].name), qPrintable(describe(files[i])));
    }
    std::printf("\nInstall one with `dravelin-model install NAME`; NAME-q8_0 and NAME-q5_1 (or --weights) are the\n"
                "same model in about half and a third of the size. Your models folder: %s\n",
                qPrintable(userModelFolder()));
    return kOk;
}

int install(const QStringList &names, std::optional<WeightFormat> weights)
{
    const auto models = registry();
    if (!models)
        return failed(models.error());
    std::vector<std::pair<const RegistryModel *, WeightFormat>> chosen;
    for (const QString &name : names) {
        const ModelVariant variant = splitVariant(name);
        if (weights && variant.format != WeightFormat::f16 && variant.format != *weights)
            return usage(
                QStringLiteral("%1 and --weights %2 ask for different weights").arg(name, weightFormatName(*weights)));
        const RegistryModel *model = findModel(*models, variant.model);
        if (!model)
            return failed(QStringLiteral("no model called %1 in the registry (known: %2; `dravelin-model list` "
                                         "shows them)")
                              .arg(variant.model, knownModels(*models)));
        chosen.emplace_back(model,
                            variant.format != WeightFormat::f16 ? variant.format : weights.value_or(WeightFormat::f16));
    }

    ModelInstaller installer;
    Progress progress;
    installer.events.step = [&](const QString &text) { progress.step(text); };
    installer.events.download = [&](int index, int count, const DownloadProgress &state) {
        progress.download(index, count, state);
    };
    installer.events.convert = [&](int done, int total) { progress.convert(done, total); };
    std::vector<const RegistryModel *> downloaded;
    QStringList installedNames;
    for (const auto &[model, format] : chosen) {
        const QString name = variantName(model->name, format);
        const QString target = installer.modelsFolder + QStringLiteral("/ggml-") + name + QStringLiteral(".bin");
        if (QFileInfo::exists(target)) {
            std::printf("%s is already installed: %s (`dravelin-model remove %s` first to install it afresh)\n",
                        qPrintable(name), qPrintable(target), qPrintable(name));
            continue;
        }
        std::printf("Installing %s (%s, a %lld MB download)\n", qPrintable(name), qPrintable(model->languages),
                    static_cast<long long>(roundedMegabytes(model->modelBytes)));
        std::fflush(stdout);
        QElapsedTimer clock;
        clock.start();
        const auto written = installer.install(*model, format);
        progress.endLine();
        if (!written)
            return failed(QStringLiteral("%1 is not installed: %2").arg(name, written.error()));
        std::printf("%s installed: %s (%s MB) in %lld s\n", qPrintable(name), qPrintable(*written),
                    qPrintable(megabytes(QFileInfo(*written).size())), static_cast<long long>(clock.elapsed() / 1000));
        installedNames << name;
        if (std::find(downloaded.begin(), downloaded.end(), model) == downloaded.end())
            downloaded.push_back(model);
    }
    // Every model asked for is in: the packages are not needed any more.
    for (const RegistryModel *model : downloaded)
        installer.dropPackages(*model);
    if (!installedNames.isEmpty())
        std::printf("Use it with `dravelin-server --model %s`, or choose it as the speech model on the app's "
                    "Microphone page.\n",
                    qPrintable(installedNames.back()));
    return kOk;
}

int remove(const QStringList &names)
{
    const QStringList folders = modelFolders();
    const QString own = folders.front();
    for (const QString &name : names) {
        const QString file = QStringLiteral("/ggml-") + name + QStringLiteral(".bin");
        const QString path = own + file;
        if (!QFileInfo::exists(path)) {
            for (const QString &folder : folders) {
                if (QFileInfo::exists(folder + file))
                    return failed(QStringLiteral("%1 is in %2, not in your models folder %3; dravelin-model only "
                                                 "removes models from your own folder. Whoever installed it there "
                                                 "(an administrator, or a package) can remove it.")
                                      .arg(name, folder, own));
            }
            QStringList installed;
            for (const InstalledFile &other : installedFiles(folders))
                installed << other.name;
            installed.removeDuplicates();
            return failed(QStringLiteral("no model %1 is installed (installed: %2; `dravelin-model list` shows where)")
                              .arg(name, installed.isEmpty() ? QStringLiteral("none") : installed.join(u", ")));
        }
        QFile model(path);
        if (!model.remove())
            return failed(QStringLiteral("cannot remove %1: %2").arg(path, model.errorString()));
        std::printf("removed %s\n", qPrintable(path));

        // What the app and the server use instead.
        QString other;
        for (const QString &folder : folders) {
            if (other.isEmpty() && QFileInfo::exists(folder + file))
                other = folder + file;
        }
        bool defaultThere = false;
        for (const QString &folder : folders)
            defaultThere = defaultThere || QFileInfo::exists(folder + QStringLiteral("/ggml-") + kDefaultModel +
                                                             QStringLiteral(".bin"));
        if (!other.isEmpty())
            std::printf("The app and the server now use %s for %s.\n", qPrintable(other), qPrintable(name));
        else if (name == kDefaultModel)
            std::printf("%s was the default model: the app and a server without --model now recognise speech with "
                        "PocketSphinx (English only). `dravelin-model install %s` brings it back.\n",
                        qPrintable(name), qPrintable(name));
        else
            std::printf("A server started with --model %s will not start now; the app, if %s was its speech model, "
                        "falls back to %s%s.\n",
                        qPrintable(name), qPrintable(name), qPrintable(kDefaultModel),
                        defaultThere ? "" : " (not installed either: PocketSphinx, English only)");
    }
    return kOk;
}

// The original form: one CTranslate2 model folder into one ggml file.
int convert(const QString &folder, const QString &output, WeightFormat format)
{
    const QDir dir(folder);
    QFile modelFile(dir.filePath(QStringLiteral("model.bin")));
    QFile vocabFile(dir.filePath(QStringLiteral("vocabulary.txt")));
    if (!modelFile.open(QIODevice::ReadOnly) || !vocabFile.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("%1 needs model.bin and vocabulary.txt").arg(folder));
    const auto model = readCt2Model(modelFile.readAll());
    if (!model)
        return failed(model.error());
    QStringList vocabulary = QString::fromUtf8(vocabFile.readAll()).split(u'\n');
    while (!vocabulary.isEmpty() && vocabulary.back().isEmpty())
        vocabulary.removeLast();
    ConvertStats stats;
    const auto ggml = convertToGgml(*model, vocabulary, &stats, format);
    if (!ggml)
        return failed(ggml.error());
    QSaveFile out(output);
    if (!out.open(QIODevice::WriteOnly) || out.write(*ggml) != ggml->size() || !out.commit())
        return failed(QStringLiteral("cannot write %1: %2").arg(output, out.errorString()));
    std::printf("%s: %d tensors, %d mels, %d layers, %d tokens, %lld bytes\n", qPrintable(output), stats.tensors,
                stats.nMels, stats.layers, stats.vocab, static_cast<long long>(ggml->size()));
    return kOk;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty())
        return usage(QStringLiteral("say what to do"));
    if (args.front() == u"--help" || args.front() == u"-h" || args.front() == u"help") {
        std::printf("%s", kUsageText);
        return kOk;
    }
    // --weights FORMAT (or --weights=FORMAT), anywhere.
    std::optional<WeightFormat> weights;
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString value;
        if (args[i] == u"--weights" && i + 1 < args.size()) {
            value = args[i + 1];
            args.remove(i, 2);
        } else if (args[i].startsWith(QStringLiteral("--weights="))) {
            value = args[i].mid(10);
            args.remove(i, 1);
        } else {
            continue;
        }
        weights = weightFormat(value);
        if (!weights)
            return usage(QStringLiteral("unknown weight format %1 (f16, q8_0 or q5_1)").arg(value));
        break;
    }
    for (const QString &arg : std::as_const(args)) {
        if (arg.startsWith(u'-'))
            return usage(QStringLiteral("unknown option %1").arg(arg));
    }

    if (args.isEmpty())
        return usage(QStringLiteral("say what to do"));
    const QString command = args.front();
    if (command == u"list" || command == u"install" || command == u"remove") {
        const QStringList names = args.mid(1);
        if (command == u"list" ? !names.isEmpty() : names.isEmpty())
            return usage(command == u"list" ? QStringLiteral("list takes no names")
                                            : QStringLiteral("name the model to %1").arg(command));
        if (weights && command != u"install")
            return usage(QStringLiteral("--weights goes with install"));
        for (const QString &name : names) {
            if (!isValidModelName(name))
                return usage(QStringLiteral("\"%1\" is not a model name (see `dravelin-model list`)").arg(name));
        }
        if (command == u"list")
            return list();
        if (command == u"remove")
            return remove(names);
        QNetworkProxyFactory::setUseSystemConfiguration(true); // http_proxy, https_proxy, no_proxy
        return install(names, weights);
    }
    if (args.size() != 2)
        return usage(QStringLiteral("convert takes a CTranslate2 model folder and an output file"));
    return convert(args[0], args[1], weights.value_or(WeightFormat::f16));
}
