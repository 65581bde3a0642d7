// The tap side of the seam: process taps, the private aggregate devices and
// their I/O procedures. A tap is bookkeeping until a started aggregate device
// lists it; then its processes' streams are held on the private sink of the
// aggregate's output device and read by the aggregate's node, as Core
// Audio's "muted when tapped" taps are silenced only while they are read.

#include "pipewire_audio_hardware.h"

#include "aggregate_description.h"
#include "aggregate_node.h"
#include "stream_mover.h"

#include <QSet>

OSStatus PipeWireAudioHardware::createProcessTap(const ProcessTapDescription& description, AudioObjectID* outTapID)
{
    if (!outTapID)
        return kAudioHardwareIllegalOperationError;
    *outTapID = kAudioObjectUnknown;
    if (!m_connection.isConnected())
        return kAudioHardwareNotRunningError;
    // No process at all is a tap only of processes still to come.
    if (description.processes.empty() && (!description.processRestoreEnabled || description.bundleIDs.empty()))
        return kAudioHardwareIllegalOperationError;
    const pw_graph::Graph& graph = m_connection.graph();
    for (const AudioObjectID process : description.processes) {
        const auto found = processes().constFind(process);
        if (found == processes().cend())
            return kAudioHardwareBadObjectError;
        // Such a stream is never moved (the daemon would destroy it rather
        // than let it follow a new target): it cannot be taken off its device.
        for (const uint64_t stream : found->streams) {
            const pw_graph::Node* node = graph.nodeWithSerial(stream);
            if (node && node->dontReconnect)
                return kAudioHardwareIllegalOperationError;
        }
    }
    const QString uid = description.uuid.toString(QUuid::WithoutBraces).toUpper();
    const AudioObjectID id = idFor(QStringLiteral("tap:") + uid);
    Tap& tap = m_taps[id] = Tap{description, uid, {}, {}};
    describeTap(tap);
    *outTapID = id;
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::destroyProcessTap(AudioObjectID tapID)
{
    if (!m_taps.erase(tapID))
        return kAudioHardwareBadObjectError;
    updateHolds();
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID)
{
    if (!outDeviceID)
        return kAudioHardwareIllegalOperationError;
    *outDeviceID = kAudioObjectUnknown;
    if (!m_connection.isConnected())
        return kAudioHardwareNotRunningError;
    const QString uid = description.value(QLatin1String(kAudioAggregateDeviceUIDKey)).toString();
    const bool taken = std::any_of(m_aggregates.begin(), m_aggregates.end(),
                                   [&](const auto& entry) { return entry.second.uid == uid; })
                    || m_connection.graph().nodeNamed(uid);
    if (uid.isEmpty() || taken)
        return kAudioHardwareIllegalOperationError;
    const auto subDevices = descriptionList(description, kAudioAggregateDeviceSubDeviceListKey);
    const auto tapList = descriptionList(description, kAudioAggregateDeviceTapListKey);
    if (!subDevices || !tapList)
        return kAudioHardwareIllegalOperationError;

    const pw_graph::Graph& graph = m_connection.graph();
    const auto realSink = [&](const QString& name) {
        const pw_graph::Node* node = graph.nodeNamed(name, QStringLiteral("Audio/Sink"));
        return node && !m_mover->isOurs(*node) ? node : nullptr;
    };
    const pw_graph::Node* master = realSink(description.value(QLatin1String(kAudioAggregateDeviceMainSubDeviceKey)).toString());
    if (!master)
        return kAudioHardwareBadDeviceError;
    for (const QVariant& entry : *subDevices) {
        if (!realSink(entryUID(entry, kAudioSubDeviceUIDKey)))
            return kAudioHardwareBadDeviceError;
    }
    std::vector<AudioObjectID> taps;
    for (const QVariant& entry : *tapList) {
        const QString tapUID = entryUID(entry, kAudioSubTapUIDKey);
        const auto found = std::find_if(m_taps.begin(), m_taps.end(),
                                        [&](const auto& tap) { return !tapUID.isEmpty() && tap.second.uid == tapUID; });
        if (found == m_taps.end())
            return kAudioHardwareBadObjectError;
        taps.push_back(found->first);
    }

    QStringList channels;
    for (const pw_graph::Port* port : graph.portsOf(master->id, pw_graph::Direction::In))
        channels.append(port->channel);
    std::unique_ptr<AggregateNode> node = m_shelf.take(master->name, AggregateNode::outputChannels(channels));
    // A node made for this device before that the daemon has not placed in
    // the graph yet (it answers late while the session manager is stopped):
    // taken once it is, and until then no other is made nor waited for, so
    // the main thread waits for an answer once, not at every try.
    if (const auto unready = m_unreadyNodes.find(master->name); !node && unready != m_unreadyNodes.end()) {
        if (!unready->second->isReady() && !unready->second->hasFailed())
            return kAudioHardwareUnspecifiedError;
        if (unready->second->isReady() && unready->second->channels() == AggregateNode::outputChannels(channels))
            node = std::move(unready->second);
        m_unreadyNodes.erase(unready);
    }
    if (!node)
        node = std::make_unique<AggregateNode>(m_connection, uid, channels);
    if (!node->isReady()) {
        m_unreadyNodes[master->name] = std::move(node);
        return kAudioHardwareUnspecifiedError;
    }
    const AudioObjectID id = idFor(QStringLiteral("aggregate:") + uid);
    Aggregate& aggregate = m_aggregates[id];
    aggregate.uid = uid;
    aggregate.masterName = master->name;
    aggregate.taps = std::move(taps);
    aggregate.node = std::move(node);
    *outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::destroyAggregateDevice(AudioObjectID deviceID)
{
    const auto found = m_aggregates.find(deviceID);
    if (found == m_aggregates.end())
        return kAudioHardwareBadDeviceError;
    found->second.node->stop();
    m_shelf.park(std::move(found->second.node));
    m_aggregates.erase(found);
    updateHolds();
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::createIOProcIDWithBlock(DeviceIOProcID* outIOProcID, AudioObjectID device,
                                                        DeviceIOQueue /*queue*/, DeviceIOBlock block)
{
    if (!outIOProcID)
        return kAudioHardwareIllegalOperationError;
    *outIOProcID = nullptr;
    const auto found = m_aggregates.find(device);
    if (found == m_aggregates.end())
        return kAudioHardwareBadDeviceError;
    // One procedure per device is all the engine uses, and all this supports.
    if (found->second.proc || !block)
        return kAudioHardwareIllegalOperationError;
    found->second.block = std::move(block);
    found->second.proc = reinterpret_cast<DeviceIOProcID>(m_nextProc++);
    *outIOProcID = found->second.proc;
    return kAudioHardwareNoError;
}

PipeWireAudioHardware::Aggregate* PipeWireAudioHardware::procOwner(AudioObjectID device, DeviceIOProcID ioProcID,
                                                                    OSStatus& status)
{
    const auto found = m_aggregates.find(device);
    status = found == m_aggregates.end()                        ? kAudioHardwareBadDeviceError
           : (!ioProcID || found->second.proc != ioProcID) ? kAudioHardwareIllegalOperationError
                                                             : kAudioHardwareNoError;
    return status == kAudioHardwareNoError ? &found->second : nullptr;
}

OSStatus PipeWireAudioHardware::destroyIOProcID(AudioObjectID device, DeviceIOProcID ioProcID)
{
    OSStatus status = kAudioHardwareNoError;
    Aggregate* aggregate = procOwner(device, ioProcID, status);
    if (!aggregate)
        return status;
    // Destroying a running procedure stops it first.
    deviceStop(device, ioProcID);
    aggregate->proc = nullptr;
    aggregate->block = nullptr;
    return kAudioHardwareNoError;
}

QStringList PipeWireAudioHardware::slotKeys(const Aggregate& aggregate) const
{
    QStringList keys;
    for (const AudioObjectID tapID : aggregate.taps) {
        const auto tap = m_taps.find(tapID);
        QStringList key;
        // By application where it is known: a player restarted is a new
        // process of the same application, and its tap reads the same pair.
        if (tap != m_taps.end()) {
            key = QStringList(tap->second.applications.cbegin(), tap->second.applications.cend());
            if (key.isEmpty()) {
                for (const SInt32 pid : tap->second.pids)
                    key.append(QString::number(pid));
            }
            key.sort();
        }
        keys.append(key.join(QLatin1Char('\n')));
    }
    return keys;
}

OSStatus PipeWireAudioHardware::deviceStart(AudioObjectID device, DeviceIOProcID ioProcID)
{
    OSStatus status = kAudioHardwareNoError;
    Aggregate* aggregate = procOwner(device, ioProcID, status);
    if (!aggregate || aggregate->started)
        return status;
    if (!m_mover->ensureSink(aggregate->masterName)
        || !aggregate->node->start(&aggregate->block, slotKeys(*aggregate), aggregate->masterName,
                                   m_mover->sinkNode(aggregate->masterName)))
        return kAudioHardwareNotRunningError;
    aggregate->started = true;
    updateHolds();
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::deviceStop(AudioObjectID device, DeviceIOProcID ioProcID)
{
    OSStatus status = kAudioHardwareNoError;
    Aggregate* aggregate = procOwner(device, ioProcID, status);
    if (!aggregate)
        return status;
    aggregate->node->stop();
    aggregate->started = false;
    updateHolds();
    return kAudioHardwareNoError;
}

bool PipeWireAudioHardware::streamsOnHoldSink(const QString& device) const
{
    const uint32_t sink = m_mover->sinkNode(device);
    const pw_graph::Graph& graph = m_connection.graph();
    return sink && std::any_of(graph.links.begin(), graph.links.end(), [&](const pw_graph::Link& link) {
        const auto from = graph.nodes.constFind(link.outputNode);
        return link.inputNode == sink && (from == graph.nodes.cend() || !graph.isOurs(*from));
    });
}

bool PipeWireAudioHardware::othersPlayOn(const QString& device) const
{
    const pw_graph::Graph& graph = m_connection.graph();
    const pw_graph::Node* sink = graph.nodeNamed(device, QStringLiteral("Audio/Sink"));
    return sink && std::any_of(graph.links.begin(), graph.links.end(), [&](const pw_graph::Link& link) {
        const auto from = graph.nodes.constFind(link.outputNode);
        return link.inputNode == sink->id && (from == graph.nodes.cend() || !graph.isOurs(*from));
    });
}

bool PipeWireAudioHardware::streamsOnAnyHoldSink() const
{
    const std::map<QString, uint32_t> sinks = m_mover->sinkNodes();
    return std::any_of(sinks.begin(), sinks.end(), [this](const auto& entry) { return streamsOnHoldSink(entry.first); });
}

void PipeWireAudioHardware::retireHoldSink()
{
    // Only once nothing of ours mixes on any device: a private sink
    // destroyed while a mix node of ours ran on another device was seen to
    // crash that node's next cycle, on its own private sink's buffers
    // (PipeWire 0.3.65). Until then a device's sink stays, idle.
    if (!m_aggregates.empty() || !m_shelf.isEmpty())
        return;
    for (const auto& [device, node] : m_mover->sinkNodes()) {
        if (!streamsOnHoldSink(device))
            m_mover->dropSink(device);
    }
}

void PipeWireAudioHardware::onDisconnect()
{
    // Everything made on the connection goes with it; the engine's next look
    // finds no device and no process, and its rules rebuild from there.
    for (auto& [id, aggregate] : m_aggregates)
        aggregate.node.reset();
    m_aggregates.clear();
    m_shelf.clear();
    m_unreadyNodes.clear();
    m_taps.clear();
    m_processes.clear();
    m_processesStale = true;
}
