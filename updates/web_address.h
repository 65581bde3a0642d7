#pragma once

#include <QUrl>

// An http or https URL with a host: the only kind the updates hand to the
// browser. Anything else (file:, data:, custom schemes) could read local
// files or start other programs.
inline bool isWebAddress(const QUrl& url)
{
    const QString scheme = url.scheme();
    return url.isValid() && !url.host().isEmpty()
        && (scheme == QLatin1String("https") || scheme == QLatin1String("http"));
}

// The only kind the updates fetch anything from.
inline bool isHttpsAddress(const QUrl& url)
{
    return isWebAddress(url) && url.scheme() == QLatin1String("https");
}
