#include "system_log.h"

#include <QByteArray>

#include <cstdio>
#include <mutex>

#if defined(RAVLET_APPLE_FRAMEWORKS)
#include <os/log.h>
#else
#include <syslog.h>
#endif

namespace {
std::mutex sinkMutex;
std::function<void(const QString&)>& sinkSlot()
{
    static std::function<void(const QString&)> sink;
    return sink;
}
}

void setSystemLogSink(std::function<void(const QString&)> sink)
{
    std::lock_guard lock(sinkMutex);
    sinkSlot() = std::move(sink);
}

void systemLog(const QString& line)
{
    {
        std::lock_guard lock(sinkMutex);
        if (sinkSlot()) {
            sinkSlot()(line);
            return;
        }
    }
    const QByteArray utf8 = line.toUtf8();
#if defined(RAVLET_APPLE_FRAMEWORKS)
    // The unified log shows it in Console; "public" because the lines hold
    // nothing private and would otherwise read "<private>" there.
    os_log(OS_LOG_DEFAULT, "%{public}s", utf8.constData());
#else
    syslog(LOG_NOTICE, "%s", utf8.constData());
    std::fprintf(stderr, "%s\n", utf8.constData());
#endif
}
