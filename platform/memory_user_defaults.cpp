#include "memory_user_defaults.h"

#include "system_log.h"

QVariant MemoryUserDefaults::value(const QString& key) const
{
    return m_values.value(key);
}

void MemoryUserDefaults::setValue(const QString& key, const QVariant& value)
{
    if (!isStorableDefaultsValue(value) || containsNonFiniteNumber(value)) {
        systemLog(QStringLiteral("[ravlet] did not store setting \"%1\": it is not a storable value").arg(key));
        return;
    }
    m_values.insert(key, value);
    ++m_writes[key];
}

void MemoryUserDefaults::removeValue(const QString& key)
{
    // Counted like the file store writes: removing nothing saves nothing.
    if (m_values.remove(key) > 0)
        ++m_writes[key];
}
