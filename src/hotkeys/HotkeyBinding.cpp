#include "hotkeys/HotkeyBinding.h"

#include "core/Json.h"
#include "platform/KeyboardLayout.h"

#include <limits>

namespace dravelin {

namespace {

struct FixedName
{
    quint16 code;
    const char16_t *label;
};

constexpr FixedName kFixedNames[] = {
    {36, u"↩"},     {48, u"⇥"},    {49, u"␣"},    {51, u"⌫"},    {53, u"⎋"},    {117, u"⌦"},   {115, u"↖"},
    {119, u"↘"},    {116, u"⇞"},   {121, u"⇟"},   {123, u"←"},   {124, u"→"},   {125, u"↓"},   {126, u"↑"},
    {114, u"Help"}, {24, u"="},    {27, u"-"},    {30, u"]"},    {33, u"["},    {39, u"'"},    {41, u";"},
    {42, u"\\"},    {43, u","},    {44, u"/"},    {47, u"."},    {50, u"`/~"},  {122, u"F1"},  {120, u"F2"},
    {99, u"F3"},    {118, u"F4"},  {96, u"F5"},   {97, u"F6"},   {98, u"F7"},   {100, u"F8"},  {101, u"F9"},
    {109, u"F10"},  {103, u"F11"}, {111, u"F12"}, {105, u"F13"}, {107, u"F14"}, {113, u"F15"}, {106, u"F16"},
    {64, u"F17"},   {79, u"F18"},  {80, u"F19"},  {54, u"⌘"},    {55, u"⌘"},    {56, u"⇧"},    {60, u"⇧"},
    {58, u"⌥"},     {61, u"⌥"},    {59, u"⌃"},    {62, u"⌃"},    {63, u"Fn"},
};

} // namespace

bool HotkeyBinding::isModifierKeyCode(quint16 code)
{
    switch (code) {
    case 54:
    case 55:
    case 56:
    case 60:
    case 58:
    case 61:
    case 59:
    case 62:
    case 63:
        return true;
    default:
        return false;
    }
}

bool HotkeyBinding::isValid() const
{
    if (keyCode == keycode::none)
        return false;
    if (isModifierKeyCode(keyCode))
        return modifiers == 0;
    return keyCode != keycode::capsLock;
}

bool HotkeyBinding::isBareModifier() const
{
    return modifiers == 0 && isModifierKeyCode(keyCode);
}

QString HotkeyBinding::modifierGlyphs(quint32 mods)
{
    QString out;
    if (mods & modifier::control)
        out += u'⌃';
    if (mods & modifier::option)
        out += u'⌥';
    if (mods & modifier::shift)
        out += u'⇧';
    if (mods & modifier::command)
        out += u'⌘';
    return out;
}

QString HotkeyBinding::displayString(const KeyboardLayout *layout) const
{
    return modifierGlyphs(modifiers) + keyName(keyCode, layout);
}

QString HotkeyBinding::keyName(quint16 code, const KeyboardLayout *layout)
{
    for (const auto &fixed : kFixedNames) {
        if (fixed.code == code)
            return QString::fromUtf16(fixed.label);
    }
    const auto characters = layout ? layout->characters(code) : std::nullopt;
    if (!characters)
        return QStringLiteral("?");
    if (characters->isEmpty())
        return QStringLiteral("Key#%1").arg(code);
    return characters->toUpper();
}

QByteArray HotkeyBinding::toJson() const
{
    json::Json j;
    j["keyCode"] = keyCode;
    j["modifiers"] = modifiers;
    return json::encode(j);
}

Expected<HotkeyBinding, QString> HotkeyBinding::fromJson(const QByteArray &bytes)
{
    auto parsed = json::parse(bytes);
    if (!parsed)
        return Unexpected{parsed.error().message};
    auto key = json::requiredField<qint64>(*parsed, "keyCode");
    if (!key)
        return Unexpected{key.error().message};
    auto mods = json::requiredField<qint64>(*parsed, "modifiers");
    if (!mods)
        return Unexpected{mods.error().message};
    if (*key < 0 || *key > std::numeric_limits<quint16>::max())
        return Unexpected{QStringLiteral("keyCode %1 is out of range").arg(*key)};
    if (*mods < 0 || *mods > std::numeric_limits<quint32>::max())
        return Unexpected{QStringLiteral("modifiers %1 are out of range").arg(*mods)};
    return HotkeyBinding{static_cast<quint16>(*key), static_cast<quint32>(*mods)};
}

} // namespace dravelin
