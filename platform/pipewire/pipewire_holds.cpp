// Which streams the started aggregates hold and read. A tap reads every
// stream of its processes and of the applications they belong to: a player
// that starts a new stream, or a new process of a tapped application (a
// player restarted, a browser's new helper), is held the moment the daemon
// describes its stream, a few milliseconds before the session manager would
// link it to a device, and read by the tap's slot once it reaches our sink.

#include "pipewire_audio_hardware.h"

#include "aggregate_node.h"
#include "stream_mover.h"

#include <QTimer>

void PipeWireAudioHardware::describeTap(Tap& tap) const
{
    if (tap.description.processRestoreEnabled) {
        for (const QString& application : tap.description.bundleIDs)
            tap.applications.insert(application);
    }
    for (const AudioObjectID object : tap.description.processes) {
        const auto process = processes().constFind(object);
        if (process == processes().cend())
            continue;
        tap.pids.insert(process->pid);
        const AudioClientFacts facts = process->facts;
        if (const std::optional<AppIdentity> app = m_inspector.applicationOf(process->pid, [&] { return facts; }))
            tap.applications.insert(app->id);
    }
}

bool PipeWireAudioHardware::reads(const Tap& tap, const pw_graph::Node& stream) const
{
    const auto client = m_connection.graph().clients.constFind(stream.clientId);
    if (client == m_connection.graph().clients.cend() || !client->described)
        return false;
    if (tap.pids.contains(trustedPid(*client)))
        return true;
    const QString app = applicationOf(*client);
    return !app.isEmpty() && tap.applications.contains(app);
}

void PipeWireAudioHardware::updateHolds()
{
    const pw_graph::Graph& graph = m_connection.graph();
    QSet<SInt32> pids;
    QSet<QString> apps;
    // Slot by slot, the taps of each started aggregate.
    std::vector<std::pair<Aggregate*, std::vector<const Tap*>>> started;
    for (auto& [id, aggregate] : m_aggregates) {
        if (!aggregate.started)
            continue;
        std::vector<const Tap*> tapsInSlots;
        for (const AudioObjectID tapID : aggregate.taps) {
            const auto tap = m_taps.find(tapID);
            tapsInSlots.push_back(tap == m_taps.end() ? nullptr : &tap->second);
            if (tap != m_taps.end()) {
                pids.unite(tap->second.pids);
                apps.unite(tap->second.applications);
            }
        }
        started.emplace_back(&aggregate, std::move(tapsInSlots));
    }

    QSet<uint64_t> wanted;
    std::vector<std::vector<QList<uint64_t>>> perSlot(started.size());
    for (std::size_t i = 0; i < started.size(); ++i)
        perSlot[i].resize(started[i].second.size());
    for (const pw_graph::Node& node : graph.nodes) {
        if (!isApplicationStream(node))
            continue;
        for (std::size_t i = 0; i < started.size(); ++i) {
            for (std::size_t slot = 0; slot < started[i].second.size(); ++slot) {
                const Tap* tap = started[i].second[slot];
                if (tap && reads(*tap, node)) {
                    wanted.insert(node.serial);
                    perSlot[i][slot].append(node.serial);
                }
            }
        }
    }
    m_mover->hold(wanted);

    // Each started aggregate reads, in each slot, the streams now held.
    for (std::size_t i = 0; i < started.size(); ++i) {
        for (QList<uint64_t>& streams : perSlot[i])
            streams.removeIf([&](uint64_t stream) { return !m_mover->isHeld(stream); });
        started[i].first->node->readStreams(perSlot[i]);
    }

    // What new streams are held by grows at once and shrinks a moment later,
    // as giving back does: a rebuild stops one aggregate and starts the next
    // in one go, and a stream described in between is held all the same.
    m_heldPids.unite(pids);
    m_heldApps.unite(apps);
    if ((m_heldPids != pids || m_heldApps != apps) && !m_heldQueued) {
        m_heldQueued = true;
        QTimer::singleShot(0, &m_events, [this] {
            m_heldQueued = false;
            m_heldPids.clear();
            m_heldApps.clear();
            updateHolds();
        });
    }
}

void PipeWireAudioHardware::claimIfHeld(const pw_graph::Node& node)
{
    if (m_heldPids.isEmpty() && m_heldApps.isEmpty())
        return;
    const auto client = m_connection.graph().clients.constFind(node.clientId);
    if (!isApplicationStream(node) || client == m_connection.graph().clients.cend() || !client->described)
        return;
    const QString app = applicationOf(*client);
    if (m_heldPids.contains(trustedPid(*client)) || (!app.isEmpty() && m_heldApps.contains(app)))
        m_mover->holdNow(node.serial);
}

void PipeWireAudioHardware::onNodeDescribed(uint32_t id)
{
    const auto node = m_connection.graph().nodes.constFind(id);
    if (node != m_connection.graph().nodes.cend())
        claimIfHeld(*node);
}

void PipeWireAudioHardware::onClientDescribed(uint32_t id)
{
    const pw_graph::Graph& graph = m_connection.graph();
    const auto client = graph.clients.constFind(id);
    if (client == graph.clients.cend())
        return;
    // Worked out now, before the client's streams come: its properties may
    // have changed what it is.
    m_clientApps.remove(client->serial);
    applicationOf(*client);
    // Streams described before their client was.
    for (const pw_graph::Node& node : graph.nodes) {
        if (node.clientId == id)
            claimIfHeld(node);
    }
}
