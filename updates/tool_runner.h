#pragma once

#include <QString>
#include <QStringList>

struct ToolResult {
    bool ok = false;   // started and exited normally with status 0
    QString output;    // standard output and error together; empty if not UTF-8
};

// Runs an external tool by absolute path, never through a shell, and waits
// for it. Blocks the calling thread, so it is for worker threads only.
ToolResult runTool(const QString& executable, const QStringList& arguments);
