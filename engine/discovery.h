#pragma once

// Attributing an audio process to the application it belongs to.

#include "process_inspector.h"

#include <QString>
#include <QStringList>

#include <optional>

struct AppPath {
    QString path;   // the application id: the outermost ".app" bundle
    QString name;   // its display name without ".app"
};

// "/a//b.app/c" → {"/", "a", "b.app", "c"}: the leading "/" is a component
// of its own, empty components are dropped.
QStringList pathComponents(const QString& path);
QString pathWithComponents(const QStringList& components);

// The outermost bundle holding pid's executable, and its display name.
std::optional<AppPath> exeAppPath(const ProcessInspector& processes, ProcessInspector::Pid pid);

// Audio-routing tools that are never listed, matched by name fragment.
bool isInfraApp(const QString& name);
