#include "simulated_process_inspector.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// The last path component, as a file manager shows a path it has no better
// name for; "/Applications/Safari.app/" is "Safari.app" too.
QString lastComponent(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path.mid(path.lastIndexOf(u'/') + 1);
}

}

ProcessInspector::Pid SimulatedProcessInspector::currentPid() const
{
    return m_currentPid;
}

int SimulatedProcessInspector::pidPath(Pid pid, char* buffer, std::uint32_t bufferSize) const
{
    ++m_pidPathCalls;
    if (!buffer || bufferSize == 0)
        return 0;
    buffer[0] = '\0';
    const auto found = m_processes.constFind(pid);
    if (found == m_processes.cend())
        return 0;
    const QByteArray path = found->executablePath.toUtf8();
    const auto length = std::min<std::size_t>(std::size_t(path.size()), bufferSize - 1);
    std::memcpy(buffer, path.constData(), length);
    buffer[length] = '\0';
    return int(length);
}

bool SimulatedProcessInspector::hasResponsibilityLookup() const
{
    return m_lookupAvailable;
}

ProcessInspector::Pid SimulatedProcessInspector::responsiblePid(Pid pid) const
{
    // Without the lookup there is nobody to ask.
    if (!m_lookupAvailable)
        return 0;
    return m_processes.value(pid).responsible;
}

QString SimulatedProcessInspector::displayNameAtPath(const QString& path) const
{
    const auto named = m_displayNames.constFind(path);
    return named != m_displayNames.cend() ? *named : lastComponent(path);
}

void SimulatedProcessInspector::setCurrentPid(Pid pid)
{
    m_currentPid = pid;
}

void SimulatedProcessInspector::addProcess(Pid pid, const QString& executablePath, Pid responsible)
{
    m_processes.insert(pid, Process{executablePath, responsible});
}

void SimulatedProcessInspector::removeProcess(Pid pid)
{
    // As on the simulated hardware: a script that removes nothing is wrong.
    if (!m_processes.remove(pid))
        throw std::invalid_argument("simulated processes: no process with pid " + std::to_string(pid));
}

void SimulatedProcessInspector::setResponsibilityLookupAvailable(bool available)
{
    m_lookupAvailable = available;
}

void SimulatedProcessInspector::setDisplayName(const QString& path, const QString& name)
{
    m_displayNames.insert(path, name);
}

int SimulatedProcessInspector::pidPathCalls() const
{
    return m_pidPathCalls;
}
