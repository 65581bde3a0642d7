#pragma once

// The tray item as a StatusNotifierItem on the session bus: registered with
// the desktop's StatusNotifierWatcher, again whenever the watcher restarts
// (a panel that crashed or was replaced), showing the mixer symbol, the name
// and a tooltip, and passing on the click with its position, the wheel and
// the middle button.

#include "status_item.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QList>

#include <functional>

class StatusNotifierService;

// The protocol's icon and tooltip structures, (iiay) and (sa(iiay)ss): ARGB32
// pixels in network byte order.
namespace sni {
struct Pixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;
};
using Pixmaps = QList<Pixmap>;
struct ToolTip {
    QString iconName;
    Pixmaps pixmaps;
    QString title;
    QString text;
};
Pixmaps pixmapsOf(const QIcon& icon);
void registerTypes();
} // namespace sni

Q_DECLARE_METATYPE(sni::Pixmap)
Q_DECLARE_METATYPE(sni::ToolTip)
QDBusArgument& operator<<(QDBusArgument& argument, const sni::Pixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, sni::Pixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const sni::ToolTip& toolTip);
const QDBusArgument& operator>>(const QDBusArgument& argument, sni::ToolTip& toolTip);

class StatusNotifierItem final : public StatusItem {
    Q_OBJECT
public:
    static inline const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
    static inline const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
    static inline const QString kItemPath = QStringLiteral("/StatusNotifierItem");
    static inline const QString kMenuPath = QStringLiteral("/MenuBar");
    // The name under which an installed Ravlet's panel symbol is in the icon
    // theme: hosts draw it in the panel's own colours.
    static inline const QString kSymbolicIconName = QStringLiteral("io.morvik.ravlet-symbolic");

    // Takes its bus name and object at once; registers with the watcher
    // whenever one is there.
    StatusNotifierItem(const QDBusConnection& bus, const QIcon& icon, const QString& title,
                       QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    QRect geometry() const override { return m_anchor; }
    void setToolTip(const QString& text) override;
    void setMenu(StatusMenu* menu) override;
    QString surface() const override { return QStringLiteral("status notifier item"); }

    // Whether the bus name and the object could be taken.
    bool isExported() const { return m_exported; }

    // Whether a watcher runs with a host to show its items: answered to
    // receiver's then, within timeoutMs, false when nobody says.
    static void askForHost(const QDBusConnection& bus, int timeoutMs, QObject* receiver,
                           const std::function<void(bool)>& then);

    // Where the panel symbol is found, as the theme directory and the icon's
    // name; both empty when it is not installed beside the program or in
    // the data directories.
    struct ThemedIcon {
        QString themePath;
        QString name;
    };
    static ThemedIcon installedSymbolicIcon();

private:
    friend class StatusNotifierService;

    void registerWithWatcher();
    void activate(int x, int y);
    void scroll(const QString& sender, int delta, const QString& orientation);
    bool fromGnomeShell(const QString& sender) const { return !sender.isEmpty() && sender == m_gnomeShellOwner; }
    void followGnomeShell();

    QDBusConnection m_bus;
    StatusNotifierService* m_service = nullptr;
    QString m_serviceName;
    bool m_exported = false;
    bool m_hasMenu = false;
    QRect m_anchor;
    int m_pendingDelta = 0;
    // The unique name that owns org.gnome.Shell, kept by a watcher: a peer's
    // call never costs a lookup, and nothing is kept per peer.
    QString m_gnomeShellOwner;
};
