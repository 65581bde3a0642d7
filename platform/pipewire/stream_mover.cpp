#include "stream_mover.h"

#include "stream_journal.h"
#include "system_log.h"

#include <pipewire/pipewire.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>

namespace {

const QString kTargetKey = QStringLiteral("target.object");
// The older key, which the session manager still writes and reads.
const QString kTargetNodeKey = QStringLiteral("target.node");
constexpr int kPendingCheckMs = 250;
// A stream given up on is sent to our sink again after this, doubled with
// every try up to the last: a stopped session manager may run again.
constexpr int kFirstRetryMs = 1000;
constexpr int kLongestRetryMs = 8000;
// A stream given back plays elsewhere within this, unless a key we never
// heard of keeps it on our sink; we watch it this long.
constexpr int kGivenBackMs = 1000;
constexpr int kGivenBackWatchMs = 6000;

// A node that plays what it is given where someone hears it.
bool isDevice(const pw_graph::Node& node)
{
    return node.mediaClass == QLatin1String("Audio/Sink") || node.mediaClass == QLatin1String("Audio/Duplex");
}

} // namespace

StreamMover::StreamMover(PipeWireConnection& connection, QString journalPath)
    : m_connection(connection)
    , m_journalPath(std::move(journalPath))
{
    connect(&m_connection, &PipeWireConnection::connectedChanged, this, [this](bool connected) {
        if (connected)
            onConnected();
    });
    connect(&m_connection, &PipeWireConnection::aboutToDisconnect, this, [this] { releaseAll(); });
    connect(&m_connection, &PipeWireConnection::graphChanged, this, [this] { sweep(); });
    m_recheck.setSingleShot(true);
    connect(&m_recheck, &QTimer::timeout, this, [this] { sweep(); });
    if (m_connection.isConnected())
        onConnected();
}

StreamMover::~StreamMover()
{
    releaseAll();
    for (auto& [device, sink] : m_sinks)
        sink->destroy();
    // What was sent must reach the daemon before the connection closes.
    m_connection.roundTrip(500);
}

QString StreamMover::defaultJournalPath()
{
    return stream_journal::defaultPath();
}

HoldSink& StreamMover::sinkOf(const QString& device)
{
    std::unique_ptr<HoldSink>& sink = m_sinks[device];
    if (!sink)
        sink = std::make_unique<HoldSink>(m_connection, [this](const QString& value) { return namesOurSink(value); });
    return *sink;
}

const HoldSink* StreamMover::findSink(const QString& device) const
{
    const auto found = m_sinks.find(device);
    return found == m_sinks.end() ? nullptr : found->second.get();
}

bool StreamMover::ensureSink(const QString& device)
{
    return !device.isEmpty() && sinkOf(device).ensure();
}

uint32_t StreamMover::sinkNode(const QString& device) const
{
    const HoldSink* sink = findSink(device);
    return sink ? sink->nodeId() : 0;
}

std::map<QString, uint32_t> StreamMover::sinkNodes() const
{
    std::map<QString, uint32_t> nodes;
    for (const auto& [device, sink] : m_sinks) {
        if (const uint32_t node = sink->nodeId())
            nodes.emplace(device, node);
    }
    return nodes;
}

bool StreamMover::isOurs(const pw_graph::Node& node) const
{
    return m_connection.graph().isOurs(node)
        || std::any_of(m_sinks.begin(), m_sinks.end(), [&](const auto& entry) { return entry.second->isOurs(node); });
}

bool StreamMover::namesOurSink(const QString& value) const
{
    return std::any_of(m_sinks.begin(), m_sinks.end(), [&](const auto& entry) { return entry.second->isNamedBy(value); });
}

void StreamMover::dropSink(const QString& device)
{
    const auto found = m_sinks.find(device);
    if (found == m_sinks.end())
        return;
    const uint32_t node = found->second->nodeId();
    found->second->destroy();
    // The next sink must not be taken for this one while the daemon still
    // lists it.
    m_connection.runUntil([this, node] { return !m_connection.graph().nodes.contains(node); }, 2000);
}

std::optional<pw_graph::MetadataValue> StreamMover::targetOf(uint32_t node) const
{
    const pw_graph::Graph& graph = m_connection.graph();
    const auto keys = graph.metadata.constFind(node);
    if (keys == graph.metadata.cend() || !keys->contains(kTargetKey))
        return std::nullopt;
    return keys->value(kTargetKey);
}

void StreamMover::hold(const QHash<uint64_t, QString>& streams)
{
    m_wanted = streams;
    const pw_graph::Graph& graph = m_connection.graph();
    bool moved = false;
    for (auto wanted = streams.cbegin(); wanted != streams.cend(); ++wanted) {
        const uint64_t stream = wanted.key();
        const QString& device = wanted.value();
        const auto held = m_moved.constFind(stream);
        if (held != m_moved.cend() && (held->device == device || held->givenUp))
            continue;
        // The sink first: making it runs the loop, and the graph changes.
        if (!ensureSink(device))
            continue;
        const pw_graph::Node* node = graph.nodeWithSerial(stream);
        if (!node || node->dontReconnect)
            continue;
        move(*node, device);
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

void StreamMover::holdNow(uint64_t stream, const QString& device)
{
    if (!sinkNode(device))
        return;
    m_wanted.insert(stream, device);
    const pw_graph::Node* node = m_connection.graph().nodeWithSerial(stream);
    const auto held = m_moved.constFind(stream);
    if ((held != m_moved.cend() && (held->device == device || held->givenUp)) || !node || node->dontReconnect)
        return;
    move(*node, device);
    // The file waits for the event loop: the write to the daemon must not.
    scheduleJournal();
}

void StreamMover::move(const pw_graph::Node& node, const QString& device)
{
    // Held on another device's sink until now: what it goes back to stays.
    const auto held = m_moved.constFind(node.serial);
    Moved entry = held != m_moved.cend() ? *held : Moved{};
    if (held == m_moved.cend()) {
        entry.serial = node.serial;
        // Our own sinks are never where a stream belongs.
        const std::optional<pw_graph::MetadataValue> current = targetOf(node.id);
        if (current && !namesOurSink(current->value))
            entry.previous = current;
    }
    entry.device = device;
    entry.givenUp = false;
    entry.settled = false;
    // Given back moments ago, or sent to another device's sink: a session
    // manager that lags may act on what we wrote before after this.
    const auto back = m_givenBack.find(node.serial);
    entry.mayLag = held != m_moved.cend()
                || (back != m_givenBack.end() && !back->second.since.hasExpired(kMoveDeadlineMs));
    entry.since.start();
    const QString sink = sinkOf(device).targetValue();
    writeTarget(node.id, &sink, *m_moved.insert(node.serial, entry));
}

void StreamMover::writeTarget(uint32_t node, const QString* value, const Moved& moved, const QString& type)
{
    m_connection.setMetadata(node, kTargetKey, type, value);
    keepSavedTarget(node, moved);
}

// The session manager remembers a target per kind of stream (its media role,
// else its application) from the last target written for any such stream,
// and forgets it when the value names no node by serial, as our sink's name
// never does. The stream's "target.node", which the session manager wrote
// from that memory when the stream started (or the user's mixer wrote when
// it moved it), names it again, unless the stream goes back elsewhere. The
// daemon passes on changes only: the same id under another of its type's
// spellings is one.
void StreamMover::keepSavedTarget(uint32_t node, const Moved& moved)
{
    const pw_graph::Graph& graph = m_connection.graph();
    const auto keys = graph.metadata.constFind(node);
    if (keys == graph.metadata.cend() || !keys->contains(kTargetNodeKey))
        return;
    const pw_graph::MetadataValue target = keys->value(kTargetNodeKey);
    bool number = false;
    const uint32_t id = target.value.toUInt(&number);
    const auto device = graph.nodes.constFind(id);
    // -1 is "follow the default": nothing to remember.
    if (!number || device == graph.nodes.cend() || isOurs(*device))
        return;
    if (moved.previous && moved.previous->value != device->name
        && moved.previous->value != QString::number(device->serial))
        return;
    const QString type = target.type == QLatin1String("Spa:Id") ? QStringLiteral("Spa:Int") : QStringLiteral("Spa:Id");
    m_connection.setMetadata(node, kTargetNodeKey, type, &target.value);
}

QString StreamMover::heldOn(uint64_t stream) const
{
    const auto moved = m_moved.constFind(stream);
    return moved == m_moved.cend() || moved->givenUp ? QString() : moved->device;
}

bool StreamMover::isHeld(uint64_t stream, const QString& device) const
{
    const auto moved = m_moved.constFind(stream);
    const pw_graph::Graph& graph = m_connection.graph();
    const pw_graph::Node* node = graph.nodeWithSerial(stream);
    if (moved == m_moved.cend() || moved->givenUp || moved->device != device || !node)
        return false;
    const HoldSink* sink = findSink(moved->device);
    if (!sink || !sink->nodeId())
        return false;
    bool toSink = false;
    for (const pw_graph::Link& link : graph.links) {
        if (link.outputNode != node->id)
            continue;
        if (sink->holds(link.inputNode)) {
            toSink = true;
            continue;
        }
        const auto input = graph.nodes.constFind(link.inputNode);
        if (input == graph.nodes.cend() || !isOurs(*input))
            return false;
    }
    return toSink;
}

// Our target rewritten or removed by someone else, or, once the stream was
// held, a link from it to a device of someone else's: the user moved it. The
// link is also all that shows of a target written while the daemon kept its
// word of it from us (it does, to everyone else, while any client is binding
// the metadata, as a program that binds it to write at once is).
StreamMover::Adoption StreamMover::adoptMove(const pw_graph::Node& node, Moved& moved)
{
    const pw_graph::Graph& graph = m_connection.graph();
    const std::optional<pw_graph::MetadataValue> target = targetOf(node.id);
    HoldSink& ours = sinkOf(moved.device);
    // Its new name names nothing yet.
    if (ours.isRenaming())
        return Adoption::Waiting;
    QList<uint32_t> links;
    QString device;
    uint64_t deviceSerial = 0;
    if (moved.settled && ours.nodeId()) {
        for (const pw_graph::Link& link : graph.links) {
            const auto input = graph.nodes.constFind(link.inputNode);
            if (link.outputNode == node.id && input != graph.nodes.cend() && !isOurs(*input) && isDevice(*input)) {
                links.append(link.id);
                device = input->name;
                deviceSerial = input->serial;
            }
        }
    }
    // Sent to a sink of ours that went, under a name another client's node
    // now has, or to another device's: sent to its own as it is now.
    if (target && namesOurSink(target->value) && !ours.isCurrentTarget(target->value)) {
        const QString sink = ours.targetValue();
        writeTarget(node.id, &sink, moved);
        moved.since.restart();
        moved.settled = false;
        return Adoption::Adopted;
    }
    const bool retargeted = !target || !namesOurSink(target->value);
    if (!retargeted) {
        if (links.isEmpty())
            return Adoption::None;
        // A session manager that lags behind links a stream given back
        // just before it was wanted again (or sent from another device's
        // sink) where that sent it, and moves it here again moments later;
        // so it does with a stream it links to the default it follows, or
        // followed a moment ago, before it has taken our target again. A
        // user's move stays.
        if ((moved.mayLag || m_settling.wasDefaultLately(device)) && !m_settling.settledOn(node.serial, deviceSerial))
            return Adoption::Waiting;
    }
    // The target as it was written, else the device by its serial, as the
    // PulseAudio server writes a move: where the stream goes when it is
    // given back. Not by name: the session manager remembers a target
    // written by name for every stream of its kind, and a later move of the
    // user's to the default device would not undo it.
    moved.previous = retargeted ? target
                                : std::optional(pw_graph::MetadataValue{QStringLiteral("Spa:Id"),
                                                                        QString::number(deviceSerial)});
    systemLog(QStringLiteral("[ravlet] another program moved a stream of ") + node.description
              + QStringLiteral("; it plays there once Ravlet no longer mixes it"));
    for (const uint32_t link : std::as_const(links))
        m_connection.destroyGlobal(link);
    const QString sink = ours.targetValue();
    writeTarget(node.id, &sink, moved);
    moved.since.restart();
    moved.settled = false;
    return Adoption::Adopted;
}

bool StreamMover::givesBack(const pw_graph::Node& stream, std::optional<pw_graph::MetadataValue>* target) const
{
    const auto moved = m_moved.constFind(stream.serial);
    if (moved == m_moved.cend() || moved->givenUp)
        return false;
    *target = moved->previous;
    return true;
}

bool StreamMover::setGivesBack(uint64_t stream, const std::optional<pw_graph::MetadataValue>& target)
{
    const auto moved = m_moved.find(stream);
    if (moved == m_moved.end() || moved->givenUp)
        return false;
    moved->previous = target;
    writeJournal();
    return true;
}

void StreamMover::sweep()
{
    const pw_graph::Graph& graph = m_connection.graph();
    m_settling.update(graph);
    bool changed = false;
    bool pending = false;
    for (auto it = m_moved.begin(); it != m_moved.end();) {
        const pw_graph::Node* node = graph.nodeWithSerial(it.key());
        // Gone: the daemon drops its keys with it.
        if (!node) {
            it = m_moved.erase(it);
            changed = true;
            continue;
        }
        if (!m_wanted.contains(it.key())) {
            if (!it->givenUp) {
                restore(node->id, *it);
                m_givenBack[it.key()].start();
            }
            it = m_moved.erase(it);
            changed = true;
            continue;
        }
        if (it->givenUp) {
            // One the session manager never links (it asked not to be)
            // would never move: tried once.
            const bool linkedBySessionManager =
                node->properties.value(QStringLiteral(PW_KEY_NODE_AUTOCONNECT)).toString() != QLatin1String("false");
            if (linkedBySessionManager
                && it->givenUpAt.elapsed() >= std::min(kFirstRetryMs << std::min(it->retries, 4), kLongestRetryMs)) {
                ++it->retries;
                move(*node, it->device);
            }
            pending = pending || linkedBySessionManager;
            ++it;
            continue;
        }
        const Adoption adoption = adoptMove(*node, *it);
        if (adoption == Adoption::Adopted) {
            changed = true;
            pending = true;
        } else if (adoption == Adoption::Waiting) {
            pending = true;
        } else if (isHeld(it.key(), it->device)) {
            // A link elsewhere counts from the moment the stream is seen
            // held: one older than that (to the device it played on before,
            // which a session manager takes down moments after it links the
            // stream to our sink) is nobody's move.
            if (!it->settled)
                m_settling.forget(it.key());
            it->settled = true;
        } else if (it->since.elapsed() > kMoveDeadlineMs) {
            // Better heard at full volume than silenced for good, until a
            // try later takes. Said once.
            if (it->retries == 0)
                systemLog(QStringLiteral("[ravlet] stream of ") + node->description
                          + QStringLiteral(" did not move; it plays directly until it does"));
            restore(node->id, *it);
            it->givenUp = true;
            it->givenUpAt.start();
            changed = true;
        } else {
            pending = true;
        }
        ++it;
    }
    if (changed)
        writeJournal();
    if (watchGivenBack())
        pending = true;
    if (pending && !m_recheck.isActive())
        m_recheck.start(kPendingCheckMs);
}

// A mixer that lists every sink may have sent a held stream to ours, and the
// daemon may have kept the word of it from us (it tells nobody while a third
// client binds the metadata): given back, the stream would stay there,
// silent, for good. What we know of such a key goes; knowing of none, we
// read the metadata again, once.
bool StreamMover::watchGivenBack()
{
    std::erase_if(m_givenBack, [](const auto& back) { return back.second.since.hasExpired(kGivenBackWatchMs); });
    const pw_graph::Graph& graph = m_connection.graph();
    bool watching = false;
    for (auto& [serial, back] : m_givenBack) {
        const pw_graph::Node* node = graph.nodeWithSerial(serial);
        if (!node || m_moved.contains(serial))
            continue;
        const bool onOurSink = std::any_of(graph.links.begin(), graph.links.end(), [&](const pw_graph::Link& link) {
            return link.outputNode == node->id
                && std::any_of(m_sinks.begin(), m_sinks.end(),
                               [&](const auto& sink) { return sink.second->holds(link.inputNode); });
        });
        if (!onOurSink)
            continue;
        watching = true;
        if (!back.since.hasExpired(kGivenBackMs) || dropTargetsAtOurSinks(node->id) || back.reread)
            continue;
        back.reread = true;
        m_connection.readMetadataAgain();
    }
    return watching;
}

void StreamMover::restore(uint32_t node, const Moved& moved)
{
    // Exactly what was there, or what the user chose since: their own
    // choice, or nothing.
    if (moved.previous)
        writeTarget(node, &moved.previous->value, moved, moved.previous->type);
    else
        writeTarget(node, nullptr, moved);
    dropTargetsAtOurSinks(node);
}

bool StreamMover::dropTargetsAtOurSinks(uint32_t node)
{
    // The older key naming our sink (another program sent the stream there,
    // as a mixer that lists every sink does) would keep it there, silent,
    // once our target is gone: by id, this key's number, or by name.
    const pw_graph::Graph& graph = m_connection.graph();
    const auto keys = graph.metadata.constFind(node);
    if (keys == graph.metadata.cend())
        return false;
    const auto namesOurs = [&](const QString& key) {
        if (!keys->contains(key))
            return false;
        const QString value = keys->value(key).value;
        return namesOurSink(value) || std::any_of(m_sinks.begin(), m_sinks.end(), [&](const auto& entry) {
                   return entry.second->nodeId() && value == QString::number(entry.second->nodeId());
               });
    };
    const bool target = namesOurs(kTargetKey);
    const bool older = namesOurs(kTargetNodeKey);
    // Both read first: a write changes the keys.
    if (target)
        m_connection.setMetadata(node, kTargetKey, QString(), nullptr);
    if (older)
        m_connection.setMetadata(node, kTargetNodeKey, QString(), nullptr);
    return target || older;
}

void StreamMover::releaseAll()
{
    m_wanted.clear();
    for (auto it = m_moved.cbegin(); it != m_moved.cend(); ++it) {
        const pw_graph::Node* node = m_connection.graph().nodeWithSerial(it.key());
        if (node && !it->givenUp)
            restore(node->id, *it);
    }
    m_moved.clear();
    writeJournal();
}

void StreamMover::onConnected()
{
    recoverJournal();
}

void StreamMover::scheduleJournal()
{
    if (m_journalQueued)
        return;
    m_journalQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_journalQueued = false;
        writeJournal();
    });
}

// Keys an earlier run set and could not take back (it was killed): each
// stream that still points at that run's sink gets its own target again.
void StreamMover::recoverJournal()
{
    const std::optional<QByteArray> journal = stream_journal::read(m_journalPath);
    if (!journal)
        return;
    const QJsonArray entries = QJsonDocument::fromJson(*journal).array();
    const pw_graph::Graph& graph = m_connection.graph();
    for (const QJsonValue& value : entries) {
        const QJsonObject entry = value.toObject();
        const QString sink = entry.value(QStringLiteral("sink")).toString();
        const auto serial = quint64(entry.value(QStringLiteral("serial")).toDouble());
        if (sink.isEmpty() || namesOurSink(sink))
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
        const HoldSink* sink = findSink(moved.device);
        if (!sink)
            continue;
        QJsonObject entry{{QStringLiteral("sink"), sink->targetValue()}, {QStringLiteral("serial"), double(moved.serial)}};
        entry.insert(QStringLiteral("previous"),
                     moved.previous ? QJsonValue(QJsonObject{{QStringLiteral("type"), moved.previous->type},
                                                             {QStringLiteral("value"), moved.previous->value}})
                                    : QJsonValue());
        entries.append(entry);
    }
    stream_journal::write(m_journalPath, QJsonDocument(entries).toJson(QJsonDocument::Compact));
}
