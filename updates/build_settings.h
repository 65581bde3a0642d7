#pragma once

// What the build decides about updates: where the manifest lives and which
// version this program is (CMake: RAVLET_UPDATE_PRIMARY_HOST,
// RAVLET_UPDATE_FALLBACK_HOST and project(Ravlet VERSION …)).

#include <QString>
#include <QStringList>
#include <QUrl>

// The manifest on the primary host, then on the fallback host.
QStringList defaultUpdateURLs();

// The download page on the primary host, for programs the package manager
// updates: https://<primary host>/ravlet/.
QUrl downloadPageURL();

// The program's own version, "0.0.0" when the build gives none.
QString programVersion();
