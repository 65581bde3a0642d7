// The property side of the seam: devices, the default output, volumes, mutes
// and process objects, all answered from the connection's graph.

#include "pipewire_audio_hardware.h"

#include "aggregate_node.h"
#include "proc_files.h"
#include "property_reply.h"
#include "stream_mover.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace {

const QString kSinkClass = QStringLiteral("Audio/Sink");
const QString kStreamClass = QStringLiteral("Stream/Output/Audio");
// The session manager moves a stream within a few milliseconds.
constexpr int kLeaveWaitMs = 500;

constexpr bool isGlobal(const AudioObjectPropertyAddress& address)
{
    return address.mScope == kAudioObjectPropertyScopeGlobal && address.mElement == kAudioObjectPropertyElementMain;
}

QString baseName(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Whether pid is, right now, a process of uid running binary: only then is a
// client's own word for its pid taken.
bool processRuns(SInt32 pid, qint64 uid, const QString& binary)
{
    static const ProcFiles proc;
    if (pid <= 0 || binary.isEmpty())
        return false;
    const std::optional<uid_t> owner = proc.owner(pid);
    if (!owner || (uid >= 0 && qint64(*owner) != uid))
        return false;
    const QString name = baseName(binary);
    if (baseName(proc.executable(pid)) == name)
        return true;
    const QStringList arguments = proc.arguments(pid);
    return !arguments.isEmpty() && baseName(arguments.first()) == name;
}

// The daemon's own processes (the PulseAudio server among them) speak for
// their clients; their pid names none of those.
bool isProtocolServer(SInt32 pid)
{
    static const ProcFiles proc;
    const QString name = baseName(proc.executable(pid));
    return name == QLatin1String("pipewire") || name == QLatin1String("pipewire-pulse");
}

} // namespace

PipeWireAudioHardware::PipeWireAudioHardware(PipeWireConnection& connection, ProcessInspector& inspector)
    : m_connection(connection)
    , m_inspector(inspector)
    , m_mover(std::make_unique<StreamMover>(connection))
    , m_shelf([this](const QString& device) { return !streamsOnHoldSink(device); },
              [this](const QString& device) { return othersPlayOn(device); }, [this](const QString&) { retireHoldSink(); })
{
    QObject::connect(&m_connection, &PipeWireConnection::graphChanged, &m_connection, [this] { onGraphChanged(); });
    QObject::connect(&m_connection, &PipeWireConnection::aboutToDisconnect, &m_connection, [this] { onDisconnect(); });
    QObject::connect(&m_connection, &PipeWireConnection::nodeDescribed, &m_connection,
                     [this](uint32_t id) { onNodeDescribed(id); });
    QObject::connect(&m_connection, &PipeWireConnection::clientDescribed, &m_connection,
                     [this](uint32_t id) { onClientDescribed(id); });
    m_claim.update(m_connection.graph(), m_connection.mixerMark());
}

PipeWireAudioHardware::~PipeWireAudioHardware()
{
    QObject::disconnect(&m_connection, nullptr, &m_connection, nullptr);
    // Off the mix first, while the streams are still held (see
    // MixNodeShelf::expire()); then they go back while the mix node still
    // ties our sink to the device's clock, so that they change clocks no
    // more than when they came.
    for (auto& [id, aggregate] : m_aggregates)
        aggregate.node->readStreams({});
    m_shelf.parkAll();
    m_connection.roundTrip(kLeaveWaitMs);
    m_mover->releaseAll();
    m_connection.runUntil([this] { return !streamsOnAnyHoldSink(); }, kLeaveWaitMs);
    // Then our sinks go, before the mix nodes and still linked to them: a
    // sink unlinked from its mix node first becomes a clock of its own, and
    // the device then loses a cycle, a hole in every application playing
    // on it. The mix nodes are stopped before: a sink destroyed under a
    // running mix node was seen to crash that node's next cycle.
    for (auto& [id, aggregate] : m_aggregates)
        aggregate.node->park();
    m_connection.roundTrip(kLeaveWaitMs);
    m_mover.reset();
    onDisconnect();
}

bool PipeWireAudioHardware::processTapsSupported() const
{
    return m_connection.isConnected() && m_connection.problem().isEmpty()
        && !MixerClaim::olderMixer(m_connection.graph(), m_connection.mixerMark());
}

QString PipeWireAudioHardware::unsupportedReason() const
{
    if (!m_connection.problem().isEmpty())
        return m_connection.problem();
    const pw_graph::Client* other = MixerClaim::olderMixer(m_connection.graph(), m_connection.mixerMark());
    return other ? MixerClaim::reason(*other) : QString();
}

long PipeWireAudioHardware::audioCaptureAuthorizationStatus() const
{
    // Linux asks no permission to read another client's stream: authorised.
    return 3;
}

AudioObjectID PipeWireAudioHardware::idFor(const QString& key) const
{
    const auto found = m_ids.constFind(key);
    if (found != m_ids.cend())
        return *found;
    const AudioObjectID id = m_nextID++;
    m_ids.insert(key, id);
    m_keys.insert(id, key);
    return id;
}

const pw_graph::Node* PipeWireAudioHardware::sink(AudioObjectID device) const
{
    const QString key = m_keys.value(device);
    if (!key.startsWith(QLatin1String("node:")))
        return nullptr;
    const uint64_t serial = key.mid(5).toULongLong();
    for (const pw_graph::Node& node : m_connection.graph().nodes) {
        if (node.serial == serial && node.mediaClass == kSinkClass && !m_mover->isOurs(node))
            return &node;
    }
    return nullptr;
}

std::vector<AudioObjectID> PipeWireAudioHardware::sinks() const
{
    std::vector<const pw_graph::Node*> found;
    for (const pw_graph::Node& node : m_connection.graph().nodes) {
        if (node.mediaClass == kSinkClass && !m_mover->isOurs(node))
            found.push_back(&node);
    }
    // The daemon's order of creation, as a system lists its devices.
    std::sort(found.begin(), found.end(), [](const auto* a, const auto* b) { return a->serial < b->serial; });
    std::vector<AudioObjectID> ids;
    for (const pw_graph::Node* node : found)
        ids.push_back(idFor(QStringLiteral("node:%1").arg(node->serial)));
    return ids;
}

AudioObjectID PipeWireAudioHardware::defaultSink() const
{
    const pw_graph::Graph& graph = m_connection.graph();
    // The user's choice, as soon as it is written: the session manager
    // follows it a moment later.
    for (const char* key : {"default.configured.audio.sink", "default.audio.sink"}) {
        const pw_graph::Node* node = graph.nodeNamed(graph.defaultName(key), kSinkClass);
        if (node && !m_mover->isOurs(*node))
            return idFor(QStringLiteral("node:%1").arg(node->serial));
    }
    return kAudioObjectUnknown;
}

SInt32 PipeWireAudioHardware::trustedPid(const pw_graph::Client& client) const
{
    // The daemon's word first: a native client can claim any process as its
    // own. Only the PulseAudio server's clients are known by theirs, which
    // the server passes on from what the client said.
    if (client.securePid > 0) {
        if (!isProtocolServer(client.securePid))
            return client.securePid;
        if (processRuns(client.claimedPid, client.secureUid, client.binary))
            return client.claimedPid;
    }
    auto found = m_virtualPids.find(client.serial);
    if (found == m_virtualPids.end())
        found = m_virtualPids.insert(client.serial, m_nextVirtualPid++);
    return *found;
}

bool PipeWireAudioHardware::isApplicationStream(const pw_graph::Node& node) const
{
    // Parts of filter chains and loopbacks carry others' sound, not their
    // own; a stream not yet described might be either, or one that must
    // stay where it is, so it waits for its info (a round trip away).
    if (node.mediaClass != kStreamClass || !node.described || node.inLinkGroup || m_connection.graph().isOurs(node))
        return false;
    const auto client = m_connection.graph().clients.constFind(node.clientId);
    return client != m_connection.graph().clients.cend() && !client->ours;
}

QString PipeWireAudioHardware::applicationOf(const pw_graph::Client& client) const
{
    if (!client.described)
        return {};
    const auto cached = m_clientApps.constFind(client.serial);
    if (cached != m_clientApps.cend())
        return *cached;
    const AudioClientFacts facts{client.applicationName, baseName(client.binary), client.iconName};
    const std::optional<AppIdentity> app = m_inspector.applicationOf(trustedPid(client), [&] { return facts; });
    return *m_clientApps.insert(client.serial, app ? app->id : QString());
}

const QHash<AudioObjectID, PipeWireAudioHardware::Process>& PipeWireAudioHardware::processes() const
{
    if (!m_processesStale)
        return m_processes;
    m_processesStale = false;
    m_processes.clear();
    const pw_graph::Graph& graph = m_connection.graph();
    QHash<SInt32, AudioObjectID> byPid;
    for (const pw_graph::Node& node : graph.nodes) {
        if (!isApplicationStream(node))
            continue;
        const auto client = graph.clients.constFind(node.clientId);
        const SInt32 pid = trustedPid(*client);
        AudioObjectID id = byPid.value(pid);
        if (!id) {
            id = idFor(QStringLiteral("process:%1").arg(pid));
            byPid.insert(pid, id);
            m_processes.insert(id, Process{id, pid, {}, false,
                                           {client->applicationName, baseName(client->binary), client->iconName}});
        }
        Process& process = m_processes[id];
        process.streams.append(node.serial);
        process.running = process.running || node.running;
    }
    return m_processes;
}

std::optional<Float32> PipeWireAudioHardware::volume(const pw_graph::Node& node) const
{
    if (!node.channelVolumes || node.channelVolumes->empty())
        return std::nullopt;
    const float loudest = *std::max_element(node.channelVolumes->begin(), node.channelVolumes->end());
    // Desktop mixers show the cube root of the linear gain as the percentage.
    return std::cbrt(std::max(loudest, 0.0f));
}

bool PipeWireAudioHardware::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address)
{
    PropertyReply reply;
    const SInt32 anyPid = 0;
    const OSStatus status = read(object, address, sizeof anyPid, &anyPid, reply);
    return status != kAudioHardwareUnknownPropertyError && status != kAudioHardwareBadObjectError;
}

OSStatus PipeWireAudioHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                    UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize)
{
    PropertyReply reply;
    if (const OSStatus status = read(object, address, qualifierSize, qualifier, reply))
        return status;
    if (!outDataSize)
        return kAudioHardwareIllegalOperationError;
    *outDataSize = reply.size();
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                                                void* outData)
{
    PropertyReply reply;
    if (const OSStatus status = read(object, address, qualifierSize, qualifier, reply))
        return status;
    return reply.deliver(ioDataSize, outData);
}

OSStatus PipeWireAudioHardware::read(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, PropertyReply& reply) const
{
    const AudioObjectPropertySelector selector = address.mSelector;
    if (object == kAudioObjectSystemObject) {
        if (!isGlobal(address))
            return kAudioHardwareUnknownPropertyError;
        switch (selector) {
        case kAudioHardwarePropertyDefaultOutputDevice:
            reply.bytes = bytesOf(defaultSink());
            return kAudioHardwareNoError;
        case kAudioHardwarePropertyDevices:
            reply.list = true;
            reply.bytes = idsOf(sinks());
            return kAudioHardwareNoError;
        case kAudioHardwarePropertyProcessObjectList: {
            std::vector<AudioObjectID> ids(processes().keyBegin(), processes().keyEnd());
            std::sort(ids.begin(), ids.end());
            reply.list = true;
            reply.bytes = idsOf(ids);
            return kAudioHardwareNoError;
        }
        case kAudioHardwarePropertyTranslatePIDToProcessObject: {
            if (qualifierSize != sizeof(SInt32))
                return kAudioHardwareBadPropertySizeError;
            if (!qualifier)
                return kAudioHardwareIllegalOperationError;
            SInt32 pid = 0;
            std::memcpy(&pid, qualifier, sizeof pid);
            AudioObjectID found = kAudioObjectUnknown;
            for (const Process& process : processes()) {
                if (process.pid == pid)
                    found = process.id;
            }
            reply.bytes = bytesOf(found);
            return kAudioHardwareNoError;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const pw_graph::Node* node = sink(object)) {
        const bool output = address.mScope == kAudioObjectPropertyScopeOutput;
        switch (selector) {
        case kAudioObjectPropertyName:
        case kAudioDevicePropertyDeviceUID:
            if (!isGlobal(address))
                return kAudioHardwareUnknownPropertyError;
            reply.string = (selector == kAudioObjectPropertyName ? node->description : node->name).toStdString();
            return kAudioHardwareNoError;
        case kAudioDevicePropertyStreamConfiguration: {
            if (!output && address.mScope != kAudioObjectPropertyScopeInput)
                return kAudioHardwareUnknownPropertyError;
            const auto channels = UInt32(m_connection.graph().portsOf(node->id, pw_graph::Direction::In).size());
            // A sink plays; what it takes in is not a device input.
            reply.bytes = bufferListOf(output && channels ? std::vector<UInt32>{channels} : std::vector<UInt32>{});
            return kAudioHardwareNoError;
        }
        case kAudioDevicePropertyVolumeScalar: {
            const std::optional<Float32> scalar = volume(*node);
            if (!output || !scalar)
                return kAudioHardwareUnknownPropertyError;
            reply.bytes = bytesOf(*scalar);
            return kAudioHardwareNoError;
        }
        case kAudioDevicePropertyMute:
            if (!output || !node->mute)
                return kAudioHardwareUnknownPropertyError;
            reply.bytes = bytesOf(UInt32(*node->mute ? 1 : 0));
            return kAudioHardwareNoError;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const auto process = processes().constFind(object); process != processes().cend()) {
        if (!isGlobal(address))
            return kAudioHardwareUnknownPropertyError;
        const auto string = [&](const QString& value) {
            if (value.isEmpty())
                return kAudioHardwareUnknownPropertyError;
            reply.string = value.toStdString();
            return kAudioHardwareNoError;
        };
        switch (selector) {
        case kAudioProcessPropertyPID:
            reply.bytes = bytesOf(process->pid);
            return kAudioHardwareNoError;
        case kAudioProcessPropertyIsRunningOutput:
            reply.bytes = bytesOf(UInt32(process->running ? 1 : 0));
            return kAudioHardwareNoError;
        case kRavletProcessPropertyApplicationName:
            return string(process->facts.applicationName);
        case kRavletProcessPropertyBinary:
            return string(process->facts.binary);
        case kRavletProcessPropertyIconName:
            return string(process->facts.iconName);
        case kRavletProcessPropertyOwnVolume: {
            std::optional<Float32> loudest;
            for (const uint64_t stream : process->streams) {
                const pw_graph::Node* node = m_connection.graph().nodeWithSerial(stream);
                if (!node || !node->channelVolumes || node->channelVolumes->empty())
                    continue;
                const Float32 level = node->mute.value_or(false)
                                        ? 0.0f
                                        : *std::max_element(node->channelVolumes->begin(), node->channelVolumes->end());
                loudest = std::max(loudest.value_or(0.0f), level);
            }
            if (!loudest || std::fabs(*loudest - 1.0f) < 1e-4f)
                return kAudioHardwareUnknownPropertyError;
            reply.bytes = bytesOf(*loudest);
            return kAudioHardwareNoError;
        }
        case kRavletProcessPropertyOutputDevice:
            if (const AudioObjectID device = outputDeviceOf(*process)) {
                reply.bytes = bytesOf(device);
                return kAudioHardwareNoError;
            }
            return kAudioHardwareUnknownPropertyError;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const auto tap = m_taps.find(object); tap != m_taps.end()) {
        if (!isGlobal(address))
            return kAudioHardwareUnknownPropertyError;
        switch (selector) {
        case kAudioTapPropertyUID:
            reply.string = tap->second.uid.toStdString();
            return kAudioHardwareNoError;
        case kAudioObjectPropertyName:
            reply.string = tap->second.description.name.toStdString();
            return kAudioHardwareNoError;
        case kAudioTapPropertyFormat:
            // What the mix reads of a tap: two channels of 32-bit float, one
            // buffer each.
            reply.bytes = bytesOf(AudioStreamBasicDescription{
                AggregateNode::sampleRate(m_connection.graph()), kAudioFormatLinearPCM,
                kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved, 4, 1, 4, 2,
                32, 0});
            return kAudioHardwareNoError;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const auto aggregate = m_aggregates.find(object); aggregate != m_aggregates.end()) {
        switch (selector) {
        case kAudioObjectPropertyName:
            reply.string = "Ravlet";
            return isGlobal(address) ? kAudioHardwareNoError : kAudioHardwareUnknownPropertyError;
        case kAudioDevicePropertyDeviceUID:
            reply.string = aggregate->second.uid.toStdString();
            return isGlobal(address) ? kAudioHardwareNoError : kAudioHardwareUnknownPropertyError;
        case kAudioDevicePropertyStreamConfiguration: {
            const pw_graph::Node* master = m_connection.graph().nodeNamed(aggregate->second.masterName, kSinkClass);
            const auto masterChannels = master ? m_connection.graph().portsOf(master->id, pw_graph::Direction::In).size() : 0;
            const std::size_t channels = address.mScope == kAudioObjectPropertyScopeOutput
                                           ? masterChannels
                                           : 2 * aggregate->second.taps.size();
            reply.bytes = bufferListOf(std::vector<UInt32>(channels, 1));
            return kAudioHardwareNoError;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }
    return kAudioHardwareBadObjectError;
}

OSStatus PipeWireAudioHardware::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                UInt32 /*qualifierSize*/, const void* /*qualifier*/, UInt32 dataSize,
                                                const void* data)
{
    if (!data)
        return kAudioHardwareIllegalOperationError;
    if (address.mSelector == kRavletProcessPropertyOutputDevice && isGlobal(address)) {
        if (const auto process = processes().constFind(object); process != processes().cend())
            return setOutputDevice(*process, dataSize, data);
    }
    if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyDefaultOutputDevice) {
        if (!isGlobal(address))
            return kAudioHardwareUnknownPropertyError;
        if (dataSize != sizeof(AudioObjectID))
            return kAudioHardwareBadPropertySizeError;
        AudioObjectID device = kAudioObjectUnknown;
        std::memcpy(&device, data, sizeof device);
        const pw_graph::Node* node = sink(device);
        if (!node)
            return kAudioHardwareBadDeviceError;
        // As desktop mixers do: the user's choice, which the session manager
        // follows and remembers.
        const QString value = pw_graph::jsonForName(node->name);
        // Read back at once, as Core Audio's default is: the connection
        // takes its own writes as made.
        if (!m_connection.setMetadata(0, QStringLiteral("default.configured.audio.sink"),
                                      QStringLiteral("Spa:String:JSON"), &value))
            return kAudioHardwareNotRunningError;
        return kAudioHardwareNoError;
    }
    const pw_graph::Node* node = sink(object);
    if (!node)
        return object == kAudioObjectSystemObject || m_taps.count(object) || m_aggregates.count(object)
                || processes().contains(object)
                 ? kAudioHardwareUnknownPropertyError
                 : kAudioHardwareBadObjectError;
    if (address.mSelector == kAudioDevicePropertyMute && address.mScope == kAudioObjectPropertyScopeOutput
        && node->mute) {
        if (dataSize != sizeof(UInt32))
            return kAudioHardwareBadPropertySizeError;
        UInt32 muted = 0;
        std::memcpy(&muted, data, sizeof muted);
        return m_connection.setMute(node->id, muted != 0) ? kAudioHardwareNoError : kAudioHardwareNotRunningError;
    }
    if (address.mSelector != kAudioDevicePropertyVolumeScalar || address.mScope != kAudioObjectPropertyScopeOutput
        || !node->channelVolumes || node->channelVolumes->empty())
        return kAudioHardwareUnknownPropertyError;
    if (dataSize != sizeof(Float32))
        return kAudioHardwareBadPropertySizeError;
    Float32 scalar = 0;
    std::memcpy(&scalar, data, sizeof scalar);
    if (!std::isfinite(scalar))
        return kAudioHardwareIllegalOperationError;
    const float wanted = std::pow(std::clamp(scalar, 0.0f, 1.0f), 3.0f);
    std::vector<float> volumes = *node->channelVolumes;
    const float loudest = *std::max_element(volumes.begin(), volumes.end());
    // The balance between the channels stays as the user set it.
    for (float& channel : volumes)
        channel = loudest > 0.0f ? channel * (wanted / loudest) : wanted;
    return m_connection.setVolumes(node->id, volumes) ? kAudioHardwareNoError : kAudioHardwareNotRunningError;
}

void PipeWireAudioHardware::onGraphChanged()
{
    m_processesStale = true;
    m_claim.update(m_connection.graph(), m_connection.mixerMark());
    forgetGoneObjects();
    m_mover->settling().update(m_connection.graph());
    updateHolds();
    const auto holdSinkOf = [this](const QString& device) { return m_mover->sinkNode(device); };
    for (auto& [id, aggregate] : m_aggregates) {
        if (aggregate.node)
            aggregate.node->followHoldSink(holdSinkOf(aggregate.masterName));
    }
    m_shelf.followHoldSinks(holdSinkOf);
    m_shelf.graphChanged();
}

void PipeWireAudioHardware::forgetGoneObjects()
{
    // Ids of objects that are gone are dropped from the mint but never handed
    // out again: the counter only grows.
    QSet<QString> alive;
    for (const pw_graph::Node& node : m_connection.graph().nodes)
        alive.insert(QStringLiteral("node:%1").arg(node.serial));
    for (const Process& process : processes())
        alive.insert(QStringLiteral("process:%1").arg(process.pid));
    QSet<uint64_t> clients;
    for (const pw_graph::Client& client : m_connection.graph().clients)
        clients.insert(client.serial);
    m_virtualPids.removeIf([&](const auto& entry) { return !clients.contains(entry.key()); });
    m_clientApps.removeIf([&](const auto& entry) { return !clients.contains(entry.key()); });
    for (auto it = m_ids.begin(); it != m_ids.end();) {
        if ((it.key().startsWith(QLatin1String("node:")) || it.key().startsWith(QLatin1String("process:")))
            && !alive.contains(it.key())) {
            m_keys.remove(it.value());
            it = m_ids.erase(it);
        } else {
            ++it;
        }
    }
}
