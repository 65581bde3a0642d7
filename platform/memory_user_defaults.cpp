#include "memory_user_defaults.h"

#include "system_log.h"

#include <cmath>

namespace {

// The file-backed store cannot keep these, so neither does this one: code
// tested against memory must not come to rely on values the program loses.
bool containsNonFiniteNumber(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::Double:
        return !std::isfinite(value.toDouble());
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        for (const QVariant& element : list) {
            if (containsNonFiniteNumber(element))
                return true;
        }
        return false;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (containsNonFiniteNumber(it.value()))
                return true;
        }
        return false;
    }
    default:
        return false;
    }
}

} // namespace

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
