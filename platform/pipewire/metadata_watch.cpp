// Keeps our picture of the "default" metadata true once the daemon has
// stopped telling us of its changes. PipeWire's module-metadata counts each
// client that is binding the metadata until the session manager has
// answered for it, and tells nobody else of a change while that count is
// above zero; a client that leaves before the answer is never taken off it,
// so from then on, until the daemon restarts, no client hears of any
// change. A new binding is still told what the metadata holds. Main thread
// only.

#include "pipewire_connection_p.h"

#include "system_log.h"

#include <algorithm>

namespace {

constexpr int kEchoMs = 2000;     // a write's word back is due within this
constexpr int kRefreshMs = 2000;  // how often a metadata heard of no more is read again
constexpr int kWatchMs = 1000;

} // namespace

void PipeWireConnection::Private::awaitEcho(uint32_t subject, const QString& key)
{
    // Read again on a timer already.
    if (metadataDeaf)
        return;
    awaitedEchoes.push_back({subject, key, QDeadlineTimer(kEchoMs)});
    if (!metadataWatch.isActive())
        metadataWatch.start(kWatchMs);
}

void PipeWireConnection::Private::noteMetadataEvent(const BoundObject* from, uint32_t subject, const char* key,
                                                    const char* value)
{
    if (from == refreshing) {
        if (key && value)
            refreshedKeys.insert({subject, QString::fromUtf8(key)});
        return;
    }
    // A change was told: the daemon tells again.
    metadataDeaf = false;
    std::erase_if(awaitedEchoes, [&](const AwaitedEcho& echo) {
        return echo.subject == subject && (!key || echo.key == QLatin1String(key));
    });
}

void PipeWireConnection::Private::checkMetadata()
{
    const bool overdue = std::any_of(awaitedEchoes.begin(), awaitedEchoes.end(),
                                     [](const AwaitedEcho& echo) { return echo.due.hasExpired(); });
    if (overdue) {
        // The word of one of our writes was lost, once to a client that
        // was binding the metadata meanwhile or for good: what else was
        // lost with it, a fresh read tells.
        metadataDeaf = true;
        awaitedEchoes.clear();
        if (!toldDeaf) {
            toldDeaf = true;
            systemLog(QStringLiteral("[ravlet] the audio server stopped telling of changes to the default devices "
                                     "and stream targets; Ravlet reads them again every %1 seconds")
                          .arg(kRefreshMs / 1000));
        }
        refreshMetadata();
    } else if (metadataDeaf && !refreshing && (!refreshStarted.isValid() || refreshStarted.hasExpired(kRefreshMs))) {
        refreshMetadata();
    }
    if (!metadataDeaf && awaitedEchoes.empty() && !refreshing)
        metadataWatch.stop();
}

void PipeWireConnection::Private::refreshMetadata()
{
    if (!defaultMetadata || refreshing || !core)
        return;
    // The binding that hears nothing goes; the new one is told all the
    // metadata holds before the daemon answers a round trip sent after it.
    const uint32_t id = defaultMetadata->id;
    defaultMetadata = nullptr;
    bound.erase(id);
    bindDefaultMetadata(id);
    if (!defaultMetadata) {
        graph.metadata.clear();
        markChanged();
        return;
    }
    refreshing = defaultMetadata;
    refreshedKeys.clear();
    writtenWhileRefreshing.clear();
    refreshStarted.start();
    refreshSync = pw_core_sync(core, PW_ID_CORE, 0);
}

void PipeWireConnection::Private::finishRefresh()
{
    // What the metadata no longer holds went while we heard nothing; what
    // we wrote meanwhile may have reached it after it was told.
    for (auto subject = graph.metadata.begin(); subject != graph.metadata.end();) {
        for (auto key = subject->begin(); key != subject->end();) {
            const QPair<uint32_t, QString> entry {subject.key(), key.key()};
            if (refreshedKeys.contains(entry) || writtenWhileRefreshing.contains(entry))
                ++key;
            else
                key = subject->erase(key);
        }
        subject = subject->isEmpty() ? graph.metadata.erase(subject) : std::next(subject);
    }
    refreshing = nullptr;
    refreshSync = -1;
    refreshedKeys.clear();
    writtenWhileRefreshing.clear();
    markChanged();
}

void PipeWireConnection::Private::resetMetadataWatch()
{
    metadataWatch.stop();
    awaitedEchoes.clear();
    metadataDeaf = false;
    refreshing = nullptr;
    refreshSync = -1;
    refreshedKeys.clear();
    writtenWhileRefreshing.clear();
}
