// Which streams the started aggregates hold and read. A tap reads every
// stream of its processes and of the applications they belong to: a player
// that starts a new stream, or a new process of a tapped application (a
// player restarted, a browser's new helper), is held the moment the daemon
// describes its stream, a few milliseconds before the session manager would
// link it to a device, and read by the tap's slot once it reaches the
// private sink of the device its aggregate plays on. A stream is held on one
// device's sink only and read by that device's node only: read on two
// devices, it would tie both to one clock.

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
    QHash<SInt32, QString> pids;
    QHash<QString, QString> apps;
    // Slot by slot, the taps of each started aggregate.
    std::vector<std::pair<Aggregate*, std::vector<const Tap*>>> started;
    for (auto& [id, aggregate] : m_aggregates) {
        if (!aggregate.started)
            continue;
        std::vector<const Tap*> tapsInSlots;
        for (const AudioObjectID tapID : aggregate.taps) {
            const auto tap = m_taps.find(tapID);
            tapsInSlots.push_back(tap == m_taps.end() ? nullptr : &tap->second);
            // A tap that only listens holds nothing.
            if (tap == m_taps.end() || tap->second.description.muteBehavior == kTapUnmuted)
                continue;
            // The first aggregate device that taps it mixes it.
            for (const SInt32 pid : tap->second.pids)
                pids.insert(pid, pids.value(pid, aggregate.masterName));
            for (const QString& app : tap->second.applications)
                apps.insert(app, apps.value(app, aggregate.masterName));
        }
        started.emplace_back(&aggregate, std::move(tapsInSlots));
    }

    QHash<uint64_t, QString> wanted;
    std::vector<std::vector<QList<uint64_t>>> perSlot(started.size());
    for (std::size_t i = 0; i < started.size(); ++i)
        perSlot[i].resize(started[i].second.size());
    for (const pw_graph::Node& node : graph.nodes) {
        if (!isApplicationStream(node))
            continue;
        for (std::size_t i = 0; i < started.size(); ++i) {
            for (std::size_t slot = 0; slot < started[i].second.size(); ++slot) {
                const Tap* tap = started[i].second[slot];
                const QString& device = started[i].first->masterName;
                if (tap && tap->description.muteBehavior == kTapUnmuted) {
                    if (reads(*tap, node))
                        perSlot[i][slot].append(node.serial);
                    continue;
                }
                if (tap && reads(*tap, node) && wanted.value(node.serial, device) == device) {
                    wanted.insert(node.serial, device);
                    perSlot[i][slot].append(node.serial);
                }
            }
        }
    }
    // Streams about to go to another device's sink leave every node of
    // ours that reads them first, in this same call: the session manager
    // links them anew there a moment after the target is written, and
    // PipeWire before 0.3.72 can crash when a link of a stream is destroyed
    // while another of its links starts. A kept node that reads them goes
    // with its links (see MixNodeShelf::discardReaders); the device it
    // played on gets a new one if it is built again.
    QSet<uint64_t> moving;
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
        const QString from = m_mover->heldOn(it.key());
        if (!from.isEmpty() && from != it.value())
            moving.insert(it.key());
    }
    if (!moving.isEmpty()) {
        m_shelf.discardReaders(moving);
        for (auto& [id, aggregate] : m_aggregates)
            aggregate.node->unlinkStreams(moving);
    }
    m_mover->hold(wanted);

    // Each started aggregate reads, in each slot, the streams now held; a
    // slot that listens, those that play on its device by themselves, as a
    // second link beside the one to the device: their sound is left alone,
    // and no stream on another device joins this device's clock.
    for (std::size_t i = 0; i < started.size(); ++i) {
        const QString& device = started[i].first->masterName;
        const pw_graph::Node* sink = graph.nodeNamed(device, QStringLiteral("Audio/Sink"));
        for (std::size_t slot = 0; slot < perSlot[i].size(); ++slot) {
            const Tap* tap = started[i].second[slot];
            if (tap && tap->description.muteBehavior == kTapUnmuted) {
                perSlot[i][slot].removeIf([&](uint64_t stream) {
                    const pw_graph::Node* node = graph.nodeWithSerial(stream);
                    return !sink || !node || wanted.contains(stream) || !playsInto(*node, *sink);
                });
            } else {
                perSlot[i][slot].removeIf([&](uint64_t stream) { return !m_mover->isHeld(stream, device); });
            }
        }
        started[i].first->node->readStreams(perSlot[i]);
    }

    // What new streams are held by grows at once and shrinks a moment later,
    // as giving back does: a rebuild stops one aggregate and starts the next
    // in one go, and a stream described in between is held all the same.
    m_heldPids.insert(pids);
    m_heldApps.insert(apps);
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

bool PipeWireAudioHardware::playsInto(const pw_graph::Node& stream, const pw_graph::Node& sink) const
{
    const pw_graph::Graph& graph = m_connection.graph();
    return std::any_of(graph.links.cbegin(), graph.links.cend(), [&](const pw_graph::Link& link) {
        return link.outputNode == stream.id && link.inputNode == sink.id;
    });
}

void PipeWireAudioHardware::claimIfHeld(const pw_graph::Node& node)
{
    if (m_heldPids.isEmpty() && m_heldApps.isEmpty())
        return;
    const auto client = m_connection.graph().clients.constFind(node.clientId);
    if (!isApplicationStream(node) || client == m_connection.graph().clients.cend() || !client->described)
        return;
    const QString app = applicationOf(*client);
    const auto byPid = m_heldPids.constFind(trustedPid(*client));
    const auto byApp = app.isEmpty() ? m_heldApps.cend() : m_heldApps.constFind(app);
    if (byPid != m_heldPids.cend())
        m_mover->holdNow(node.serial, *byPid);
    else if (byApp != m_heldApps.cend())
        m_mover->holdNow(node.serial, *byApp);
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
