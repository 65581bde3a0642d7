#pragma once

// The settings in the application's own preferences domain (its bundle
// identifier), through CFPreferences: each value a property list of the
// types UserDefaults allows, each write synchronised at once. A stored value
// of a type no setting has reads as absent. Main thread only.

#include "user_defaults.h"

class CFPreferencesUserDefaults : public UserDefaults {
public:
    explicit CFPreferencesUserDefaults(QString applicationID = QStringLiteral("io.morvik.ravlet"));

    QVariant value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    void removeValue(const QString& key) override;

private:
    // A new reference to the stored property list, or null.
    const void* copyStored(const QString& key) const;
    void write(const QString& key, const void* list);

    QString m_applicationID;
};
