#include "update_manifest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

std::optional<UpdateInfo> decodeUpdateInfo(const QByteArray& body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;

    const QJsonObject object = document.object();
    const QJsonValue version = object.value(QLatin1String("version"));
    const QJsonValue url = object.value(QLatin1String("url"));
    const QJsonValue notes = object.value(QLatin1String("notes"));
    if (!version.isString() || !url.isString())
        return std::nullopt;
    if (!notes.isString() && !notes.isNull() && !notes.isUndefined())
        return std::nullopt;

    UpdateInfo info{version.toString(), url.toString(), std::nullopt};
    if (notes.isString())
        info.notes = notes.toString();
    return info;
}
