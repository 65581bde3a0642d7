#include "linux_process_inspector.h"

#include <QFileInfo>

#include <algorithm>
#include <string>
#include <unistd.h>

ProcessInspector::Pid LinuxProcessInspector::currentPid() const
{
    return ::getpid();
}

int LinuxProcessInspector::pidPath(Pid pid, char* buffer, std::uint32_t bufferSize) const
{
    if (!buffer || bufferSize == 0)
        return 0;
    buffer[0] = '\0';
    // No process has pid 0 or below, whatever /proc may hold under such names.
    if (pid <= 0)
        return 0;
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    // readlink neither terminates nor says whether it truncated: a result
    // that fills the buffer loses its last byte to the terminator.
    const ssize_t length = ::readlink(link.c_str(), buffer, bufferSize);
    if (length <= 0)
        return 0;
    const auto written = std::min<std::size_t>(std::size_t(length), bufferSize - 1);
    buffer[written] = '\0';
    return int(written);
}

bool LinuxProcessInspector::hasResponsibilityLookup() const
{
    return false;
}

ProcessInspector::Pid LinuxProcessInspector::responsiblePid(Pid /*pid*/) const
{
    return 0;
}

QString LinuxProcessInspector::displayNameAtPath(const QString& path) const
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(u'/'))
        trimmed.chop(1);
    return QFileInfo(trimmed).fileName();
}
