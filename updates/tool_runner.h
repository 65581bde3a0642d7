#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

struct ToolResult {
    bool ok = false;         // started and exited normally with status 0, within its deadline
    QString output;          // standard output and error together; empty if not UTF-8
    bool timedOut = false;   // killed at its deadline
};

// What is kept of a tool's output; the rest is read and dropped, so the tool
// never stalls on a full pipe.
constexpr qsizetype kMaxToolOutput = 1024 * 1024;

// Runs an external tool by absolute path, never through a shell, and waits
// for it, at most until the deadline: then the tool and whatever it started
// are killed and the result is a failure. Blocks the calling thread, so it is
// for worker threads only.
ToolResult runTool(const QString& executable, const QStringList& arguments, std::chrono::milliseconds deadline);
