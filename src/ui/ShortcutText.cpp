#include "ui/ShortcutText.h"

#include <QStringList>

namespace dravelin::ui {

namespace {

struct KeyLabel
{
    quint16 code;
    const char *name;
};

// Keys whose labels are names rather than the characters they type.
constexpr KeyLabel kNamedKeys[] = {
    {36, "Enter"},       {48, "Tab"},  {49, "Space"},     {51, "Backspace"},  {53, "Esc"},         {117, "Delete"},
    {115, "Home"},       {119, "End"}, {116, "Page Up"},  {121, "Page Down"}, {123, "Left"},       {124, "Right"},
    {125, "Down"},       {126, "Up"},  {114, "Insert"},   {54, "Right Ctrl"}, {55, "Ctrl"},        {56, "Shift"},
    {60, "Right Shift"}, {58, "Alt"},  {61, "Right Alt"}, {59, "Super"},      {62, "Right Super"}, {63, "Fn"},
    {57, "Caps Lock"},   {122, "F1"},  {120, "F2"},       {99, "F3"},         {118, "F4"},         {96, "F5"},
    {97, "F6"},          {98, "F7"},   {100, "F8"},       {101, "F9"},        {109, "F10"},        {103, "F11"},
    {111, "F12"},
};

} // namespace

QString shortcutText(const HotkeyBinding &binding, const KeyboardLayout *layout)
{
    QStringList parts;
    // The order most Linux desktops use.
    if (binding.modifiers & modifier::control)
        parts << QStringLiteral("Super");
    if (binding.modifiers & modifier::command)
        parts << QStringLiteral("Ctrl");
    if (binding.modifiers & modifier::option)
        parts << QStringLiteral("Alt");
    if (binding.modifiers & modifier::shift)
        parts << QStringLiteral("Shift");
    if (binding.keyCode == keycode::none) {
        parts << QStringLiteral("…");
        return parts.join(QLatin1Char('+'));
    }
    QString key;
    for (const KeyLabel &named : kNamedKeys) {
        if (named.code == binding.keyCode)
            key = QString::fromLatin1(named.name);
    }
    if (key.isEmpty())
        key = HotkeyBinding::keyName(binding.keyCode, layout);
    parts << key;
    return parts.join(QLatin1Char('+'));
}

} // namespace dravelin::ui
