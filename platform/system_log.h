#pragma once

#include <QString>

#include <functional>

// One line to the system log: the unified log (os_log) on macOS, syslog and
// standard error elsewhere. Every "[ravlet] " message of the program goes
// through here.
void systemLog(const QString& line);

// Tests capture the lines; pass an empty function to stop capturing. While a
// sink is set, lines go to it instead of syslog and standard error.
void setSystemLogSink(std::function<void(const QString&)> sink);
