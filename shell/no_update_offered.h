#pragma once

// What the update pill reads when no update checker runs (screenshots,
// measurements, tests): nothing is offered.

#include <QObject>
#include <QString>

class NoUpdateOffered : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool updateAvailable READ updateAvailable CONSTANT)
    Q_PROPERTY(QString latestVersion READ latestVersion CONSTANT)
    Q_PROPERTY(QString downloadURL READ downloadURL CONSTANT)
public:
    using QObject::QObject;
    bool updateAvailable() const { return false; }
    QString latestVersion() const { return {}; }
    QString downloadURL() const { return {}; }
};
