#pragma once

// The Linux rule: which installed application a process belongs to, the way
// Linux desktops answer it. First answer wins:
//   1. a sandbox that names its application: Flatpak's /.flatpak-info,
//      snapd's control group;
//   2. the process's own program, or its nearest parent's, matched against
//      the installed desktop entries (never a terminal, shell, panel or
//      launcher's: they do not own what they start);
//   3. the application unit the desktop started it in (its control group);
//   4. what the audio server states about the client: its program's desktop
//      entry, else an id made from the program's name.
// What a process's files say is cached by (pid, start time); the desktop-entry
// index is rebuilt when an applications folder changes.

#include "desktop_entry_index.h"
#include "proc_files.h"
#include "process_inspector.h"

#include <QElapsedTimer>
#include <QHash>

#include <sys/types.h>

class LinuxProcessInspector final : public ProcessInspector {
public:
    struct Roots {
        QByteArray proc = "/proc";
        QStringList applicationDirs = DesktopEntryIndex::applicationDirsFromEnvironment();
        QString locale = DesktopEntryIndex::localeFromEnvironment();
        // How often, at most, the applications folders are looked at again.
        int indexCheckMs = 1000;
    };

    // The system's own /proc and applications folders.
    LinuxProcessInspector();
    explicit LinuxProcessInspector(Roots roots);

    Pid currentPid() const override;
    std::optional<AppIdentity> applicationOf(Pid pid, const FactsSource& facts) override;

    const DesktopEntryIndex& entries() const { return m_entries; }

private:
    // What one process's own files say, worked out once per process. The
    // facts may still be needed afterwards, and are read again then: they
    // are not the process's but its audio client's.
    struct Cached {
        quint64 startTime = 0;
        quint64 lastUse = 0;
        bool trusted = true;
        std::optional<AppIdentity> fromFiles;
    };

    void resolve(Pid pid, const ProcStat& stat, const AudioClientFacts& facts, Cached& into) const;
    std::optional<AppIdentity> fromSandbox(Pid pid, const AudioClientFacts& facts) const;
    std::optional<AppIdentity> fromProgram(Pid pid, ProcStat stat) const;
    std::optional<AppIdentity> fromAppUnit(Pid pid) const;
    std::optional<AppIdentity> fromFacts(const AudioClientFacts& facts) const;
    // Whether pid's program is the one the audio server names: a pid
    // reported from inside a sandbox may name an unrelated process here.
    bool runsBinary(Pid pid, const ProcStat& stat, const QString& binary) const;
    void checkEntries();
    void forgetUnused();

    ProcFiles m_proc;
    DesktopEntryIndex m_entries;
    int m_indexCheckMs;
    QElapsedTimer m_sinceIndexCheck;
    quint64 m_generation = 0;
    uid_t m_uid;
    QHash<Pid, Cached> m_cache;
    quint64 m_uses = 0;
};

// The identity a desktop entry gives its application.
AppIdentity identityOf(const DesktopEntry& entry);
