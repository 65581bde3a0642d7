#pragma once

// Starting Ravlet when the user logs in, as the menus show it: a check item
// that reads `enabled` and `text` and calls setEnabled. Each system keeps the
// truth itself (an autostart entry on disk, the login items of macOS), so
// `enabled` is what the system said at the last reload or attempt, and
// enabledChanged is announced after each one even when nothing changed: a
// check item the user toggled falls back to the truth when the change failed.
// Main thread only.

#include <QObject>
#include <QString>

class StartAtLogin : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled NOTIFY enabledChanged)
    Q_PROPERTY(QString text READ text NOTIFY enabledChanged)
public:
    using QObject::QObject;

    virtual bool enabled() const = 0;
    // The item's words; they say so when the system waits for the user.
    virtual QString text() const { return QStringLiteral("Start at Login"); }

    // Asks the system again: the setting may have been changed elsewhere.
    Q_INVOKABLE virtual void reload() = 0;
    Q_INVOKABLE virtual void setEnabled(bool enabled) = 0;

signals:
    void enabledChanged();
};
