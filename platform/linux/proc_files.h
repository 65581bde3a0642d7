#pragma once

// Reading one process's files under /proc (or a stand-in tree with the same
// layout). Every read is bounded and degrades to "nothing": a process may
// end, or its pid be taken by another, between any two reads.

#include "process_inspector.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

struct ProcStat {
    ProcessInspector::Pid parent = 0;
    // Clock ticks after boot: with the pid, names one process for good.
    quint64 startTime = 0;
    QByteArray comm;     // at most 15 bytes, as the kernel keeps it
};

class ProcFiles {
public:
    explicit ProcFiles(QByteArray root = "/proc");

    std::optional<ProcStat> stat(ProcessInspector::Pid pid) const;
    // The executable, as the process sees it ("/app/bin/x" inside a sandbox).
    QString executable(ProcessInspector::Pid pid) const;
    QStringList arguments(ProcessInspector::Pid pid) const;
    std::optional<uid_t> owner(ProcessInspector::Pid pid) const;
    // The unified hierarchy's path ("0::/user.slice/…"), else the systemd
    // one of a legacy hierarchy; empty when neither is there.
    QString cgroup(ProcessInspector::Pid pid) const;
    // [Application] name= of the sandbox's /.flatpak-info; empty outside one.
    QString flatpakApplication(ProcessInspector::Pid pid) const;

private:
    QByteArray path(ProcessInspector::Pid pid, const char* file) const;

    QByteArray m_root;
};

// The whole of a small regular file, at most limit bytes; nothing when it is
// not a regular file (a FIFO must never block us) or cannot be read.
std::optional<QByteArray> readSmallFile(const QByteArray& path, qsizetype limit);
