#pragma once

// Process inspection on Linux: /proc for executable paths, no responsible-
// process lookup (the system has none), the path's last component as its
// display name.

#include "process_inspector.h"

class LinuxProcessInspector final : public ProcessInspector {
public:
    Pid currentPid() const override;
    int pidPath(Pid pid, char* buffer, std::uint32_t bufferSize) const override;
    bool hasResponsibilityLookup() const override;
    Pid responsiblePid(Pid pid) const override;
    QString displayNameAtPath(const QString& path) const override;
};
