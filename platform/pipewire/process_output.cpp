// Which device a process plays on when we let it be: the sink the user (or
// the application itself) sent its streams to, read from the graph, so that
// the engine does not take an application it need not change off a device
// other than the default; and sending it to another, as the user's own
// mixer would.

#include "pipewire_audio_hardware.h"

#include "stream_mover.h"

#include <cstring>

namespace {

const QString kSinkClass = QStringLiteral("Audio/Sink");
const QString kTargetKey = QStringLiteral("target.object");
const QString kTargetNodeKey = QStringLiteral("target.node");
// What the session manager reads as "follow the default", in either key.
const QString kFollowDefault = QStringLiteral("-1");

} // namespace

const pw_graph::Node* PipeWireAudioHardware::chosenSink(const pw_graph::Node& stream) const
{
    const pw_graph::Graph& graph = m_connection.graph();
    QString key;
    std::optional<pw_graph::MetadataValue> target;
    // A stream we hold points at our sink; what counts is what it goes back to.
    if (m_mover->givesBack(stream, &target)) {
        key = QStringLiteral("target.object");
    } else if (const auto keys = graph.metadata.constFind(stream.id); keys != graph.metadata.cend()) {
        for (const QString& name : {QStringLiteral("target.object"), QStringLiteral("target.node")}) {
            if (keys->contains(name)) {
                key = name;
                target = keys->value(name);
                break;
            }
        }
    }
    // Else the target the application asked for itself, when it started.
    for (const QString& name : {QStringLiteral("target.object"), QStringLiteral("node.target")}) {
        if (!target && stream.properties.contains(name)) {
            key = name;
            target = pw_graph::MetadataValue{{}, stream.properties.value(name).toString()};
        }
    }
    if (!target) {
        // A move another program made that the daemon never told us of: it
        // keeps a metadata's events from everyone else while a client binds
        // it, as the PulseAudio server does for each of its clients. The one
        // sink the stream has played on for a while tells it; a stream that
        // follows the default is only on another for the moment the session
        // manager takes to follow a new default.
        // The session manager may lag behind a new default by seconds
        // where the machine is busy: until it has written that it follows
        // it, a stream on the default it still follows was moved by nobody.
        const Settling& settling = m_mover->settling();
        const uint64_t settled = settling.settledSink(stream.serial);
        const pw_graph::Node* sink = settled ? graph.nodeWithSerial(settled) : nullptr;
        return sink && sink->mediaClass == kSinkClass && !m_mover->isOurs(*sink)
                && idFor(QStringLiteral("node:%1").arg(sink->serial)) != defaultSink()
                && sink->name != settling.followedDefault()
                 ? sink
                 : nullptr;
    }
    // A number is a serial in target.object, an id in the older keys; any
    // other text a node.name.
    bool isNumber = false;
    const qint64 number = target->value.toLongLong(&isNumber);
    const pw_graph::Node* found = nullptr;
    if (!isNumber) {
        found = graph.nodeNamed(target->value, kSinkClass);
    } else {
        for (const pw_graph::Node& node : graph.nodes) {
            const qint64 wanted = key == QLatin1String("target.object") ? qint64(node.serial) : qint64(node.id);
            if (wanted == number && node.mediaClass == kSinkClass)
                found = &node;
        }
    }
    return found && !m_mover->isOurs(*found) ? found : nullptr;
}

AudioObjectID PipeWireAudioHardware::outputDeviceOf(const Process& process) const
{
    const AudioObjectID fallback = defaultSink();
    AudioObjectID elsewhere = kAudioObjectUnknown;
    for (const uint64_t stream : process.streams) {
        const pw_graph::Node* node = m_connection.graph().nodeWithSerial(stream);
        if (!node)
            continue;
        const pw_graph::Node* sink = chosenSink(*node);
        const AudioObjectID device = sink ? idFor(QStringLiteral("node:%1").arg(sink->serial)) : kAudioObjectUnknown;
        // One stream on the default is enough for the process to play there.
        if (device == kAudioObjectUnknown || device == fallback)
            return kAudioObjectUnknown;
        if (elsewhere == kAudioObjectUnknown)
            elsewhere = device;
    }
    return elsewhere;
}

std::optional<pw_graph::MetadataValue> PipeWireAudioHardware::followDefault(const pw_graph::Node& stream) const
{
    // The older key naming a device (the PulseAudio server writes it on a
    // move), or a target the application asked for itself, would send the
    // stream there once the newer key is gone; the session manager reads
    // "-1" in the newer key as the default, before either.
    const pw_graph::Graph& graph = m_connection.graph();
    const auto keys = graph.metadata.constFind(stream.id);
    const QString older = keys != graph.metadata.cend() ? keys->value(kTargetNodeKey).value : QString();
    const bool olderNamesOne = !older.isEmpty() && older != kFollowDefault;
    const bool asked = stream.properties.contains(kTargetKey) || stream.properties.contains(QStringLiteral("node.target"));
    if (!olderNamesOne && !asked)
        return std::nullopt;
    return pw_graph::MetadataValue{QStringLiteral("Spa:Id"), kFollowDefault};
}

OSStatus PipeWireAudioHardware::setOutputDevice(const Process& process, UInt32 dataSize, const void* data)
{
    if (dataSize != sizeof(AudioObjectID))
        return kAudioHardwareBadPropertySizeError;
    AudioObjectID device = kAudioObjectUnknown;
    std::memcpy(&device, data, sizeof device);
    const pw_graph::Node* target = nullptr;
    // Only a real device: never one of our own sinks, where nothing is heard.
    if (device != kAudioObjectUnknown && !(target = sink(device)))
        return kAudioHardwareBadDeviceError;
    // By serial, as a move by the user's mixer names it: a name can be taken
    // by another client's node, a serial never.
    const std::optional<pw_graph::MetadataValue> chosen =
        target ? std::optional(pw_graph::MetadataValue{QStringLiteral("Spa:Id"), QString::number(target->serial)})
               : std::nullopt;
    const QList<uint64_t> streams = process.streams;
    for (const uint64_t serial : streams) {
        const pw_graph::Node* node = m_connection.graph().nodeWithSerial(serial);
        // The daemon destroys such a stream rather than move it.
        if (!node || node->dontReconnect)
            continue;
        const std::optional<pw_graph::MetadataValue> wanted = chosen ? chosen : followDefault(*node);
        // A held stream stays where the mix reads it: the choice is what it
        // goes back to.
        if (m_mover->setGivesBack(serial, wanted))
            continue;
        const uint32_t id = node->id;
        // Where it plays now says nothing until it has followed this.
        m_mover->settling().forget(serial);
        // The older key goes too, whether we were told of it or not (see
        // chosenSink()): a move by the PulseAudio server writes it.
        if (!chosen) {
            const auto keys = m_connection.graph().metadata.constFind(id);
            if (keys == m_connection.graph().metadata.cend()
                || keys->value(kTargetNodeKey).value != kFollowDefault)
                m_connection.setMetadata(id, kTargetNodeKey, QString(), nullptr);
        }
        if (!m_connection.setMetadata(id, kTargetKey, wanted ? wanted->type : QString(), wanted ? &wanted->value : nullptr))
            return kAudioHardwareNotRunningError;
    }
    return kAudioHardwareNoError;
}
