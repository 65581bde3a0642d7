// Which device a process plays on when we let it be: the sink the user (or
// the application itself) sent its streams to, read from the graph, so that
// the engine does not take an application it need not change off a device
// other than the default.

#include "pipewire_audio_hardware.h"

#include "stream_mover.h"

namespace {

const QString kSinkClass = QStringLiteral("Audio/Sink");

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
    if (!target)
        return nullptr;
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
