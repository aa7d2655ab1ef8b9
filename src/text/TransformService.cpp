#include "text/TransformService.h"

#include "core/Json.h"
#include "core/Log.h"
#include "core/UserDefaults.h"

#include <QSet>

namespace dravelin {

namespace {

constexpr const char *kCustomGlyph = "wand.and.stars";

void info(const QString &message)
{
    logs::info(logs::transforms(), message);
}

QString idText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

json::Json bindingJson(const HotkeyBinding &binding)
{
    json::Json j;
    j["keyCode"] = binding.keyCode;
    j["modifiers"] = binding.modifiers;
    return j;
}

std::optional<HotkeyBinding> bindingFrom(const json::Json &j)
{
    const auto binding = HotkeyBinding::fromJson(json::encode(j));
    return binding ? std::optional<HotkeyBinding>(*binding) : std::nullopt;
}

bool isBuiltInID(const QUuid &id)
{
    static const QList<Transform> builtIns = TransformService::builtIns();
    return std::any_of(builtIns.begin(), builtIns.end(), [&](const Transform &t) { return t.id == id; });
}

} // namespace

const QUuid TransformService::conciseID{QStringLiteral("11111111-0000-0000-0000-00000000B002")};

QList<Transform> TransformService::builtIns()
{
    const auto make = [](const char *id, const char *name, const char *glyph, const char *description,
                         const char *prompt) {
        return Transform{QUuid(QString::fromLatin1(id)),
                         QString::fromUtf8(name),
                         QString::fromUtf8(description),
                         QString::fromUtf8(prompt),
                         std::nullopt,
                         true,
                         QString::fromLatin1(glyph)};
    };
    return {
        make("11111111-0000-0000-0000-00000000B001", "Polish", "sparkles",
             "Improve clarity and concision while preserving meaning, names, numbers, and tone.",
             "Improve the clarity and concision of the user's text. Preserve all meaning, names, numbers, and the "
             "original tone. Do not add new information."),
        make("11111111-0000-0000-0000-00000000B002", "Concise", "arrow.down.right.and.arrow.up.left",
             "Make this shorter and tighter, preserve meaning.",
             "Rewrite the user's text to be shorter and tighter while preserving meaning, names, and numbers."),
        make("11111111-0000-0000-0000-00000000B003", "Formal", "text.justify.left",
             "Rewrite in a more formal, professional register.",
             "Rewrite the user's text in a more formal, professional register. Preserve meaning, names, numbers, "
             "and intent."),
        make("11111111-0000-0000-0000-00000000B004", "Casual", "bubble.left.and.bubble.right",
             "Rewrite in a casual, conversational register.",
             "Rewrite the user's text in a casual, conversational register. Preserve meaning, names, numbers, and "
             "intent."),
        make("11111111-0000-0000-0000-00000000B005", "Bullet points", "list.bullet",
             "Convert this into a tight bulleted list. Preserve all info.",
             "Convert the user's text into a tight bulleted list. Preserve every piece of information; do not add "
             "new content. Start every list item with the Unicode bullet character and a space (`• `). Do not use "
             "hyphens, dashes, asterisks, numbering, or other Markdown list markers."),
        make("11111111-0000-0000-0000-00000000B006", "Email reply", "envelope",
             "Draft a brief, professional reply to this message.",
             "Treat the user's text as a message you have received. Draft a brief, professional reply. Keep it "
             "courteous and to the point. Do not include greetings or sign-offs unless clearly warranted by "
             "context."),
    };
}

QByteArray TransformService::encodeCustom(const QList<Transform> &transforms)
{
    json::Json list = json::Json::array();
    for (const Transform &t : transforms) {
        json::Json j;
        j["id"] = idText(t.id);
        j["name"] = t.name;
        j["description"] = t.description;
        j["prompt"] = t.prompt;
        if (t.hotkey)
            j["hotkey"] = bindingJson(*t.hotkey);
        j["isBuiltIn"] = t.isBuiltIn;
        j["glyph"] = t.glyph;
        list.push_back(std::move(j));
    }
    return json::encode(list);
}

QList<Transform> TransformService::decodeCustom(const QByteArray &data, QString *error)
{
    const auto note = [error](const QString &why) {
        if (error && error->isEmpty())
            *error = why;
    };
    const auto parsed = json::parse(data);
    if (!parsed || !parsed->is_array()) {
        note(parsed ? QStringLiteral("expected a JSON array") : parsed.error().message);
        return {};
    }
    // A damaged entry is skipped on its own, so one bad transform (a hotkey
    // in a form this version does not know, say) does not cost the others
    // when the list is next saved. An id of a built-in, or one seen before,
    // would show twice and could not be deleted: skipped too.
    QList<Transform> list;
    QSet<QUuid> seen;
    for (const json::Json &item : *parsed) {
        const auto id = json::requiredField<QString>(item, "id");
        const auto name = json::requiredField<QString>(item, "name");
        const auto description = json::requiredField<QString>(item, "description");
        const auto prompt = json::requiredField<QString>(item, "prompt");
        const auto builtIn = json::requiredField<bool>(item, "isBuiltIn");
        const auto glyph = json::requiredField<QString>(item, "glyph");
        if (!id || !name || !description || !prompt || !builtIn || !glyph) {
            note(QStringLiteral("a transform lacks id, name, description, prompt, isBuiltIn or glyph"));
            continue;
        }
        Transform t{QUuid(*id), *name, *description, *prompt, std::nullopt, false, *glyph};
        if (t.id.isNull() || isBuiltInID(t.id) || seen.contains(t.id)) {
            note(QStringLiteral("not a usable id: %1").arg(*id));
            continue;
        }
        if (item.is_object() && item.contains("hotkey")) {
            t.hotkey = bindingFrom(item["hotkey"]);
            if (!t.hotkey) {
                note(QStringLiteral("the hotkey of %1 is not a binding").arg(*name));
                continue;
            }
        }
        seen.insert(t.id);
        list.append(std::move(t));
    }
    return list;
}

TransformService::TransformService(UserDefaults &defaults, TransformHotkeyRegistering &hotkeys, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_hotkeys(hotkeys)
{
    if (const auto data = m_defaults.data(QString::fromLatin1(kCustomKey))) {
        QString why;
        m_custom = decodeCustom(*data, &why);
        if (!why.isEmpty())
            logs::error(logs::transforms(), QStringLiteral("Failed to decode customs: %1").arg(why));
    }
    if (const auto data = m_defaults.data(QString::fromLatin1(kBuiltInHotkeysKey))) {
        if (const auto parsed = json::parse(*data); parsed && parsed->is_object()) {
            for (const auto &[key, value] : parsed->items()) {
                const QUuid id(QString::fromStdString(key));
                if (id.isNull())
                    continue;
                if (const auto binding = bindingFrom(value))
                    m_builtInHotkeys[id] = *binding;
            }
        }
    }
    rebuild();
}

std::optional<Transform> TransformService::transform(const QUuid &id) const
{
    for (const Transform &t : m_transforms) {
        if (t.id == id)
            return t;
    }
    return std::nullopt;
}

void TransformService::rebuild()
{
    QList<Transform> all = builtIns();
    for (Transform &t : all) {
        if (const auto found = m_builtInHotkeys.find(t.id); found != m_builtInHotkeys.end())
            t.hotkey = found->second;
    }
    all.append(m_custom);
    m_transforms = std::move(all);
    Q_EMIT transformsChanged();
}

void TransformService::saveCustom()
{
    m_defaults.set(QString::fromLatin1(kCustomKey), encodeCustom(m_custom));
}

void TransformService::saveBuiltInHotkeys()
{
    json::Json map = json::Json::object();
    for (const auto &[id, binding] : m_builtInHotkeys)
        map[idText(id).toStdString()] = bindingJson(binding);
    m_defaults.set(QString::fromLatin1(kBuiltInHotkeysKey), json::encode(map));
}

void TransformService::bind(const QUuid &id, const std::optional<HotkeyBinding> &binding)
{
    if (m_action)
        m_hotkeys.registerTransformHotkey(id, binding, m_action);
}

void TransformService::wireUp(std::function<void(QUuid)> action)
{
    m_action = std::move(action);
    for (const Transform &t : m_transforms) {
        if (t.hotkey)
            bind(t.id, t.hotkey);
    }
}

Transform TransformService::add(const QString &name, const QString &description, const QString &prompt,
                                std::optional<HotkeyBinding> hotkey)
{
    Transform t{QUuid::createUuid(), name, description, prompt, hotkey, false, QString::fromLatin1(kCustomGlyph)};
    m_custom.append(t);
    saveCustom();
    rebuild();
    if (hotkey)
        bind(t.id, hotkey);
    info(QStringLiteral("Transform added: %1 name=%2").arg(idText(t.id), name));
    return t;
}

void TransformService::setHotkey(const QUuid &id, std::optional<HotkeyBinding> binding)
{
    if (isBuiltInID(id)) {
        if (binding)
            m_builtInHotkeys[id] = *binding;
        else
            m_builtInHotkeys.erase(id);
        saveBuiltInHotkeys();
    } else {
        const auto found =
            std::find_if(m_custom.begin(), m_custom.end(), [&](const Transform &t) { return t.id == id; });
        if (found == m_custom.end()) {
            info(QStringLiteral("setHotkey(): unknown id %1").arg(idText(id)));
            return;
        }
        found->hotkey = binding;
        saveCustom();
    }
    rebuild();
    bind(id, binding);
}

void TransformService::update(const QUuid &id, const std::function<void(Transform &)> &mutate)
{
    const auto found = std::find_if(m_custom.begin(), m_custom.end(), [&](const Transform &t) { return t.id == id; });
    if (found == m_custom.end()) {
        info(QStringLiteral("update(): unknown id %1").arg(idText(id)));
        return;
    }
    const std::optional<HotkeyBinding> before = found->hotkey;
    mutate(*found);
    found->id = id; // the identity never changes
    found->isBuiltIn = false;
    const std::optional<HotkeyBinding> after = found->hotkey;
    saveCustom();
    rebuild();
    if (before != after)
        bind(id, after);
}

void TransformService::remove(const QUuid &id)
{
    if (isBuiltInID(id)) {
        info(QStringLiteral("delete(): built-in id %1 ignored").arg(idText(id)));
        return;
    }
    const auto found = std::find_if(m_custom.begin(), m_custom.end(), [&](const Transform &t) { return t.id == id; });
    if (found == m_custom.end())
        return;
    m_custom.erase(found);
    saveCustom();
    rebuild();
    bind(id, std::nullopt);
    info(QStringLiteral("Transform deleted: %1").arg(idText(id)));
}

} // namespace dravelin
