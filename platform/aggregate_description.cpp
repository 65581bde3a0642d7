#include "aggregate_description.h"

std::optional<QVariantList> descriptionList(const QVariantMap& description, const char* key)
{
    const QVariant value = description.value(QLatin1String(key));
    if (!value.isValid())
        return QVariantList();
    if (value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QByteArray
        || !value.canConvert<QVariantList>())
        return std::nullopt;
    return value.toList();
}

QString entryUID(const QVariant& entry, const char* key)
{
    return entry.toMap().value(QLatin1String(key)).toString();
}
