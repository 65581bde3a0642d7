#include "build_settings.h"

#include "update_build_config.h"

QStringList defaultUpdateURLs()
{
    const QString path = QStringLiteral("/updates/ravlet.json");
    return {
        QStringLiteral("https://") + QStringLiteral(RAVLET_UPDATE_PRIMARY_HOST) + path,
        QStringLiteral("https://") + QStringLiteral(RAVLET_UPDATE_FALLBACK_HOST) + path,
    };
}

QUrl downloadPageURL()
{
    return QUrl(QStringLiteral("https://") + QStringLiteral(RAVLET_UPDATE_PRIMARY_HOST) + QStringLiteral("/ravlet/"));
}

QString programVersion()
{
    const QString version = QStringLiteral(RAVLET_PROGRAM_VERSION);
    return version.isEmpty() ? QStringLiteral("0.0.0") : version;
}
