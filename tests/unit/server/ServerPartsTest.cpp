#include "auth/AuthRoutes.h"
#include "auth/Jwt.h"
#include "functions/CleanupEngine.h"
#include "http/HttpParser.h"
#include "http/Multipart.h"
#include "http/WebSocket.h"
#include "llm/TextPrompts.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::server;

TEST(HttpParserTest, ParsesRequestsArrivingInPiecesThenPipelinedOnes)
{
    HttpParser parser;
    const QByteArray request = "POST /functions/v1/cleanup?x=1%202 HTTP/1.1\r\nHost: localhost\r\n"
                               "Content-Type: application/json\r\nContent-Length: 11\r\n\r\n{\"text\":1}\n"
                               "POST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "5;name=x\r\nhello\r\nA\r\n, world!!!\r\n0\r\nX-Checksum: 1\r\n\r\n"
                               "GET /health HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: 0\r\n\r\n";
    for (qsizetype i = 0; i < request.size(); i += 7)
        parser.feed(request.mid(i, 7));
    ASSERT_EQ(parser.state(), HttpParser::State::complete);
    const HttpRequest first = parser.take();
    EXPECT_EQ(first.method, "POST");
    EXPECT_EQ(first.path, QStringLiteral("/functions/v1/cleanup"));
    EXPECT_EQ(first.query.queryItemValue(QStringLiteral("x"), QUrl::FullyDecoded), QStringLiteral("1 2"));
    EXPECT_EQ(first.header("CONTENT-TYPE"), "application/json");
    EXPECT_EQ(first.body, "{\"text\":1}\n");
    ASSERT_EQ(parser.state(), HttpParser::State::complete);
    const HttpRequest chunked = parser.take();
    EXPECT_EQ(chunked.body, "hello, world!!!"); // extension and trailer dropped
    ASSERT_EQ(parser.state(), HttpParser::State::complete);
    EXPECT_EQ(parser.take().path, QStringLiteral("/health"));
}

TEST(HttpParserTest, RefusesWhatItShouldWithTheRightStatus)
{
    struct Case
    {
        QByteArray bytes;
        int status;
    };
    HttpLimits limits;
    limits.maxBodyBytes = 100;
    limits.maxHeaderBytes = 512;
    for (const Case &c : std::vector<Case>{
             {"GARBAGE\r\n\r\n", 400},
             {"GET /a HTTP/2\r\n\r\n", 505},
             {"GET //evil HTTP/1.1\r\n\r\n", 400},
             {"GET http://x/ HTTP/1.1\r\n\r\n", 400},
             {"GET /a b HTTP/1.1\r\n\r\n", 400},
             {"GET /a HTTP/1.1\r\nNo colon here\r\n\r\n", 400},
             {"POST /a HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
             {"POST /a HTTP/1.1\r\nContent-Length: +2\r\n\r\n", 400},
             {"POST /a HTTP/1.1\r\nContent-Length:  2x\r\n\r\n", 400},
             {"POST /a HTTP/1.1\r\nContent-Length: \r\n\r\n", 400},
             {"POST /a HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", 400},
             {"POST /a HTTP/1.1\r\nContent-Length: 101\r\n\r\n", 413},
             {"GET /a HTTP/1.1\r\nX: a\rb\r\n\r\n", 400},
             {QByteArrayLiteral("GET /a HTTP/1.1\r\nX: a\0b\r\n\r\n"), 400},
             {"GET /a HTTP/1.1\r\nX: a\x7f\r\n\r\n", 400},
             {"POST /a HTTP/1.1\r\nExpect: 200-ok\r\nContent-Length: 1\r\n\r\n", 417},
             // Chunked bodies: framing that is ambiguous or sloppy, and sizes.
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", 400},
             {"POST /a HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 501},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1 \r\nx\r\n", 400},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0x1\r\nx\r\n", 400},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0000000000000001\r\n", 400},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1;" + QByteArray(300, 'e'), 400},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nxy", 400},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n65\r\n", 413},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n" + QByteArray(64, 'b') + "\r\n40\r\n", 413},
             {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: " + QByteArray(600, 't'), 431},
             {"GET /a HTTP/1.1\r\nX: " + QByteArray(600, 'a') + "\r\n\r\n", 431},
             {"GET /" + QByteArray(600, 'a'), 431}, // never-ending request line
         }) {
        HttpParser parser(limits);
        parser.feed(c.bytes);
        EXPECT_EQ(parser.state(), HttpParser::State::error) << c.bytes.left(60).constData();
        EXPECT_EQ(parser.errorStatus(), c.status) << c.bytes.left(60).constData();
    }
}

TEST(HttpParserTest, CountsTheRestOfARefusedBodyToDropIt)
{
    HttpLimits limits;
    limits.maxBodyBytes = 100;
    HttpParser parser(limits);
    parser.feed("POST /a HTTP/1.1\r\nContent-Length: 300\r\n\r\n" + QByteArray(50, 'x'));
    ASSERT_EQ(parser.errorStatus(), 413);
    EXPECT_EQ(parser.bodyBytesToDiscard(), 250);
    parser.feed(QByteArray(200, 'x'));
    EXPECT_EQ(parser.bodyBytesToDiscard(), 50);
    parser.feed(QByteArray(80, 'x')); // more than declared: nothing left, never below
    EXPECT_EQ(parser.bodyBytesToDiscard(), 0);

    // A client waiting for "100 Continue" sends none of it.
    HttpParser waiting(limits);
    waiting.feed("POST /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 300\r\n\r\n");
    ASSERT_EQ(waiting.errorStatus(), 413);
    EXPECT_EQ(waiting.bodyBytesToDiscard(), 0);
}

TEST(HttpParserTest, ConnectionPersistenceAndExpectationsFollowTheVersion)
{
    struct Case
    {
        QByteArray head;
        bool closes;
        bool awaitsContinue;
    };
    for (const Case &c : std::vector<Case>{
             {"POST /a HTTP/1.1\r\nExpect: 100-Continue\r\n", false, true},
             {"POST /a HTTP/1.1\r\nConnection: keep-alive, Close\r\n", true, false},
             {"POST /a HTTP/1.0\r\n", true, false},
             {"POST /a HTTP/1.0\r\nConnection: Keep-Alive\r\nExpect: 100-continue\r\n", false, false},
             {"POST /a HTTP/1.0\r\nExpect: anything\r\n", true, false}, // 1.0 has no expectations
         }) {
        HttpParser parser;
        parser.feed(c.head + "Content-Length: 2\r\n\r\n");
        ASSERT_EQ(parser.state(), HttpParser::State::needMore) << c.head.constData();
        EXPECT_EQ(parser.awaitsContinue(), c.awaitsContinue) << c.head.constData();
        parser.feed("ok");
        ASSERT_EQ(parser.state(), HttpParser::State::complete);
        EXPECT_EQ(parser.take().wantsClose(), c.closes) << c.head.constData();
    }
}

TEST(MultipartTest, ReadsTheClientsUploadAndRejectsMalformedBodies)
{
    const QByteArray boundary = "Boundary-5C1F";
    const QByteArray audio("\x00\x01\r\n--Boundar\xff", 14);
    const QByteArray body = QByteArray("--Boundary-5C1F\r\n"
                                       "Content-Disposition: form-data; name=\"audio\"; filename=\"audio.m4a\"\r\n"
                                       "Content-Type: audio/mp4\r\n\r\n") +
                            audio +
                            QByteArray("\r\n--Boundary-5C1F\r\nContent-Disposition: form-data; name=\"cleanup\"\r\n"
                                       "\r\n1\r\n--Boundary-5C1F--\r\n");
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=Boundary-5C1F"), boundary);
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=\"quoted\""), QByteArray("quoted"));
    EXPECT_TRUE(multipartBoundary("application/json").isEmpty());
    const auto parts = parseMultipart(body, boundary);
    ASSERT_TRUE(parts) << qPrintable(parts.error());
    ASSERT_EQ(parts->size(), 2);
    EXPECT_EQ(parts->at(0).name, QStringLiteral("audio"));
    EXPECT_EQ(parts->at(0).filename, QStringLiteral("audio.m4a"));
    EXPECT_EQ(parts->at(0).contentType, "audio/mp4");
    EXPECT_EQ(parts->at(0).data, audio); // binary, boundary-like bytes kept
    EXPECT_EQ(parts->at(1).data, "1");

    for (const QByteArray &bad :
         {QByteArray("no boundary at all"),
          QByteArray("--Boundary-5C1F\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx"),
          QByteArray("--Boundary-5C1F\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n--Boundary-5C1F--"),
          QByteArray("--Boundary-5C1F\r\nContent-Disposition: form-data\r\n\r\nx\r\n--Boundary-5C1F--"),
          QByteArray("--Boundary-5C1F\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n--Boundary-5C1Fjunk"),
          QByteArray(
              "--Boundary-5C1F\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n--Boundary-5C1F--trailing")})
        EXPECT_FALSE(parseMultipart(bad, boundary)) << bad.constData();
}

TEST(JwtTest, SignedTokensVerifyAndTamperingOrExpiryIsRefused)
{
    const QByteArray secret = "0123456789abcdef0123456789abcdef";
    json::Json claims{{"sub", "u1"}, {"exp", 2000}, {"aud", "authenticated"}};
    const QByteArray token = signJwt(claims, secret);
    const auto ok = verifyJwt(token, secret, 1999);
    ASSERT_TRUE(ok);
    EXPECT_EQ(json::optionalField<QString>(*ok, "sub"), QStringLiteral("u1"));
    EXPECT_EQ(verifyJwt(token, secret, 2000).error(), QStringLiteral("token has expired"));
    EXPECT_EQ(verifyJwt(token, "another secret of enough length!!", 1).error(),
              QStringLiteral("invalid token signature"));
    QByteArray forged = token;
    forged[forged.indexOf('.') + 3] = forged[forged.indexOf('.') + 3] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(verifyJwt(forged, secret, 1));
    EXPECT_FALSE(verifyJwt("a.b", secret, 1));
    const QByteArray none = base64Url(R"({"alg":"none"})") + '.' + base64Url(R"({"sub":"u1","exp":9999})") + '.';
    EXPECT_FALSE(verifyJwt(none, secret, 1));

    // The audience must be ours; a token is not good before its "nbf".
    for (const auto &[other, now, why] : std::vector<std::tuple<json::Json, qint64, QString>>{
             {{{"sub", "u1"}, {"exp", 2000}}, 1, QStringLiteral("token is for another audience")},
             {{{"sub", "u1"}, {"exp", 2000}, {"aud", "admin"}}, 1, QStringLiteral("token is for another audience")},
             {{{"sub", "u1"}, {"exp", 2000}, {"aud", json::Json::array({"x", "authenticated"})}, {"nbf", 100}},
              100,
              QString()},
             {{{"sub", "u1"}, {"exp", 2000}, {"aud", "authenticated"}, {"nbf", 100}},
              99,
              QStringLiteral("token is not valid yet")},
             {{{"sub", "u1"}, {"exp", 2000}, {"aud", "authenticated"}, {"nbf", "soon"}},
              99,
              QStringLiteral("token is not valid yet")}}) {
        const auto verified = verifyJwt(signJwt(other, secret), secret, now);
        EXPECT_EQ(verified ? QString() : verified.error(), why) << json::encode(other).constData();
    }
}

TEST(PkceTest, ChallengeMatchesTheRfc7636Example)
{
    EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              QByteArray("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
    EXPECT_EQ(randomToken(48).size(), 64);
    EXPECT_EQ(randomToken(32).size(), 43);
    EXPECT_NE(randomToken(32), randomToken(32));
}

TEST(RedirectTest, OnlyLoopbackHttpWithAPortIsAccepted)
{
    EXPECT_TRUE(isLoopbackRedirect(QStringLiteral("http://127.0.0.1:45821/oauth/callback")));
    EXPECT_TRUE(isLoopbackRedirect(QStringLiteral("http://localhost:8080/cb")));
    EXPECT_TRUE(isLoopbackRedirect(QStringLiteral("http://[::1]:9000/cb")));
    EXPECT_FALSE(isLoopbackRedirect(QStringLiteral("https://127.0.0.1:45821/cb")));
    EXPECT_FALSE(isLoopbackRedirect(QStringLiteral("http://127.0.0.1/cb")));
    EXPECT_FALSE(isLoopbackRedirect(QStringLiteral("http://evil.example:80/cb")));
    EXPECT_FALSE(isLoopbackRedirect(QStringLiteral("http://127.0.0.1.evil.example:80/cb")));
    EXPECT_FALSE(isLoopbackRedirect(QStringLiteral("http://user@127.0.0.1:80/cb")));
}

TEST(CleanupEngineTest, RulesOnATableOfCases)
{
    struct Case
    {
        QString raw;
        CleanupOptions options;
        QString expected;
    };
    CleanupOptions fillers;
    fillers.removeFillerWords = true;
    fillers.fillerWords = {QStringLiteral("um"), QStringLiteral("uh"), QStringLiteral("you know")};
    CleanupOptions vocabulary;
    vocabulary.vocabulary = {QStringLiteral("Dravelin"), QStringLiteral("cue tee -> Qt")};
    for (const Case &c : std::vector<Case>{
             {QStringLiteral("hello world"), {}, QStringLiteral("Hello world.")},
             {QStringLiteral("hello world it is done"), {}, QStringLiteral("Hello world it is done.")},
             {QStringLiteral("is it ready? yes i think so"), {}, QStringLiteral("Is it ready? Yes I think so.")},
             {QStringLiteral("one  two ,three"), {}, QStringLiteral("One two, three.")},
             {QStringLiteral("Um, so I think, uh, we should go"), fillers, QStringLiteral("So I think, we should go.")},
             {QStringLiteral("you know it works"), fillers, QStringLiteral("It works.")},
             {QStringLiteral("the umbrella is likely here"), fillers, QStringLiteral("The umbrella is likely here.")},
             {QStringLiteral("i use dravelin with cue tee"), vocabulary, QStringLiteral("I use Dravelin with Qt.")},
             {QStringLiteral("todo first buy milk second call mum third write the report"),
              {},
              QStringLiteral("Todo.\n1. Buy milk.\n2. Call mum.\n3. Write the report.")},
             {QStringLiteral("first of all this is a single ordinal"),
              {},
              QStringLiteral("First of all this is a single ordinal.")},
             {QStringLiteral("it costs 3.5 dollars"), {}, QStringLiteral("It costs 3.5 dollars.")},
             {QStringLiteral("Dear Ana,\nthe contract is attached"),
              {},
              QStringLiteral("Dear Ana,\nThe contract is attached.")},
         }) {
        EXPECT_EQ(cleanupTranscript(c.raw, c.options).text, c.expected) << qPrintable(c.raw);
    }
    EXPECT_FALSE(cleanupTranscript(QStringLiteral("Already clean."), {}).cleaned);
    EXPECT_TRUE(cleanupTranscript(QStringLiteral("not clean"), {}).cleaned);
}

TEST(TextPromptsTest, ModelAnswersLoseTheirWrappingButNotTheirText)
{
    for (const auto &[raw, tidy] : std::vector<std::pair<const char *, const char *>>{
             {"Sure, I'd be happy to help! Here's a formal version of your text:\n\n---\n\nDear Ana,\n\nWe meet at 3.",
              "Dear Ana,\n\nWe meet at 3."},
             {"Here is the rewritten text:\n\"Could we meet at 3?\"", "Could we meet at 3?"},
             {"Here is the agenda:\n1. Budget", "Here is the agenda:\n1. Budget"},
             {"```\nShort.\n```", "Short."},
             {"<text>\nHi there.\n</text>", "Hi there."},
             {"He said \"hi\" and \"bye\"", "He said \"hi\" and \"bye\""},
         }) {
        EXPECT_EQ(tidyModelText(QString::fromUtf8(raw)), QString::fromUtf8(tidy)) << raw;
    }
}

namespace {

// A client frame: masked with a fixed key.
QByteArray clientFrame(quint8 opcode, const QByteArray &payload, bool fin = true, bool masked = true)
{
    QByteArray out = encodeWebSocketFrame(opcode, payload, fin);
    if (!masked)
        return out;
    const qsizetype header = out.size() - payload.size();
    out[1] = static_cast<char>(out[1] | 0x80);
    const QByteArray mask("\x11\x22\x33\x44", 4);
    QByteArray body = payload;
    for (qsizetype i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(body[i] ^ mask[i % 4]);
    return out.left(header) + mask + body;
}

} // namespace

TEST(WebSocketTest, HandshakeKeyMatchesTheRfcExample)
{
    EXPECT_EQ(webSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), QByteArray("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
}

TEST(WebSocketTest, FramesOfEveryLengthEncodingParseInPieces)
{
    WebSocketFrameParser parser;
    const QByteArray medium(300, 'm');  // 16-bit length
    const QByteArray large(70000, 'l'); // 64-bit length
    const QByteArray stream =
        clientFrame(1, "hi") + clientFrame(2, medium, false) + clientFrame(0, large) + clientFrame(9, "ping");
    std::vector<WebSocketFrame> frames;
    for (qsizetype i = 0; i < stream.size(); i += 999)
        for (auto &f : parser.feed(stream.mid(i, 999)))
            frames.push_back(std::move(f));
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].payload, "hi");
    EXPECT_EQ(frames[1].opcode, 2);
    EXPECT_FALSE(frames[1].fin);
    EXPECT_EQ(frames[1].payload, medium);
    EXPECT_EQ(frames[2].payload, large);
    EXPECT_EQ(frames[3].opcode, 9);
    EXPECT_FALSE(parser.failed());
}

TEST(WebSocketTest, ProtocolViolationsCloseWithTheRightCode)
{
    struct Case
    {
        QByteArray bytes;
        quint16 code;
    };
    QByteArray reserved = clientFrame(1, "x");
    reserved[0] = static_cast<char>(reserved[0] | 0x40);
    for (const Case &c : std::vector<Case>{{clientFrame(1, "x", true, false), 1002},
                                           {reserved, 1002},
                                           {clientFrame(3, "x"), 1002},
                                           {clientFrame(9, QByteArray(126, 'p')), 1002},
                                           {clientFrame(8, "", false), 1002},
                                           {clientFrame(2, QByteArray(2000, 'b')), 1009}}) {
        WebSocketFrameParser parser(1024);
        parser.feed(c.bytes);
        EXPECT_EQ(parser.closeCode(), c.code);
    }
}
