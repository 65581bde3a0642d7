#pragma once

// A session bus of the test's own, so that nothing the test serves or asks
// reaches the user's desktop. Set as the session bus for the test's life.

#include "tied_to_test.h"

#include <QDBusConnection>
#include <QProcess>

class PrivateBus {
public:
    PrivateBus()
    {
        tieToTest(m_daemon);
        m_daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        if (!m_daemon.waitForReadyRead(5000))
            return;
        address = QString::fromUtf8(m_daemon.readLine().trimmed());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    }
    ~PrivateBus()
    {
        for (const QString& name : m_names)
            QDBusConnection::disconnectFromBus(name);
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_savedAddress);
        m_daemon.kill();
        m_daemon.waitForFinished();
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool running() const { return !address.isEmpty(); }

    // A connection of its own under name, as another process would have.
    QDBusConnection connect(const QString& name)
    {
        m_names.append(name);
        return QDBusConnection::connectToBus(address, name);
    }
    void disconnect(const QString& name) { QDBusConnection::disconnectFromBus(name); }

    QString address;

private:
    QProcess m_daemon;
    QByteArray m_savedAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    QStringList m_names;
};
