#include "dbus_menu.h"

#include "status_menu.h"

#include <QAction>
#include <QDBusMetaType>
#include <QGuiApplication>
#include <QTimer>

namespace dbusmenu {

void registerTypes()
{
    qDBusRegisterMetaType<LayoutItem>();
    qDBusRegisterMetaType<ItemProperties>();
    qDBusRegisterMetaType<ItemPropertiesList>();
    qDBusRegisterMetaType<RemovedProperties>();
    qDBusRegisterMetaType<RemovedPropertiesList>();
    qDBusRegisterMetaType<Event>();
    qDBusRegisterMetaType<EventList>();
}

} // namespace dbusmenu

QDBusArgument& operator<<(QDBusArgument& argument, const dbusmenu::LayoutItem& item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    // The children are variants, each holding a layout item of its own.
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const dbusmenu::LayoutItem& child : item.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, dbusmenu::LayoutItem& item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.beginArray();
    item.children.clear();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        item.children.append(qdbus_cast<dbusmenu::LayoutItem>(child.variant()));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const dbusmenu::ItemProperties& item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, dbusmenu::ItemProperties& item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const dbusmenu::RemovedProperties& item)
{
    argument.beginStructure();
    argument << item.id << item.names;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, dbusmenu::RemovedProperties& item)
{
    argument.beginStructure();
    argument >> item.id >> item.names;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const dbusmenu::Event& event)
{
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, dbusmenu::Event& event)
{
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

namespace {

// Qt marks the mnemonic with "&", the protocol with "_".
QString label(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('&') && i + 1 < text.size()) {
            out += text[++i] == QLatin1Char('&') ? QStringLiteral("&") : QStringLiteral("_") + text[i];
        } else if (c == QLatin1Char('_')) {
            out += QStringLiteral("__");
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

DBusMenuExporter::DBusMenuExporter(StatusMenu* menu, QObject* parent)
    : QObject(parent)
    , m_menu(menu)
{
    dbusmenu::registerTypes();
    for (QAction* entry : m_menu->actions())
        connect(entry, &QAction::changed, this, &DBusMenuExporter::changed);
}

QString DBusMenuExporter::textDirection() const
{
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl") : QStringLiteral("ltr");
}

QAction* DBusMenuExporter::action(int id) const
{
    const QList<QAction*> entries = m_menu ? m_menu->actions() : QList<QAction*>{};
    return id >= 1 && id <= entries.size() ? entries[id - 1] : nullptr;
}

QVariantMap DBusMenuExporter::properties(int id, const QStringList& names) const
{
    QVariantMap all;
    if (id == 0) {
        all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    } else if (const QAction* entry = action(id)) {
        all.insert(QStringLiteral("visible"), entry->isVisible());
        if (entry->isSeparator()) {
            all.insert(QStringLiteral("type"), QStringLiteral("separator"));
        } else {
            all.insert(QStringLiteral("label"), label(entry->text()));
            all.insert(QStringLiteral("enabled"), entry->isEnabled());
            if (entry->isCheckable()) {
                all.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
                all.insert(QStringLiteral("toggle-state"), entry->isChecked() ? 1 : 0);
            }
        }
    }
    if (names.isEmpty())
        return all;
    QVariantMap asked;
    for (const QString& name : names) {
        if (all.contains(name))
            asked.insert(name, all.value(name));
    }
    return asked;
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                 dbusmenu::LayoutItem& layout)
{
    if (parentId != 0 && !action(parentId)) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no menu entry %1").arg(parentId));
        return 0;
    }
    layout = {parentId, properties(parentId, propertyNames), {}};
    if (parentId == 0 && recursionDepth != 0 && m_menu) {
        for (int id = 1; id <= m_menu->actions().size(); ++id)
            layout.children.append({id, properties(id, propertyNames), {}});
    }
    return m_revision;
}

dbusmenu::ItemPropertiesList DBusMenuExporter::GetGroupProperties(const QList<int>& ids,
                                                                  const QStringList& propertyNames)
{
    dbusmenu::ItemPropertiesList list;
    for (const int id : ids) {
        if (id == 0 || action(id))
            list.append({id, properties(id, propertyNames)});
    }
    return list;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString& name)
{
    const QVariantMap all = properties(id, {});
    if (!all.contains(name)) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no property %1 of entry %2").arg(name).arg(id));
        return {};
    }
    return QDBusVariant(all.value(name));
}

void DBusMenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint)
{
    if (!clicked(id, eventId) && id != 0 && !action(id))
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no menu entry %1").arg(id));
}

QList<int> DBusMenuExporter::EventGroup(const dbusmenu::EventList& events)
{
    QList<int> unknown;
    for (const dbusmenu::Event& event : events) {
        if (!clicked(event.id, event.eventId) && event.id != 0 && !action(event.id))
            unknown.append(event.id);
    }
    return unknown;
}

bool DBusMenuExporter::AboutToShow(int id)
{
    if (id != 0 || !m_menu)
        return false;
    // Those who fill the menu bring its entries up to date now.
    const uint before = m_revision;
    emit m_menu->aboutToShow();
    return m_revision != before;
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors)
{
    QList<int> updates;
    for (const int id : ids) {
        if (id != 0 && !action(id))
            idErrors.append(id);
        else if (AboutToShow(id))
            updates.append(id);
    }
    return updates;
}

void DBusMenuExporter::changed()
{
    // Several entries change at once when the menu is brought up to date:
    // one announcement for all of them.
    if (m_revision++ != m_announced)
        return;
    QTimer::singleShot(0, this, [this] {
        m_announced = m_revision;
        emit LayoutUpdated(m_revision, 0);
    });
}

bool DBusMenuExporter::clicked(int id, const QString& eventId)
{
    QAction* entry = action(id);
    if (!entry || eventId != QLatin1String("clicked"))
        return false;
    // After the reply: a click may end the program.
    if (entry->isEnabled())
        QTimer::singleShot(0, entry, &QAction::trigger);
    return true;
}
