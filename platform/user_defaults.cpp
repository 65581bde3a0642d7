#include "user_defaults.h"

#include <cmath>

std::optional<QVariantList> UserDefaults::array(const QString& key) const
{
    const QVariant stored = value(key);
    if (stored.metaType().id() != QMetaType::QVariantList)
        return std::nullopt;
    return stored.toList();
}

std::optional<QVariantMap> UserDefaults::dictionary(const QString& key) const
{
    const QVariant stored = value(key);
    if (stored.metaType().id() != QMetaType::QVariantMap)
        return std::nullopt;
    return stored.toMap();
}

std::optional<QByteArray> UserDefaults::data(const QString& key) const
{
    const QVariant stored = value(key);
    if (stored.metaType().id() != QMetaType::QByteArray)
        return std::nullopt;
    return stored.toByteArray();
}

bool isStorableDefaultsValue(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::QString:
    case QMetaType::Double:
    case QMetaType::Bool:
    case QMetaType::QByteArray:
        return true;
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        for (const QVariant& element : list) {
            if (!isStorableDefaultsValue(element))
                return false;
        }
        return true;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!isStorableDefaultsValue(it.value()))
                return false;
        }
        return true;
    }
    default:
        return false;
    }
}

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

