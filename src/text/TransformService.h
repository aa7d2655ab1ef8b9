#pragma once

#include "hotkeys/HotkeyBinding.h"
#include "hotkeys/HotkeyHandling.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>

namespace dravelin {

class UserDefaults;

// A named instruction that rewrites the selected text: one of six built-ins or
// the user's own.
struct Transform
{
    QUuid id;
    QString name;
    QString description;
    QString prompt; // the instruction sent with the text
    std::optional<HotkeyBinding> hotkey;
    bool isBuiltIn = false; // built-ins keep their words; only their hotkey changes
    QString glyph;          // an icon name

    bool operator==(const Transform &) const = default;
};

// The catalogue of transforms (the built-ins, then the user's in the order
// they were added), their storage in the settings, and their hotkeys.
// Main-thread only.
class TransformService final : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kCustomKey = "transforms.custom";
    static constexpr const char *kBuiltInHotkeysKey = "transforms.builtin.hotkeys";
    static const QUuid conciseID;

    TransformService(UserDefaults &defaults, TransformHotkeyRegistering &hotkeys, QObject *parent = nullptr);

    const QList<Transform> &transforms() const { return m_transforms; }
    std::optional<Transform> transform(const QUuid &id) const;

    // Binds every transform's hotkey to `action` (called with its id).
    void wireUp(std::function<void(QUuid)> action);

    Transform add(const QString &name, const QString &description, const QString &prompt,
                  std::optional<HotkeyBinding> hotkey);
    void setHotkey(const QUuid &id, std::optional<HotkeyBinding> binding);
    // Changes one of the user's transforms in place (built-ins change only
    // their hotkey, through setHotkey).
    void update(const QUuid &id, const std::function<void(Transform &)> &mutate);
    void remove(const QUuid &id);

    static QList<Transform> builtIns();
    // The stored forms, for tests and the settings file.
    static QByteArray encodeCustom(const QList<Transform> &transforms);
    static QList<Transform> decodeCustom(const QByteArray &data, QString *error = nullptr);

Q_SIGNALS:
    void transformsChanged();

private:
    void rebuild();
    void saveCustom();
    void saveBuiltInHotkeys();
    void bind(const QUuid &id, const std::optional<HotkeyBinding> &binding);

    UserDefaults &m_defaults;
    TransformHotkeyRegistering &m_hotkeys;
    std::function<void(QUuid)> m_action;
    QList<Transform> m_custom;
    std::map<QUuid, HotkeyBinding> m_builtInHotkeys;
    QList<Transform> m_transforms;
};

} // namespace dravelin
