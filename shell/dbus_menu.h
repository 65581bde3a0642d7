#pragma once

// A menu offered over D-Bus as com.canonical.dbusmenu, the protocol in which
// tray hosts (Plasma, GNOME's AppIndicator extension) draw the menus of
// StatusNotifierItems: they read its layout, ask before showing it, and send
// the clicks back. The status menu's actions stay the one description of
// the menu; the other tray surfaces show them as a widget menu.

#include <QDBusArgument>
#include <QDBusContext>
#include <QDBusVariant>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

class QAction;
class StatusMenu;

namespace dbusmenu {
struct LayoutItem {
    int id = 0;
    QVariantMap properties;
    QList<LayoutItem> children;
};
struct ItemProperties {
    int id = 0;
    QVariantMap properties;
};
using ItemPropertiesList = QList<ItemProperties>;
struct RemovedProperties {
    int id = 0;
    QStringList names;
};
using RemovedPropertiesList = QList<RemovedProperties>;
struct Event {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using EventList = QList<Event>;
void registerTypes();
} // namespace dbusmenu

Q_DECLARE_METATYPE(dbusmenu::LayoutItem)
Q_DECLARE_METATYPE(dbusmenu::ItemProperties)
Q_DECLARE_METATYPE(dbusmenu::RemovedProperties)
Q_DECLARE_METATYPE(dbusmenu::Event)
QDBusArgument& operator<<(QDBusArgument& argument, const dbusmenu::LayoutItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, dbusmenu::LayoutItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const dbusmenu::ItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, dbusmenu::ItemProperties& item);
QDBusArgument& operator<<(QDBusArgument& argument, const dbusmenu::RemovedProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, dbusmenu::RemovedProperties& item);
QDBusArgument& operator<<(QDBusArgument& argument, const dbusmenu::Event& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, dbusmenu::Event& event);

// The menu's entries are its actions, id 1 and on in their order; 0 is the
// menu itself. A changed action announces a new layout.
class DBusMenuExporter : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)
public:
    explicit DBusMenuExporter(StatusMenu* menu, QObject* parent = nullptr);

    uint version() const { return 3; }
    QString textDirection() const;
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   dbusmenu::LayoutItem& layout);
    dbusmenu::ItemPropertiesList GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    QDBusVariant GetProperty(int id, const QString& name);
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    QList<int> EventGroup(const dbusmenu::EventList& events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    void ItemsPropertiesUpdated(const dbusmenu::ItemPropertiesList& updated,
                                const dbusmenu::RemovedPropertiesList& removed);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

private:
    QAction* action(int id) const;
    QVariantMap properties(int id, const QStringList& names) const;
    void changed();
    bool clicked(int id, const QString& eventId);

    QPointer<StatusMenu> m_menu;
    uint m_revision = 1;
    uint m_announced = 1;
};
