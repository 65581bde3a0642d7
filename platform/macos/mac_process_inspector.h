#pragma once

// The bundle rule's lookups on macOS: proc_pidpath, the private
// responsibility lookup (found at run time, absent on some systems) and the
// file manager's display name. Main thread only.

#include "bundle_process_inspector.h"

class MacProcessInspector final : public BundleProcessInspector {
public:
    using ResponsibilityLookup = int (*)(int pid);

    // The lookup is resolved once, by symbol name; a name that does not
    // resolve leaves the rule without it.
    explicit MacProcessInspector(const char* responsibilitySymbol = "responsibility_get_pid_responsible_for_pid");

    Pid currentPid() const override;
    int pidPath(Pid pid, char* buffer, std::uint32_t bufferSize) const override;
    bool hasResponsibilityLookup() const override;
    Pid responsiblePid(Pid pid) const override;
    QString displayNameAtPath(const QString& path) const override;

private:
    ResponsibilityLookup m_responsibility = nullptr;
};
