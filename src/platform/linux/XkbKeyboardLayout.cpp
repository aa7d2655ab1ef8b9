#include "platform/linux/XkbKeyboardLayout.h"

#include "platform/linux/MacKeyCodes.h"

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

namespace dravelin::nix {

struct XkbKeyboardLayout::Impl
{
    xkb_context *context = nullptr;
    xkb_keymap *keymap = nullptr;
    xkb_layout_index_t layoutIndex = 0;
    QString source;

    ~Impl()
    {
        if (keymap)
            xkb_keymap_unref(keymap);
        if (context)
            xkb_context_unref(context);
    }
};

XkbKeyboardLayout::XkbKeyboardLayout() : d(std::make_unique<Impl>())
{
    d->context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
}

XkbKeyboardLayout::~XkbKeyboardLayout() = default;

std::unique_ptr<XkbKeyboardLayout> XkbKeyboardLayout::fromSession()
{
    std::unique_ptr<XkbKeyboardLayout> layout(new XkbKeyboardLayout());
    if (!layout->d->context) {
        layout->d->source = QStringLiteral("no xkbcommon context");
        return layout;
    }
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
        if (connection && !xcb_connection_has_error(connection) &&
            xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                        XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr)) {
            const int32_t device = xkb_x11_get_core_keyboard_device_id(connection);
            if (device >= 0) {
                layout->d->keymap =
                    xkb_x11_keymap_new_from_device(layout->d->context, connection, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
                if (xkb_state *state = layout->d->keymap
                                           ? xkb_x11_state_new_from_device(layout->d->keymap, connection, device)
                                           : nullptr) {
                    layout->d->layoutIndex = xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE);
                    xkb_state_unref(state);
                }
            }
        }
        if (connection)
            xcb_disconnect(connection);
        if (layout->d->keymap) {
            layout->d->source = QStringLiteral("X11 display %1").arg(qEnvironmentVariable("DISPLAY"));
            return layout;
        }
    }
    const QString names = qEnvironmentVariable("XKB_DEFAULT_LAYOUT");
    layout->d->keymap = xkb_keymap_new_from_names(layout->d->context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
    layout->d->source = layout->d->keymap
                            ? QStringLiteral("default names %1").arg(names.isEmpty() ? QStringLiteral("us") : names)
                            : QStringLiteral("no keyboard layout data found");
    return layout;
}

std::unique_ptr<XkbKeyboardLayout> XkbKeyboardLayout::fromNames(const QString &layoutName, const QString &variant)
{
    std::unique_ptr<XkbKeyboardLayout> layout(new XkbKeyboardLayout());
    if (!layout->d->context)
        return layout;
    const QByteArray layoutBytes = layoutName.toUtf8();
    const QByteArray variantBytes = variant.toUtf8();
    xkb_rule_names names{};
    names.layout = layoutBytes.constData();
    names.variant = variant.isEmpty() ? nullptr : variantBytes.constData();
    layout->d->keymap = xkb_keymap_new_from_names(layout->d->context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    layout->d->source = layout->d->keymap ? QStringLiteral("names %1").arg(layoutName)
                                          : QStringLiteral("no keyboard layout data for %1").arg(layoutName);
    return layout;
}

bool XkbKeyboardLayout::isLoaded() const
{
    return d->keymap != nullptr;
}

QString XkbKeyboardLayout::source() const
{
    return d->source;
}

std::optional<QString> XkbKeyboardLayout::characters(quint16 keyCode) const
{
    if (!d->keymap)
        return std::nullopt;
    const auto evdev = evdevFromVirtualKey(keyCode);
    if (!evdev)
        return QString();
    xkb_state *state = xkb_state_new(d->keymap);
    if (!state)
        return std::nullopt;
    xkb_mod_mask_t locked = 0;
    if (isKeypadVirtualKey(keyCode)) {
        const xkb_mod_index_t numLock = xkb_keymap_mod_get_index(d->keymap, XKB_MOD_NAME_NUM);
        if (numLock != XKB_MOD_INVALID)
            locked = 1u << numLock;
    }
    xkb_state_update_mask(state, 0, 0, locked, 0, 0, d->layoutIndex);
    char buffer[16] = {};
    const int length = xkb_state_key_get_utf8(state, static_cast<xkb_keycode_t>(*evdev + 8), buffer, sizeof buffer);
    xkb_state_unref(state);
    if (length <= 0 || length >= static_cast<int>(sizeof buffer))
        return QString();
    QString text = QString::fromUtf8(buffer, length);
    for (QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return QString(); // Enter, Tab and the like type no visible character
    }
    return text;
}

} // namespace dravelin::nix
