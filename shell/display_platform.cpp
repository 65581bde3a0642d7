#include "display_platform.h"

QByteArray preferredPlatform(const QProcessEnvironment& environment)
{
    if (!environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty())
        return {};
    const bool wayland = environment.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland")
        || !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
    // XWayland sets DISPLAY for the session's programs when it runs.
    if (!wayland || environment.value(QStringLiteral("DISPLAY")).isEmpty())
        return {};
    return QByteArrayLiteral("xcb");
}
