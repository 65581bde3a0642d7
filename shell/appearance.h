#pragma once

// Whether the popover is drawn light or dark: the desktop's preference, as
// the desktop portal publishes it (the freedesktop appearance setting
// "color-scheme"), followed live. Without a preference (no portal, no answer
// in time, or "no preference") the application palette decides, as for the
// rest of the desktop's Qt programs.

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>

#include <optional>

class QDBusPendingCallWatcher;

class Appearance : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool dark READ dark NOTIFY darkChanged)
public:
    // How long the portal has to answer; the popover is drawn meanwhile.
    static constexpr int kTimeoutMs = 500;

    // Asks the portal on bus (the session bus by default) without waiting.
    explicit Appearance(QObject* parent = nullptr);
    explicit Appearance(const QDBusConnection& bus, QObject* parent = nullptr);

    bool dark() const;

    // 1 is dark and 2 light; 0 ("no preference") and anything else leave it
    // to the palette.
    static std::optional<bool> darkFromColorScheme(const QVariant& value);

signals:
    void darkChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void onSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void read(const QString& method);
    void onReply(QDBusPendingCallWatcher* watcher, const QString& method);
    void update(std::optional<bool> preference);

    QDBusConnection m_bus;
    std::optional<bool> m_preference;
    bool m_dark = false;
    // A change signalled while the first answer was on its way is newer.
    bool m_signalled = false;
};
