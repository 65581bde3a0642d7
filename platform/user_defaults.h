#pragma once

// The user's settings: a store of typed values under string keys. The types
// are those of a property list: string (QString), number (double), bool,
// array (QVariantList), dictionary (QVariantMap) and data (QByteArray);
// arrays and dictionaries nest. Every write is persisted at once.

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    // An invalid QVariant when the key is absent.
    virtual QVariant value(const QString& key) const = 0;
    virtual void setValue(const QString& key, const QVariant& value) = 0;
    virtual void removeValue(const QString& key) = 0;

    // Typed reads: nothing when absent or of another type.
    std::optional<QVariantList> array(const QString& key) const;
    std::optional<QVariantMap> dictionary(const QString& key) const;
    std::optional<QByteArray> data(const QString& key) const;
};

// True when value is one of the storable types, recursively.
bool isStorableDefaultsValue(const QVariant& value);
// True when value holds an infinity or a NaN anywhere: no persistent store
// keeps those, so none accepts them, and code tested against memory cannot
// come to rely on values the program loses.
bool containsNonFiniteNumber(const QVariant& value);
