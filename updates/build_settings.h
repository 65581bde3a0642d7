#pragma once

// What the build decides about updates: where the manifest lives and which
// version this program is (CMake: RAVLET_UPDATE_PRIMARY_HOST,
// RAVLET_UPDATE_FALLBACK_HOST and project(Ravlet VERSION …)).

#include <QString>
#include <QStringList>

// The manifest on the primary host, then on the fallback host.
QStringList defaultUpdateURLs();

// The program's own version, "0.0.0" when the build gives none.
QString programVersion();
