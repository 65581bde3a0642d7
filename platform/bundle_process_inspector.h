#pragma once

// The macOS rule: a process belongs to the outermost ".app" bundle holding
// its executable, when that bundle lies under an "/Applications/" folder;
// otherwise to the bundle of the process responsible for it. Implementations
// supply the four system lookups the rule is made of (the simulation, and a
// macOS build with proc_pidpath and the private responsibility lookup).

#include "process_inspector.h"

#include <QStringList>

struct AppPath {
    QString path;   // the application id: the outermost ".app" bundle
    QString name;   // its display name without ".app"
};

class BundleProcessInspector : public ProcessInspector {
public:
    std::optional<AppIdentity> applicationOf(Pid pid, const FactsSource& facts) final;

    // proc_pidpath(): writes the NUL-terminated executable path into buffer
    // and returns its length, or 0 or less when the pid has no path.
    virtual int pidPath(Pid pid, char* buffer, std::uint32_t bufferSize) const = 0;
    // Whether the responsible-process lookup exists on this system.
    virtual bool hasResponsibilityLookup() const = 0;
    // The responsible process for pid, 0 or less for none. Only meaningful
    // when hasResponsibilityLookup() is true.
    virtual Pid responsiblePid(Pid pid) const = 0;
    // The name a file manager shows for path (for a bundle, with or without
    // its ".app").
    virtual QString displayNameAtPath(const QString& path) const = 0;
};

// "/a//b.app/c" → {"/", "a", "b.app", "c"}: the leading "/" is a component
// of its own, empty components are dropped.
QStringList pathComponents(const QString& path);
QString pathWithComponents(const QStringList& components);

// The outermost bundle holding pid's executable, and its display name.
std::optional<AppPath> exeAppPath(const BundleProcessInspector& processes, ProcessInspector::Pid pid);
