#pragma once

// Process inspection for the simulated system: each process has an
// executable path, maybe a responsible process, and bundles have display
// names. Paired with SimulatedAudioHardware, which knows the same pids as
// process objects.

#include "bundle_process_inspector.h"

#include <QHash>

class SimulatedProcessInspector final : public BundleProcessInspector {
public:
    Pid currentPid() const override;
    int pidPath(Pid pid, char* buffer, std::uint32_t bufferSize) const override;
    bool hasResponsibilityLookup() const override;
    Pid responsiblePid(Pid pid) const override;
    QString displayNameAtPath(const QString& path) const override;

    void setCurrentPid(Pid pid);
    void addProcess(Pid pid, const QString& executablePath, Pid responsible = 0);
    void removeProcess(Pid pid);   // throws std::invalid_argument for a pid that is not there
    void setResponsibilityLookupAvailable(bool available);
    // Without an explicit name, a path shows as its last component.
    void setDisplayName(const QString& path, const QString& name);

    int pidPathCalls() const;

private:
    struct Process {
        QString executablePath;
        Pid responsible = 0;
    };
    Pid m_currentPid = 1;
    bool m_lookupAvailable = true;
    QHash<Pid, Process> m_processes;
    QHash<QString, QString> m_displayNames;
    mutable int m_pidPathCalls = 0;
};
