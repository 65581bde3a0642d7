#pragma once

// The user's settings kept in one human-readable JSON file. Each write
// replaces the file atomically. A file that cannot be read or parsed is moved
// aside, never deleted, and the store starts empty.

#include "user_defaults.h"

#include <QJsonObject>

class JsonUserDefaults final : public UserDefaults {
public:
    explicit JsonUserDefaults(QString filePath);

    // <config dir>/ravlet/defaults.json
    static QString defaultFilePath();

    QVariant value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    void removeValue(const QString& key) override;

    QString filePath() const { return m_filePath; }
    // Where an unreadable file was moved at construction, if one was.
    QString movedAsidePath() const { return m_movedAsidePath; }

private:
    void load();
    void persist();

    QString m_filePath;
    QString m_movedAsidePath;
    QJsonObject m_document;   // values in their stored (encoded) form
    // Set when an unreadable file could not be moved aside: saving would
    // replace it.
    bool m_persistBlocked = false;
    QString m_lastSaveProblem;   // empty while saving works
};
