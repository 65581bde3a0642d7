// Keeps our picture of the "default" metadata true once the daemon has
// stopped telling us of its changes. PipeWire's module-metadata counts each
// client that is binding the metadata until the session manager has
// answered for it, and tells nobody else of a change while that count is
// above zero; a client that leaves before the answer is never taken off it,
// so from then on, until the daemon restarts, no client hears of any
// change. A new binding is still told what the metadata holds. A word lost
// once is no proof of that: any client binding the metadata meanwhile (as
// pw-dump does) keeps it from everyone, and a session manager that lags
// behind sends it late. Main thread only.

#include "pipewire_connection_p.h"

#include "system_log.h"

#include <algorithm>

namespace {

constexpr int kEchoMs = 2000;     // a write's word back is due within this
constexpr int kRefreshMs = 2000;  // how often a metadata heard of no more is read again
constexpr int kWatchMs = 1000;
// The words of our own change that must be lost before the daemon is taken
// as deaf: each may be lost to a client that binds the metadata just then
// (the PulseAudio server does for each of its clients).
constexpr int kProbes = 2;
// Said of our own client, which nobody else reads, and dropped by the
// daemon with our connection.
constexpr char kProbeKey[] = "ravlet.echo";

} // namespace

void PipeWireConnection::Private::awaitEcho(uint32_t subject, const QString& key)
{
    // Read again on a timer already, or a change of our own tells.
    if (metadataDeaf || metadataDoubted)
        return;
    awaitedEchoes.push_back({subject, key, QDeadlineTimer(kEchoMs)});
    if (!metadataWatch.isActive())
        metadataWatch.start(kWatchMs);
}

bool PipeWireConnection::Private::noteMetadataEvent(const BoundObject* from, uint32_t subject, const char* key,
                                                    const char* value)
{
    if (from == refreshing) {
        if (!key)
            return true;
        const QPair<uint32_t, QString> entry {subject, QString::fromUtf8(key)};
        // What we wrote since the new binding was asked for reaches the
        // metadata after all it tells: told now, the older value would
        // stand for good, as no word of our write may come.
        if (writtenWhileRefreshing.contains(entry))
            return false;
        // A session manager that lags behind may not have taken our last
        // write yet: what we wrote before it is not what the key will hold.
        const std::optional<QString> told = value ? std::optional(QString::fromUtf8(value)) : std::nullopt;
        if (pendingWrites.isOverwritten(subject, entry.second, told)) {
            refreshedKeys.insert(entry);
            return false;
        }
        pendingWrites.read(subject, entry.second, told);
        if (value)
            refreshedKeys.insert(entry);
        return true;
    }
    // A change was told: the daemon tells again.
    metadataDeaf = false;
    metadataDoubted = false;
    probeDue = QDeadlineTimer(QDeadlineTimer::Forever);
    std::erase_if(awaitedEchoes, [&](const AwaitedEcho& echo) {
        return echo.subject == subject && (!key || echo.key == QLatin1String(key));
    });
    if (subject == probeSubject && value && key && qstrcmp(key, kProbeKey) == 0)
        clearProbe();
    if (!key) {
        pendingWrites.forget(subject);
        return true;
    }
    // Old news: our later write stands until its own word comes.
    return !pendingWrites.overtaken(subject, QString::fromUtf8(key),
                                    value ? std::optional(QString::fromUtf8(value)) : std::nullopt);
}

void PipeWireConnection::Private::checkMetadata()
{
    const bool overdue = std::any_of(awaitedEchoes.begin(), awaitedEchoes.end(),
                                     [](const AwaitedEcho& echo) { return echo.due.hasExpired(); });
    if (metadataDoubted) {
        // Only the word of our change decides: what we wrote before it may
        // still wait behind a session manager that lags.
        if (probeDue.hasExpired()) {
            if (++probesLost < kProbes) {
                probeDue = QDeadlineTimer(QDeadlineTimer::Forever);
                refreshMetadata();
            } else {
                becomeDeaf();
            }
        } else if (!refreshing && probeDue.isForever()) {
            probeMetadata(0);  // the fresh read could not be asked for
        }
    } else if (overdue && !metadataDeaf) {
        // The word of one of our writes was lost, or is late: what else
        // was lost with it, a fresh read tells, and then a change of our
        // own whether the daemon still tells.
        probesLost = 0;
        metadataDoubted = true;
        awaitedEchoes.clear();
        refreshMetadata();
    } else if (metadataDeaf && !refreshing && (!refreshStarted.isValid() || refreshStarted.hasExpired(kRefreshMs))) {
        refreshMetadata();
    }
    if (!metadataDeaf && !metadataDoubted && awaitedEchoes.empty() && !refreshing)
        metadataWatch.stop();
}

void PipeWireConnection::Private::becomeDeaf()
{
    metadataDeaf = true;
    metadataDoubted = false;
    probeDue = QDeadlineTimer(QDeadlineTimer::Forever);
    awaitedEchoes.clear();
    clearProbe();
    if (!toldDeaf) {
        toldDeaf = true;
        systemLog(QStringLiteral("[ravlet] the audio server stopped telling of changes to the default devices "
                                 "and stream targets; Ravlet reads them again every %1 seconds")
                      .arg(kRefreshMs / 1000));
    }
    refreshMetadata();
}

void PipeWireConnection::Private::probeMetadata(qint64 lagMs)
{
    pw_client* client = core ? pw_core_get_client(core) : nullptr;
    const uint32_t self = client ? pw_proxy_get_bound_id(reinterpret_cast<pw_proxy*>(client)) : SPA_ID_INVALID;
    if (!defaultMetadata || self == SPA_ID_INVALID) {
        becomeDeaf();
        return;
    }
    probeSubject = self;
    const QByteArray value = QByteArray::number(++probeCount);
    pw_metadata_set_property(reinterpret_cast<pw_metadata*>(defaultMetadata->proxy), self, kProbeKey, "Spa:Int",
                             value.constData());
    // A session manager that lagged behind the read lags behind this too.
    probeDue = QDeadlineTimer(kEchoMs + 2 * lagMs);
}

void PipeWireConnection::Private::clearProbe()
{
    if (!probeSubject || !defaultMetadata)
        return;
    pw_metadata_set_property(reinterpret_cast<pw_metadata*>(defaultMetadata->proxy), probeSubject, kProbeKey, nullptr,
                             nullptr);
    probeSubject = 0;
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
    if (metadataDoubted)
        probeMetadata(refreshStarted.elapsed());
}

void PipeWireConnection::Private::resetMetadataWatch()
{
    metadataWatch.stop();
    awaitedEchoes.clear();
    metadataDeaf = false;
    metadataDoubted = false;
    probeDue = QDeadlineTimer(QDeadlineTimer::Forever);
    probeSubject = 0;
    refreshing = nullptr;
    refreshSync = -1;
    refreshedKeys.clear();
    writtenWhileRefreshing.clear();
    pendingWrites.clear();
}
