#include "system_log.h"

#include <QByteArray>

#include <cstdio>
#include <mutex>
#include <syslog.h>

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
    syslog(LOG_NOTICE, "%s", utf8.constData());
    std::fprintf(stderr, "%s\n", utf8.constData());
}
