#pragma once

// The crash guardians the mixer started in a session: processes of the
// program run as guardians of a journal in that session's runtime folder.

#include "crash_guardian.h"
#include "pipewire_session.h"

#include <QDir>
#include <QFile>
#include <QList>

inline QList<qint64> guardiansOf(const PipeWireSession& session)
{
    QList<qint64> found;
    const QByteArray folder = QFile::encodeName(session.runtimeDir()) + '/';
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!isPid || !file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> arguments = file.readAll().split('\0');
        if (arguments.size() > 2 && arguments[1] == CrashGuardian::kArgument && arguments[2].startsWith(folder))
            found.append(pid);
    }
    return found;
}
