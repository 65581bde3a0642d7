#include "hold_sink.h"

#include "system_log.h"

#include <pipewire/pipewire.h>

#include <QUuid>

#include <algorithm>
#include <utility>

namespace {

const QString kConfiguredSink = QStringLiteral("default.configured.audio.sink");
// Far more than any run makes; past it the oldest are forgotten.
constexpr qsizetype kMaxFormerNames = 64;

QString newName()
{
    return QStringLiteral("ravlet-hold-") + QUuid::createUuid().toString(QUuid::Id128).left(12);
}

const pw_proxy_events& proxyEvents()
{
    static const pw_proxy_events events = [] {
        pw_proxy_events e{};
        e.version = PW_VERSION_PROXY_EVENTS;
        // Someone destroyed our sink: the next ensure() makes another.
        e.removed = [](void* data) { static_cast<HoldSink*>(data)->destroy(); };
        return e;
    }();
    return events;
}

} // namespace

HoldSink::HoldSink(PipeWireConnection& connection, std::function<bool(const QString&)> namesAnyOfOurs)
    : m_connection(connection)
    , m_namesAnyOfOurs(std::move(namesAnyOfOurs))
    , m_name(newName())
{
    connect(&m_connection, &PipeWireConnection::graphChanged, this, [this] {
        renameWhenTaken();
        guardDefault();
    });
    // Everything made on the connection goes with it.
    connect(&m_connection, &PipeWireConnection::aboutToDisconnect, this, [this] { destroy(); });
}

HoldSink::~HoldSink()
{
    destroy();
}

bool HoldSink::ensure()
{
    if (nodeId())
        return true;
    const bool made = !m_proxy;
    if (made) {
        // Ours is gone, so a node under its name now is another client's.
        if (m_connection.graph().nodeNamed(m_name))
            takeNewName();
        m_proxy = create();
    }
    return m_proxy && m_connection.runUntil([this] { return nodeId() != 0; }, made ? PipeWireConnection::kPlacedWaitMs : 0);
}

pw_proxy* HoldSink::create()
{
    // Last in every choice of a default, and saying what it is to the
    // mixers that will list it anyway.
    pw_proxy* proxy = m_connection.createObject(
            "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE,
            pw_properties_new("factory.name", "support.null-audio-sink", PW_KEY_NODE_NAME, m_name.toUtf8().constData(),
                              PW_KEY_NODE_DESCRIPTION, "Ravlet (holds the applications it mixes)", PW_KEY_MEDIA_CLASS,
                              "Audio/Sink", "audio.position", "[ FL FR ]", PW_KEY_PRIORITY_SESSION, "-1000",
                              // Never the clock of a device it shares a graph
                              // with: the daemon reads this one unsigned.
                              PW_KEY_PRIORITY_DRIVER, "0", PW_KEY_OBJECT_LINGER, "false",
                              // Nothing of it belongs in the session manager's
                              // memory, its name being new every run:
                              // WirePlumber 0.4 saves the volume of every sink
                              // that says it has no routes ("0") or does not
                              // say, under its name, one entry per start.
                              "device.routes", "1",
                              // Never suspended by WirePlumber: its timer
                              // for that outlives a sink destroyed while it
                              // runs (we quit within a few seconds of our
                              // sink falling idle) and crashes it (0.4.13).
                              // Idle, the sink costs nothing.
                              "session.suspend-timeout-seconds", "0", nullptr));
    if (proxy)
        pw_proxy_add_listener(proxy, &m_listener, &proxyEvents(), this);
    return proxy;
}

uint32_t HoldSink::boundNode(pw_proxy* proxy) const
{
    const uint32_t id = PipeWireConnection::boundId(proxy);
    return id && m_connection.graph().nodes.contains(id) ? id : 0;
}

uint32_t HoldSink::nodeId() const
{
    const uint32_t id = boundNode(m_proxy);
    return id ? id : boundNode(m_retiring);
}

bool HoldSink::holds(uint32_t node) const
{
    return node && (node == boundNode(m_proxy) || node == boundNode(m_retiring));
}

// Not from inside a PipeWire event: the graph's change is told on the event
// loop's next turn.
void HoldSink::renameWhenTaken()
{
    dropRetiring();
    const uint32_t ours = boundNode(m_proxy);
    if (!ours || m_retiring)
        return;
    const pw_graph::Graph& graph = m_connection.graph();
    const bool taken = std::any_of(graph.nodes.cbegin(), graph.nodes.cend(), [&](const pw_graph::Node& node) {
        return node.id != ours && node.name == m_name;
    });
    if (!taken)
        return;
    takeNewName();
    // The old one keeps what it holds until the streams reach the new one.
    spa_hook_remove(&m_listener);
    m_retiring = std::exchange(m_proxy, create());
}

void HoldSink::takeNewName()
{
    m_formerNames.append(std::exchange(m_name, newName()));
    if (m_formerNames.size() > kMaxFormerNames)
        m_formerNames.removeFirst();
    systemLog(QStringLiteral("[ravlet] another program named a node after Ravlet's private sink; ")
              + QStringLiteral("the sink is made under a new name"));
}

// Once nothing is linked to it: PipeWire before 0.3.72 can leave a node
// destroyed under its links behind in the nodes at their other ends.
void HoldSink::dropRetiring()
{
    const uint32_t retiring = PipeWireConnection::boundId(m_retiring);
    if (!m_retiring || !boundNode(m_proxy))
        return;
    const pw_graph::Graph& graph = m_connection.graph();
    if (graph.nodes.contains(retiring)
        && std::any_of(graph.links.cbegin(), graph.links.cend(), [&](const pw_graph::Link& link) {
               return link.inputNode == retiring || link.outputNode == retiring;
           }))
        return;
    pw_proxy_destroy(std::exchange(m_retiring, nullptr));
}

bool HoldSink::isNamedBy(const QString& value) const
{
    return isCurrentTarget(value) || isFormerName(value);
}

bool HoldSink::isCurrentTarget(const QString& value) const
{
    if (value.isEmpty())
        return false;
    if (value == m_name)
        return true;
    const auto node = m_connection.graph().nodes.constFind(nodeId());
    return node != m_connection.graph().nodes.cend() && value == QString::number(node->serial);
}

bool HoldSink::isOurs(const pw_graph::Node& node) const
{
    return holds(node.id) || m_connection.graph().isOurs(node);
}

bool HoldSink::namesOurs(const QString& value) const
{
    return isNamedBy(value) || (m_namesAnyOfOurs && m_namesAnyOfOurs(value));
}

void HoldSink::destroy()
{
    if (m_retiring)
        pw_proxy_destroy(std::exchange(m_retiring, nullptr));
    if (!m_proxy)
        return;
    spa_hook_remove(&m_listener);
    pw_proxy* proxy = m_proxy;
    m_proxy = nullptr;
    pw_proxy_destroy(proxy);
}

// Another mixer offering our sink, as it offers every sink, can make it the
// default: every application that plays directly would fall silent. The
// session manager's own choice naming it shows the same when the daemon kept
// the configured one from us.
void HoldSink::guardDefault()
{
    const pw_graph::Graph& graph = m_connection.graph();
    const auto keys = graph.metadata.constFind(0);
    const bool set = keys != graph.metadata.cend() && keys->contains(kConfiguredSink);
    const pw_graph::MetadataValue value = set ? keys->value(kConfiguredSink) : pw_graph::MetadataValue{};
    const auto ours = graph.nodes.constFind(nodeId());
    if (ours == graph.nodes.cend()) {
        // Our sink named before this program has seen it bound (another
        // program quick off the mark, a busy machine) is not the user's
        // choice: the one before it stays what is put back.
        if (!set || !namesOurs(pw_graph::nameFromJson(value.value)))
            m_userDefault = set ? std::optional(value) : std::nullopt;
        return;
    }
    const bool configured = set && pw_graph::nameFromJson(value.value) == ours->name;
    // Another sink of ours named is that sink's to put right; it is never
    // the user's choice either.
    if (set && !configured && namesOurs(pw_graph::nameFromJson(value.value))) {
        m_puttingBack = false;
        return;
    }
    const bool chosen = graph.defaultName("default.audio.sink") == ours->name
                     && std::any_of(graph.nodes.cbegin(), graph.nodes.cend(), [&](const pw_graph::Node& node) {
                            return node.mediaClass == QLatin1String("Audio/Sink") && !isOurs(node);
                        });
    if (!configured)
        m_userDefault = set ? std::optional(value) : std::nullopt;
    // Once for each time it happens: what we put back shows a moment later.
    const bool happening = configured || chosen;
    if (!happening || m_puttingBack) {
        m_puttingBack = happening;
        return;
    }
    m_puttingBack = true;
    const QString previous = m_userDefault ? pw_graph::nameFromJson(m_userDefault->value) : QString();
    if (m_userDefault)
        m_connection.setMetadata(0, kConfiguredSink, m_userDefault->type, &m_userDefault->value);
    else
        m_connection.setMetadata(0, kConfiguredSink, QString(), nullptr);
    systemLog(QStringLiteral("[ravlet] another program made Ravlet's private sink the default output; ")
              + (previous.isEmpty() ? QStringLiteral("the session manager chooses the default again")
                                    : QStringLiteral("the default is ") + previous + QStringLiteral(" again")));
}
