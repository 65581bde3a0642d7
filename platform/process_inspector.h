#pragma once

// What the engine asks the operating system about processes: its own pid,
// the executable path of another, the process responsible for it (a private
// lookup that may be missing) and the file manager's display name of a path.

#include <QString>

#include <cstdint>

class ProcessInspector {
public:
    using Pid = std::int32_t;

    virtual ~ProcessInspector() = default;

    // getpid()
    virtual Pid currentPid() const = 0;

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
