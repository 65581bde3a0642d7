#include "records.h"

#include <QJsonDocument>
#include <QJsonObject>

QByteArray encodeKnownApps(const KnownApps& known)
{
    QJsonObject root;
    for (auto it = known.cbegin(); it != known.cend(); ++it) {
        QJsonObject meta{{QStringLiteral("name"), it->name}};
        if (it->iconPath)
            meta.insert(QStringLiteral("iconPath"), *it->iconPath);
        root.insert(it.key(), meta);
    }
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

std::optional<KnownApps> decodeKnownApps(const QByteArray& json)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;

    KnownApps known;
    const QJsonObject root = document.object();
    for (auto it = root.constBegin(); it != root.constEnd(); ++it) {
        if (!it->isObject())
            return std::nullopt;
        const QJsonObject meta = it->toObject();
        const QJsonValue name = meta.value(QStringLiteral("name"));
        if (!name.isString())
            return std::nullopt;
        AppMeta decoded{name.toString(), std::nullopt};
        const QJsonValue iconPath = meta.value(QStringLiteral("iconPath"));
        if (iconPath.isString())
            decoded.iconPath = iconPath.toString();
        else if (!iconPath.isUndefined() && !iconPath.isNull())
            return std::nullopt;
        known.insert(it.key(), decoded);
    }
    return known;
}
