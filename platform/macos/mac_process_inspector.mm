#include "mac_process_inspector.h"

#import <Foundation/Foundation.h>

#include <dlfcn.h>
#include <libproc.h>
#include <unistd.h>

MacProcessInspector::MacProcessInspector(const char* responsibilitySymbol)
    : m_responsibility(reinterpret_cast<ResponsibilityLookup>(dlsym(RTLD_DEFAULT, responsibilitySymbol)))
{
}

ProcessInspector::Pid MacProcessInspector::currentPid() const
{
    return getpid();
}

int MacProcessInspector::pidPath(Pid pid, char* buffer, std::uint32_t bufferSize) const
{
    return proc_pidpath(pid, buffer, bufferSize);
}

bool MacProcessInspector::hasResponsibilityLookup() const
{
    return m_responsibility != nullptr;
}

ProcessInspector::Pid MacProcessInspector::responsiblePid(Pid pid) const
{
    return m_responsibility ? m_responsibility(pid) : 0;
}

QString MacProcessInspector::displayNameAtPath(const QString& path) const
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    const QByteArray utf8 = path.toUtf8();
    NSString* name = [[NSFileManager defaultManager]
        displayNameAtPath:[NSString stringWithUTF8String:utf8.constData()]];
    const QString result = name ? QString::fromUtf8([name UTF8String]) : QString();
    [pool drain];
    return result;
}
