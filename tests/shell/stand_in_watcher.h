#pragma once

// The StatusNotifierWatcher as Plasma and GNOME's extension run it: it takes
// items and says whether a host shows them.

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>

#include <functional>

class StandInWatcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER hostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER items)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    bool hostRegistered = true;
    QStringList items;
    QStringList senders;
    std::function<void(const QString&)> onRegistered;

    int protocolVersion() const { return 0; }
    void announceHost()
    {
        hostRegistered = true;
        emit StatusNotifierHostRegistered();
    }
    bool serve(QDBusConnection bus)
    {
        return bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this, QDBusConnection::ExportAllContents)
            && bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    }

public slots:
    void RegisterStatusNotifierItem(const QString& service)
    {
        items.append(service);
        senders.append(message().service());
        if (onRegistered)
            onRegistered(service);
        emit StatusNotifierItemRegistered(service);
    }

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();
};
