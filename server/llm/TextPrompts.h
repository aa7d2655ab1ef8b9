#pragma once

#include "llm/LanguageModel.h"

#include <QStringList>
#include <QUrl>

#include <optional>
#include <variant>

namespace dravelin::server {

// What the text functions ask of a language model, and how its answers are
// read back. The user's text always travels as data inside tags, with the
// instruction that it is material to work on, never a request to follow.

// The four rewrite styles ("natural", "concise", "formal", "casual").
bool isRewriteStyle(const QString &style);
std::vector<ChatMessage> rewriteMessages(const QString &text, const QString &style,
                                         const std::optional<QString> &instruction);

std::vector<ChatMessage> cleanupMessages(const QString &transcript, bool removeFillers);

// A model's answer without what small models like to wrap it in: a leading
// "Here is the rewritten text:" line, the tags we sent, code fences, quotes
// around the whole text.
QString tidyModelText(const QString &output);

// The share (0…1) of the input's words that are still in the output,
// ignoring case, punctuation and `ignored` words (fillers a cleanup may
// drop). A cleanup that loses words, or answers instead of cleaning, scores
// low.
double keptWordShare(const QString &input, const QString &output, const QStringList &ignored = {});

// Whether a style rewrite kept the text's substance: enough of its words
// (kMinRewriteKeptShare; for a text of a few words, a length not far beyond
// it) and no template placeholders such as "[Name]" of its own. A model that answers or refuses the text, or writes a
// letter around it, fails. Transforms with their own instruction (summaries, replies) are not held to it.
inline constexpr double kMinRewriteKeptShare = 0.35;
bool looksLikeRewrite(const QString &input, const QString &output);

// An Ask question that wants a web page opened rather than an answer.
struct AskAction
{
    enum class Kind {
        video,
        shopping,
        map
    };
    Kind kind;
    QString query;

    QUrl url() const;
    QString confirmation() const; // the text shown while it opens
};

// The plain phrasings ("play … on YouTube", "directions to …", "buy …") read
// without a model.
std::optional<AskAction> obviousAskAction(const QString &question);

std::vector<ChatMessage> askMessages(const QString &question, const QString &timeZone, const QString &locale,
                                     const QString &today);
// A model's Ask reply: "ACTION video|shopping|map: <terms>" asks for a page;
// anything else is the answer's text.
std::variant<QString, AskAction> readAskReply(const QString &output);

} // namespace dravelin::server
