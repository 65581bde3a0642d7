#pragma once

// Settings held in memory only, for tests and for a run that must not touch
// the user's files. Counts writes per key so tests can see what was saved.

#include "user_defaults.h"

#include <QHash>

class MemoryUserDefaults final : public UserDefaults {
public:
    QVariant value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    void removeValue(const QString& key) override;

    int writeCount(const QString& key) const { return m_writes.value(key); }

private:
    QVariantMap m_values;
    QHash<QString, int> m_writes;
};
