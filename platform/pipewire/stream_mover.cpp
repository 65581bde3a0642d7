#include "stream_mover.h"

#include "system_log.h"

#include <pipewire/pipewire.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <QUuid>

namespace {

const QString kTargetKey = QStringLiteral("target.object");
constexpr int kSinkWaitMs = 2000;
constexpr int kPendingCheckMs = 250;

} // namespace

StreamMover::StreamMover(PipeWireConnection& connection, QString journalPath)
    : m_connection(connection)
    , m_journalPath(std::move(journalPath))
    , m_sinkName(QStringLiteral("ravlet-hold-") + QUuid::createUuid().toString(QUuid::Id128).left(12))
{
    connect(&m_connection, &PipeWireConnection::connectedChanged, this, [this](bool connected) {
        if (connected)
            onConnected();
    });
    connect(&m_connection, &PipeWireConnection::aboutToDisconnect, this, [this] {
        releaseAll();
        if (m_sink)
            pw_proxy_destroy(m_sink);
        m_sink = nullptr;
    });
    connect(&m_connection, &PipeWireConnection::graphChanged, this, [this] { sweep(); });
    if (m_connection.isConnected())
        onConnected();
}

StreamMover::~StreamMover()
{
    releaseAll();
    if (m_sink)
        pw_proxy_destroy(m_sink);
    // What was sent must reach the daemon before the connection closes.
    m_connection.roundTrip(500);
}

QString StreamMover::defaultJournalPath()
{
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        runtime = QDir::tempPath();
    return runtime + QStringLiteral("/ravlet/moved-streams.json");
}

bool StreamMover::ensureSink()
{
    if (sinkNode())
        return true;
    if (!m_sink) {
        // Last in every choice of a default, and saying what it is to the
        // mixers that will list it anyway.
        m_sink = m_connection.createObject(
            "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE,
            pw_properties_new("factory.name", "support.null-audio-sink", PW_KEY_NODE_NAME,
                              m_sinkName.toUtf8().constData(), PW_KEY_NODE_DESCRIPTION,
                              "Ravlet (holds the applications it mixes)", PW_KEY_MEDIA_CLASS, "Audio/Sink",
                              "audio.position", "[ FL FR ]", PW_KEY_PRIORITY_SESSION, "-1000",
                              // Never the clock of a device it shares a graph
                              // with: the daemon reads this one unsigned.
                              PW_KEY_PRIORITY_DRIVER, "0", PW_KEY_OBJECT_LINGER, "false",
                              // Nothing of it belongs in the session manager's
                              // memory, its name being new every run:
                              // WirePlumber remembers the volumes of sinks
                              // without routes only.
                              "device.routes", "0",
                              // Never suspended by WirePlumber: its timer
                              // for that outlives a sink destroyed while it
                              // runs (we quit within a few seconds of our
                              // sink falling idle) and crashes it (0.4.13).
                              // Idle, the sink costs nothing.
                              "session.suspend-timeout-seconds", "0", nullptr));
    }
    return m_connection.runUntil([this] { return sinkNode() != 0; }, kSinkWaitMs);
}

void StreamMover::dropSink()
{
    if (!m_sink)
        return;
    pw_proxy_destroy(m_sink);
    m_sink = nullptr;
    // Its name is ours for the whole run: the next sink must not be taken
    // for this one while the daemon still lists it.
    m_connection.runUntil([this] { return sinkNode() == 0; }, kSinkWaitMs);
}

uint32_t StreamMover::sinkNode() const
{
    const pw_graph::Node* node = m_connection.graph().nodeNamed(m_sinkName);
    return node ? node->id : 0;
}

bool StreamMover::isOurs(const pw_graph::Node& node) const
{
    return node.name == m_sinkName || m_connection.graph().isOurs(node);
}

void StreamMover::hold(const QSet<uint32_t>& streams)
{
    m_wanted = streams;
    const pw_graph::Graph& graph = m_connection.graph();
    bool moved = false;
    for (const uint32_t stream : streams) {
        if (m_moved.contains(stream) || !ensureSink())
            continue;
        const auto node = graph.nodes.constFind(stream);
        if (node == graph.nodes.cend() || node->dontReconnect)
            continue;
        Moved entry;
        entry.serial = node->serial;
        const auto keys = graph.metadata.constFind(stream);
        if (keys != graph.metadata.cend() && keys->contains(kTargetKey))
            entry.previous = keys->value(kTargetKey);
        entry.since.start();
        m_moved.insert(stream, entry);
        m_connection.setMetadata(stream, kTargetKey, QString(), &m_sinkName);
        moved = true;
    }
    if (moved)
        writeJournal();
    // Giving back waits for the event loop: the caller may be about to want
    // the same streams again.
    if (!m_sweepQueued) {
        m_sweepQueued = true;
        QTimer::singleShot(0, this, [this] {
            m_sweepQueued = false;
            sweep();
        });
    }
}

bool StreamMover::isHeld(uint32_t stream) const
{
    const auto moved = m_moved.constFind(stream);
    const uint32_t sink = sinkNode();
    if (moved == m_moved.cend() || moved->givenUp || !sink)
        return false;
    const pw_graph::Graph& graph = m_connection.graph();
    bool toSink = false;
    for (const pw_graph::Link& link : graph.links) {
        if (link.outputNode != stream)
            continue;
        if (link.inputNode == sink) {
            toSink = true;
            continue;
        }
        const auto input = graph.nodes.constFind(link.inputNode);
        if (input == graph.nodes.cend() || !isOurs(*input))
            return false;
    }
    return toSink;
}

void StreamMover::sweep()
{
    const pw_graph::Graph& graph = m_connection.graph();
    bool changed = false;
    bool pending = false;
    for (auto it = m_moved.begin(); it != m_moved.end();) {
        const auto node = graph.nodes.constFind(it.key());
        if (node == graph.nodes.cend() || node->serial != it->serial) {
            it = m_moved.erase(it);
            changed = true;
            continue;
        }
        if (!m_wanted.contains(it.key())) {
            if (!it->givenUp)
                restore(it.key(), *it);
            it = m_moved.erase(it);
            changed = true;
            continue;
        }
        if (!it->givenUp && !isHeld(it.key())) {
            if (it->since.elapsed() > kMoveDeadlineMs) {
                // Better heard at full volume than silenced for good.
                systemLog(QStringLiteral("[ravlet] stream of ") + node->description
                          + QStringLiteral(" did not move; it plays directly"));
                restore(it.key(), *it);
                it->givenUp = true;
                changed = true;
            } else {
                pending = true;
            }
        }
        ++it;
    }
    if (changed)
        writeJournal();
    if (pending)
        QTimer::singleShot(kPendingCheckMs, this, [this] { sweep(); });
}

void StreamMover::restore(uint32_t stream, const Moved& moved)
{
    // Exactly what was there: the user's own choice, or nothing.
    if (moved.previous)
        m_connection.setMetadata(stream, kTargetKey, moved.previous->type, &moved.previous->value);
    else
        m_connection.setMetadata(stream, kTargetKey, QString(), nullptr);
}

void StreamMover::releaseAll()
{
    m_wanted.clear();
    for (auto it = m_moved.cbegin(); it != m_moved.cend(); ++it) {
        if (!it->givenUp)
            restore(it.key(), *it);
    }
    m_moved.clear();
    writeJournal();
}

void StreamMover::onConnected()
{
    recoverJournal();
}

// Keys an earlier run set and could not take back (it was killed): each
// stream that still points at that run's sink gets its own target again.
void StreamMover::recoverJournal()
{
    QFile file(m_journalPath);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1024 * 1024)
        return;
    const QJsonArray entries = QJsonDocument::fromJson(file.readAll()).array();
    file.close();
    const pw_graph::Graph& graph = m_connection.graph();
    for (const QJsonValue& value : entries) {
        const QJsonObject entry = value.toObject();
        const QString sink = entry.value(QStringLiteral("sink")).toString();
        const auto serial = quint64(entry.value(QStringLiteral("serial")).toDouble());
        if (sink.isEmpty() || sink == m_sinkName)
            continue;
        for (const pw_graph::Node& node : graph.nodes) {
            const auto keys = graph.metadata.constFind(node.id);
            if (node.serial != serial || keys == graph.metadata.cend()
                || keys->value(kTargetKey).value != sink)
                continue;
            Moved moved;
            const QJsonValue previous = entry.value(QStringLiteral("previous"));
            if (previous.isObject())
                moved.previous = pw_graph::MetadataValue{previous[QStringLiteral("type")].toString(),
                                                         previous[QStringLiteral("value")].toString()};
            restore(node.id, moved);
        }
    }
    writeJournal();
}

void StreamMover::writeJournal() const
{
    QJsonArray entries;
    for (const Moved& moved : m_moved) {
        if (moved.givenUp)
            continue;
        QJsonObject entry{{QStringLiteral("sink"), m_sinkName}, {QStringLiteral("serial"), double(moved.serial)}};
        entry.insert(QStringLiteral("previous"),
                     moved.previous ? QJsonValue(QJsonObject{{QStringLiteral("type"), moved.previous->type},
                                                             {QStringLiteral("value"), moved.previous->value}})
                                    : QJsonValue());
        entries.append(entry);
    }
    QDir().mkpath(QFileInfo(m_journalPath).path());
    QSaveFile file(m_journalPath);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(entries).toJson(QJsonDocument::Compact));
        file.commit();
    }
}
