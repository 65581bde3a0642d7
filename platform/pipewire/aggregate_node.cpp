#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/raw.h>

#include "aggregate_node.h"

#include "system_log.h"

#include <QSet>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// The graph's quantum limit: no cycle is longer.
constexpr uint32_t kMaxFrames = 8192;
constexpr int kReadyWaitMs = 2000;
const QString kHoldPort = QStringLiteral("out_hold");
// The longest we wait for a cycle of ours to end: longer than any quantum.
constexpr int64_t kLongestCycleNs = 400'000'000;

int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum class Side { Left, Right, Both };

Side sideOf(const QString& channel)
{
    static const QSet<QString> left = {QStringLiteral("FL"),  QStringLiteral("RL"),  QStringLiteral("SL"),
                                       QStringLiteral("FLC"), QStringLiteral("RLC"), QStringLiteral("TFL"),
                                       QStringLiteral("TRL"), QStringLiteral("TSL"), QStringLiteral("FLW"),
                                       QStringLiteral("FLH"), QStringLiteral("BLC")};
    static const QSet<QString> right = {QStringLiteral("FR"),  QStringLiteral("RR"),  QStringLiteral("SR"),
                                        QStringLiteral("FRC"), QStringLiteral("RRC"), QStringLiteral("TFR"),
                                        QStringLiteral("TRR"), QStringLiteral("TSR"), QStringLiteral("FRW"),
                                        QStringLiteral("FRH"), QStringLiteral("BRC")};
    // Mono, centre and bass belong to both sides of a stereo mixdown.
    return left.contains(channel) ? Side::Left : right.contains(channel) ? Side::Right : Side::Both;
}

QString inputName(std::size_t index)
{
    return QStringLiteral("tap%1_%2").arg(index / 2).arg(index % 2 == 0 ? QStringLiteral("FL") : QStringLiteral("FR"));
}

// Pairs of positions that carry a left and a right, the front pair first;
// numbered channels last, where a sink without positions has its pair.
const std::pair<const char*, const char*> kSidePairs[] = {
    {"FL", "FR"},   {"FLW", "FRW"}, {"FLC", "FRC"}, {"SL", "SR"},   {"RL", "RR"},     {"TFL", "TFR"},
    {"FLH", "FRH"}, {"TSL", "TSR"}, {"TRL", "TRR"}, {"RLC", "RRC"}, {"BLC", "BRC"}, {"AUX0", "AUX1"},
};

std::vector<std::max_align_t> bufferListStorage(std::size_t buffers)
{
    const std::size_t bytes = audioBufferListSize(UInt32(buffers));
    std::vector<std::max_align_t> storage((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    list->mNumberBuffers = UInt32(buffers);
    return storage;
}

} // namespace

struct AggregateNode::Port {
    // PipeWire allocates this per port; the address is the port's handle.
    char unused;
};

// A link of ours, and whether the daemon has removed it since: a stream's
// adapter may make its ports anew (a new format, a move), and the links to
// the old ports go with them.
struct AggregateNode::LinkProxy {
    explicit LinkProxy(pw_proxy* made) : proxy(made)
    {
        static const pw_proxy_events events = [] {
            pw_proxy_events e{};
            e.version = PW_VERSION_PROXY_EVENTS;
            e.removed = [](void* data) { static_cast<LinkProxy*>(data)->gone = true; };
            return e;
        }();
        if (proxy)
            pw_proxy_add_listener(proxy, &listener, &events, this);
    }
    ~LinkProxy()
    {
        if (proxy) {
            spa_hook_remove(&listener);
            pw_proxy_destroy(proxy);
        }
    }
    LinkProxy(const LinkProxy&) = delete;
    LinkProxy& operator=(const LinkProxy&) = delete;

    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    bool gone = false;
};

static const pw_filter_events& filterEvents()
{
    static const pw_filter_events events = [] {
        pw_filter_events e{};
        e.version = PW_VERSION_FILTER_EVENTS;
        e.process = [](void* data, spa_io_position* position) { AggregateNode::onProcessThunk(data, position); };
        e.state_changed = [](void* data, pw_filter_state, pw_filter_state state, const char* error) {
            AggregateNode::onStateChanged(data, state, error);
        };
        return e;
    }();
    return events;
}

AggregateNode::AggregateNode(PipeWireConnection& connection, const QString& uid, const QStringList& sinkChannels)
    : m_connection(connection)
    , m_outputChannels(outputChannels(sinkChannels))
    , m_silence(kMaxFrames, 0.0f)
    , m_scratch(kMaxFrames, 0.0f)
{
    if (!connection.core())
        return;
    const QByteArray name = "ravlet-mix-" + uid.toUtf8();
    // Not "node.always-process": from PipeWire 1.0 on such a node is
    // runnable by itself and keeps the device it plays on from sleeping.
    // Its links give it a driver.
    m_filter = pw_filter_new(connection.core(), name.constData(),
                             pw_properties_new(PW_KEY_NODE_NAME, name.constData(), PW_KEY_NODE_DESCRIPTION, "Ravlet",
                                               PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Filter",
                                               PW_KEY_MEDIA_ROLE, "DSP", PW_KEY_NODE_AUTOCONNECT, "false",
                                               nullptr));
    if (!m_filter)
        return;
    pw_filter_add_listener(m_filter, &m_listener, &filterEvents(), this);
    // Our own links are passive (see link()). From PipeWire 0.3.67 on a
    // port says so for its links ("port.passive"), and from 1.0 on that is
    // the only way: the link factory drops a client's "link.passive".
    const auto addPort = [this](pw_direction direction, const QString& portName, const QString& channel) {
        return static_cast<Port*>(pw_filter_add_port(
            m_filter, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, sizeof(Port),
            pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                              portName.toUtf8().constData(), PW_KEY_AUDIO_CHANNEL, channel.toUtf8().constData(),
                              "port.passive", direction == PW_DIRECTION_OUTPUT ? "true" : "false", nullptr),
            nullptr, 0));
    };
    // Every slot's ports from the start: a setup of more or fewer slots than
    // the last one then changes nothing in the graph but links.
    for (std::size_t i = 0; i < std::size_t(kSlots) * 2; ++i) {
        m_inputs.push_back(addPort(PW_DIRECTION_INPUT, inputName(i), i % 2 == 0 ? QStringLiteral("FL") : QStringLiteral("FR")));
        m_inputNames.append(inputName(i));
    }
    for (const QString& channel : std::as_const(m_outputChannels)) {
        m_outputs.push_back(addPort(PW_DIRECTION_OUTPUT, QStringLiteral("out_") + channel, channel));
        m_outputNames.append(QStringLiteral("out_") + channel);
    }
    m_holdOutput = addPort(PW_DIRECTION_OUTPUT, kHoldPort, QStringLiteral("MONO"));
    m_inputList = bufferListStorage(m_inputs.size());
    for (int pair = 0; pair < kSlots; ++pair) {
        m_pairOfSlot[std::size_t(pair)] = pair;
        m_pairKeys.append(QString());
    }
    m_outputList = bufferListStorage(m_outputs.size());
    pw_filter_connect(m_filter, pw_filter_flags(PW_FILTER_FLAG_RT_PROCESS | PW_FILTER_FLAG_INACTIVE), nullptr, 0);
    // Not ready by then, it is kept until it is (see
    // PipeWireAudioHardware::createAggregateDevice()).
    connection.runUntil([this] { return isReady(); }, PipeWireConnection::kPlacedWaitMs);
}

AggregateNode::~AggregateNode()
{
    m_closing = true;
    stop();
    // Unlinked before it goes: PipeWire before 0.3.72 can leave a node
    // destroyed under its links behind in the nodes at their other ends,
    // and crashes on it later.
    const bool linked = !m_inputLinks.empty() || !m_outputLinks.empty() || !m_holdLinks.empty();
    m_inputLinks.clear();
    m_outputLinks.clear();
    m_holdLinks.clear();
    if (m_filter && (m_active || linked)) {
        pw_filter_set_active(m_filter, false);
        // The daemon answers an unlinked node's changes of clock with a
        // descriptor each; once our proxy is gone, the same versions drop
        // such messages without closing what they carry. So they, and the
        // links' ends, are taken while the proxy still is.
        m_connection.roundTrip(kReadyWaitMs);
    }
    // Takes the node off the data thread, and waits for that, before our
    // storage goes; only then does it drop our listener. Removing the
    // listener first, from this thread, would unlink it under a cycle that is
    // walking the filter's listeners on the data thread.
    if (m_filter)
        pw_filter_destroy(m_filter);
}

QStringList AggregateNode::outputChannels(const QStringList& sinkChannels)
{
    for (const auto& [left, right] : kSidePairs) {
        if (sinkChannels.contains(QLatin1String(left)) && sinkChannels.contains(QLatin1String(right)))
            return {QString::fromLatin1(left), QString::fromLatin1(right)};
    }
    for (const char* single : {"MONO", "FC"}) {
        if (sinkChannels.contains(QLatin1String(single)))
            return {QString::fromLatin1(single)};
    }
    if (sinkChannels.isEmpty())
        return {};
    return {*std::min_element(sinkChannels.begin(), sinkChannels.end())};
}

uint32_t AggregateNode::nodeId() const
{
    const uint32_t id = m_filter ? pw_filter_get_node_id(m_filter) : SPA_ID_INVALID;
    return id == SPA_ID_INVALID ? 0 : id;
}

uint32_t AggregateNode::portId(const QString& name) const
{
    const uint32_t node = nodeId();
    for (const pw_graph::Port& port : m_connection.graph().ports) {
        if (port.nodeId == node && port.name == name)
            return port.id;
    }
    return 0;
}

bool AggregateNode::isReady() const
{
    if (m_failed || m_outputNames.isEmpty() || !nodeId() || !m_connection.graph().nodes.contains(nodeId()))
        return false;
    for (const QStringList* names : {&m_inputNames, &m_outputNames}) {
        for (const QString& name : *names) {
            if (!portId(name))
                return false;
        }
    }
    return portId(kHoldPort) != 0;
}

pw_proxy* AggregateNode::link(uint32_t outputNode, uint32_t outputPort, uint32_t inputNode, uint32_t inputPort,
                              bool passive)
{
    return m_connection.createObject(
        "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK,
        pw_properties_new(PW_KEY_LINK_OUTPUT_NODE, QByteArray::number(outputNode).constData(), PW_KEY_LINK_OUTPUT_PORT,
                          QByteArray::number(outputPort).constData(), PW_KEY_LINK_INPUT_NODE,
                          QByteArray::number(inputNode).constData(), PW_KEY_LINK_INPUT_PORT,
                          QByteArray::number(inputPort).constData(), PW_KEY_OBJECT_LINGER, "false",
                          PW_KEY_LINK_PASSIVE, passive ? "true" : "false", nullptr));
}

bool AggregateNode::linkHold(uint32_t holdSink)
{
    std::vector<std::unique_ptr<LinkProxy>> links;
    for (const pw_graph::Port* port : m_connection.graph().portsOf(holdSink, pw_graph::Direction::In))
        links.push_back(std::make_unique<LinkProxy>(link(nodeId(), portId(kHoldPort), holdSink, port->id, true)));
    if (links.empty())
        return false;
    // The new links first: the sink is never out of our graph meanwhile.
    m_holdLinks = std::move(links);
    m_holdNode = holdSink;
    return true;
}

void AggregateNode::followHoldSink(uint32_t holdSink)
{
    if (m_holdWanted && holdSink && holdSink != m_holdNode && m_filter && isReady()) {
        m_holdWanted = holdSink;
        linkHold(holdSink);
    }
}

bool AggregateNode::start(const DeviceIOBlock* block, const QStringList& slotKeys, const QString& masterName,
                          uint32_t holdSink)
{
    if (!m_filter || !isReady())
        return false;
    // A sink made a moment ago shows its ports once the session manager has
    // configured it: until then nothing can play into it, and its silence is
    // linked when they show (see followHoldSink()).
    m_holdWanted = holdSink;
    if (holdSink != m_holdNode)
        linkHold(holdSink);
    const pw_graph::Graph& graph = m_connection.graph();
    const pw_graph::Node* master = graph.nodeNamed(masterName, QStringLiteral("Audio/Sink"));
    if (!master)
        return false;
    if (master->id != m_masterNode) {
        m_outputLinks.clear();
        const QList<const pw_graph::Port*> playback = graph.portsOf(master->id, pw_graph::Direction::In);
        for (std::size_t i = 0; i < m_outputs.size(); ++i) {
            const auto target = std::find_if(playback.begin(), playback.end(), [&](const pw_graph::Port* port) {
                return port->channel == m_outputChannels.value(int(i));
            });
            if (target == playback.end())
                continue;
            m_outputLinks.push_back(std::make_unique<LinkProxy>(
                link(nodeId(), portId(m_outputNames.value(int(i))), master->id, (*target)->id, true)));
        }
        m_masterNode = master->id;
        m_masterName = masterName;
    }
    // Before the block: a cycle that sees the block sees its count and pairs.
    choosePairs(slotKeys);
    m_inputCount.store(2 * std::min<int>(int(slotKeys.size()), kSlots), std::memory_order_relaxed);
    m_block.store(block, std::memory_order_release);
    if (!m_active)
        pw_filter_set_active(m_filter, true);
    m_active = true;
    m_started = true;
    return true;
}

bool AggregateNode::pairHasLinks(int pair) const
{
    return std::any_of(m_inputLinks.begin(), m_inputLinks.end(),
                       [pair](const auto& entry) { return entry.first.first == pair; });
}

void AggregateNode::choosePairs(const QStringList& slotKeys)
{
    const int slotCount = std::min<int>(int(slotKeys.size()), kSlots);
    std::array<bool, kSlots> taken{};
    std::array<bool, kSlots> chosen{};
    for (int slot = 0; slot < slotCount; ++slot) {
        const QString& key = slotKeys.at(slot);
        for (int pair = 0; pair < kSlots && !key.isEmpty(); ++pair) {
            if (!taken[std::size_t(pair)] && m_pairKeys.at(pair) == key) {
                m_pairOfSlot[std::size_t(slot)] = pair;
                taken[std::size_t(pair)] = chosen[std::size_t(slot)] = true;
                break;
            }
        }
    }
    // A new application: a pair nothing is linked to any more, if one is
    // left, and one that never read anything before one that did.
    for (int slot = 0; slot < slotCount; ++slot) {
        if (chosen[std::size_t(slot)])
            continue;
        int best = -1;
        int bestRank = 3;
        for (int pair = 0; pair < kSlots; ++pair) {
            if (taken[std::size_t(pair)])
                continue;
            const int rank = pairHasLinks(pair) ? 2 : m_pairKeys.at(pair).isEmpty() ? 0 : 1;
            if (rank < bestRank) {
                best = pair;
                bestRank = rank;
            }
        }
        m_pairOfSlot[std::size_t(slot)] = best;
        taken[std::size_t(best)] = true;
        m_pairKeys[best] = slotKeys.at(slot);
    }
}

void AggregateNode::stop()
{
    if (!m_started)
        return;
    m_started = false;
    // Just after a cycle of ours: a rebuild starts this node again within
    // a millisecond or two, and a cycle that came in between would play
    // nothing of the applications it mixes.
    awaitCycleEnd();
    clearBlockOnDataThread();
}

void AggregateNode::park()
{
    stop();
    readStreams({});
    if (m_filter && m_active)
        pw_filter_set_active(m_filter, false);
    m_active = false;
}

void AggregateNode::onStateChanged(void* data, int state, const char* error)
{
    auto* self = static_cast<AggregateNode*>(data);
    if (self->m_closing || (state != PW_FILTER_STATE_ERROR && state != PW_FILTER_STATE_UNCONNECTED))
        return;
    // Gone from the graph or broken: never handed to another setup.
    self->m_failed = true;
    systemLog(QStringLiteral("[ravlet] mix node ") + QString::fromUtf8(pw_filter_state_as_string(pw_filter_state(state)))
              + QStringLiteral(": ") + (error ? QString::fromUtf8(error) : QStringLiteral("no reason given")));
}

void AggregateNode::clearBlockOnDataThread()
{
    pw_data_loop* loop = pw_context_get_data_loop(m_connection.context());
    // Run on the data thread itself and waited for: once it returns, no cycle
    // is inside the block and none will enter it.
    pw_data_loop_invoke(
        loop,
        [](spa_loop*, bool, uint32_t, const void*, size_t, void* user) -> int {
            static_cast<AggregateNode*>(user)->m_block.store(nullptr, std::memory_order_relaxed);
            return 0;
        },
        0, nullptr, 0, true, this);
}

// Returns just after a cycle of ours ended, within two cycles at most; at
// once when the node is not running.
void AggregateNode::awaitCycleEnd() const
{
    const uint64_t seen = m_cyclesDone.load(std::memory_order_acquire);
    const int64_t cycle = std::min(m_cycleNs.load(std::memory_order_relaxed), kLongestCycleNs / 2);
    const int64_t now = steadyNs();
    const int64_t sinceEnd = now - m_lastCycleEndNs.load(std::memory_order_relaxed);
    // A node that missed two cycles of its own length is not running: there
    // is no cycle to wait for. One that ended a cycle a moment ago and has
    // not begun the next is already where the wait would end.
    if (seen == 0 || sinceEnd > 2 * cycle
        || (m_cyclesBegun.load(std::memory_order_acquire) == seen && sinceEnd < cycle / 2))
        return;
    const int64_t deadline = now + 2 * cycle;
    while (m_cyclesDone.load(std::memory_order_acquire) == seen && steadyNs() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void AggregateNode::readStreams(const std::vector<QList<uint64_t>>& streamsPerSlot)
{
    const pw_graph::Graph& graph = m_connection.graph();
    const uint32_t self = nodeId();
    const std::size_t slotCount = std::min<std::size_t>(streamsPerSlot.size(), std::size_t(m_inputCount.load() / 2));
    // Drop the links of streams no longer read by their pair of ports, and
    // those the daemon took away, to be made again.
    std::erase_if(m_inputLinks, [&](const auto& entry) {
        const auto [pair, stream] = entry.first;
        if (std::any_of(entry.second.begin(), entry.second.end(), [](const auto& link) { return link->gone; }))
            return true;
        for (std::size_t slot = 0; slot < slotCount; ++slot) {
            if (m_pairOfSlot[slot] == pair)
                return !streamsPerSlot[slot].contains(stream);
        }
        return true;
    });
    for (std::size_t slot = 0; slot < slotCount; ++slot) {
        const int pair = m_pairOfSlot[slot];
        for (const uint64_t stream : streamsPerSlot[slot]) {
            const auto key = std::make_pair(pair, stream);
            const pw_graph::Node* node = graph.nodeWithSerial(stream);
            if (!node
                || std::any_of(m_inputLinks.begin(), m_inputLinks.end(), [&](const auto& entry) { return entry.first == key; }))
                continue;
            std::vector<std::unique_ptr<LinkProxy>> links;
            for (const pw_graph::Port* port : graph.portsOf(node->id, pw_graph::Direction::Out)) {
                const Side side = sideOf(port->channel);
                for (const int which : {0, 1}) {
                    if ((side == Side::Left && which == 1) || (side == Side::Right && which == 0))
                        continue;
                    links.push_back(std::make_unique<LinkProxy>(
                        link(node->id, port->id, self, portId(m_inputNames.value(pair * 2 + which)))));
                }
            }
            if (!links.empty())
                m_inputLinks.emplace_back(key, std::move(links));
        }
    }
}

void AggregateNode::unlinkStreams(const QSet<uint64_t>& streams)
{
    std::erase_if(m_inputLinks, [&](const auto& entry) { return streams.contains(entry.first.second); });
}

bool AggregateNode::readsAny(const QSet<uint64_t>& streams) const
{
    return std::any_of(m_inputLinks.begin(), m_inputLinks.end(),
                       [&](const auto& entry) { return streams.contains(entry.first.second); });
}

Float64 AggregateNode::sampleRate(const pw_graph::Graph& /*graph*/)
{
    // The graph's default rate; the mix itself works at whatever rate the
    // cycle runs at.
    return 48000.0;
}

// Runs on PipeWire's data thread, once per graph cycle: touches only the
// storage made in the constructor, reads the block, its count and its pairs once,
// never allocates, locks, logs or waits. It counts the cycles it begins and
// ends, for the main thread to find the moment between two.
void AggregateNode::onProcessThunk(void* data, spa_io_position* position)
{
    auto* self = static_cast<AggregateNode*>(data);
    self->m_cyclesBegun.fetch_add(1, std::memory_order_acq_rel);
    self->processCycle(position);
    // Once the buffers are written: what waits for the end of a cycle sees
    // it after this.
    const int64_t now = steadyNs();
    if (position && position->clock.rate.denom)
        self->m_cycleNs.store(int64_t(position->clock.duration) * position->clock.rate.num * 1'000'000'000
                                  / position->clock.rate.denom,
                              std::memory_order_relaxed);
    self->m_lastCycleEndNs.store(now, std::memory_order_relaxed);
    self->m_cyclesDone.fetch_add(1, std::memory_order_release);
}

// The cycle's work; real-time, on the data thread only (see onProcessThunk).
void AggregateNode::processCycle(spa_io_position* position)
{
    AggregateNode* self = this;
    const uint32_t frames = position ? std::min<uint32_t>(uint32_t(position->clock.duration), kMaxFrames) : 0;
    const UInt32 bytes = frames * UInt32(sizeof(float));
    if (void* hold = pw_filter_get_dsp_buffer(self->m_holdOutput, frames))
        std::memset(hold, 0, bytes);
    auto* output = reinterpret_cast<AudioBufferList*>(self->m_outputList.data());
    for (std::size_t i = 0; i < self->m_outputs.size(); ++i) {
        void* samples = pw_filter_get_dsp_buffer(self->m_outputs[i], frames);
        output->mBuffers[i] = AudioBuffer{1, bytes, samples ? samples : self->m_scratch.data()};
    }
    const DeviceIOBlock* block = self->m_block.load(std::memory_order_acquire);
    if (!block || !*block) {
        for (std::size_t i = 0; i < self->m_outputs.size(); ++i)
            std::memset(output->mBuffers[i].mData, 0, bytes);
        // What the streams sent is taken all the same, so that their links
        // carry on where the next block starts.
        for (Port* port : self->m_inputs)
            pw_filter_get_dsp_buffer(port, frames);
        return;
    }
    const auto inputs = std::min<std::size_t>(std::size_t(self->m_inputCount.load(std::memory_order_relaxed)), self->m_inputs.size());
    auto* input = reinterpret_cast<AudioBufferList*>(self->m_inputList.data());
    input->mNumberBuffers = UInt32(inputs);
    std::array<bool, 2 * kSlots> read{};
    for (std::size_t i = 0; i < inputs; ++i) {
        const std::size_t index = 2 * std::size_t(self->m_pairOfSlot[i / 2]) + i % 2;
        void* samples = pw_filter_get_dsp_buffer(self->m_inputs[index], frames);
        input->mBuffers[i] = AudioBuffer{1, bytes, samples ? samples : self->m_silence.data()};
        read[index] = true;
    }
    // The ports no slot reads are taken from too: one left unread while the
    // block runs keeps its last buffer, and once two links feed it again
    // (an application with two streams tapped anew) PipeWire 0.3.65's mixer
    // of that port hands it silence for good.
    for (std::size_t i = 0; i < self->m_inputs.size(); ++i) {
        if (!read[i])
            pw_filter_get_dsp_buffer(self->m_inputs[i], frames);
    }
    (*block)(nullptr, input, nullptr, output, nullptr);
}
