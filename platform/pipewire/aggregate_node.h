#pragma once

// The private aggregate device's node: one filter node of ours with two
// input ports for each of the 16 tap slots and one output port for each
// side of the sink it plays on. While started, its process callback runs on
// PipeWire's data thread, in the same graph cycle as the streams it reads,
// and calls the I/O block with buffer lists over PipeWire's own buffers. The
// session manager leaves it alone (it has no media class and does not
// autoconnect); its links are made here, by us, and die with it.
//
// Its own links are passive: only the streams it reads wake the sink it
// plays on, never the node itself, so that a device with nothing playing
// sleeps while a setup lasts.
//
// It also plays silence into the private sink the streams it reads are held
// on, its device's own. That link puts the held streams under the clock of
// the sink the mix plays on for as long as the node exists, whether the mix
// reads them yet or not: linking a held stream to the node, or unlinking
// one, then moves no node from one clock to another, which every
// application on that sink would hear as a drop-out. (A shared node.group
// would do the same, but it keeps the private sink running while nothing is
// linked to it, without a format, and the daemon's converter crashes
// there.) A private sink shared by the nodes of two devices would tie both
// devices to one clock: each device has its own. For the same reason one
// node outlives the aggregate devices built on it: stopped, it stays linked
// and plays silence, ready for the next aggregate device on the same sink
// (see MixNodeShelf).

#include <spa/utils/hook.h>

#include "audio_hardware.h"
#include "pipewire_connection.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <memory>
#include <vector>

struct pw_filter;
struct pw_proxy;

class AggregateNode {
public:
    static constexpr int kSlots = 16;

    // Main thread only, all but onProcessThunk. sinkChannels: the channels
    // of the sink it plays on ("FL", "FR", …), in any order.
    AggregateNode(PipeWireConnection& connection, const QString& uid, const QStringList& sinkChannels);
    ~AggregateNode();

    AggregateNode(const AggregateNode&) = delete;
    AggregateNode& operator=(const AggregateNode&) = delete;

    // The sink channels our outputs play, in the order the I/O block writes
    // them (the left of the mix, then the right): found by their position
    // names, never by the order the daemon numbered the sink's ports in. A
    // sink without a left and a right gets both sides in its one channel.
    static QStringList outputChannels(const QStringList& sinkChannels);
    const QStringList& channels() const { return m_outputChannels; }

    // Whether the node made it into the graph, with its ports, and has not
    // failed since.
    bool isReady() const;
    // Whether it failed after it was made; it never becomes ready then.
    bool hasFailed() const { return m_failed; }
    uint32_t nodeId() const;
    // The sink it was last started on (its node.name); empty before.
    const QString& masterName() const { return m_masterName; }

    // Starts calling block every cycle, with one pair of input ports for
    // each slot, and plays on the sink, and silence into holdSink (the
    // node of that sink's private sink); false when a sink or our ports are
    // gone.
    // slotKeys: what each slot reads (its applications), one per slot. A
    // slot whose key a pair of ports read before reads that pair again: its
    // streams stay linked where they were, so that no stream is ever read,
    // for a cycle or two, in a slot another application's gain now scales.
    bool start(const DeviceIOBlock* block, const QStringList& slotKeys, const QString& masterName, uint32_t holdSink);
    // Plays its silence into holdSink: the private sink it was started on,
    // once that shows its ports, or one made anew under a new name since.
    // Nothing before the first start. Main thread only.
    void followHoldSink(uint32_t holdSink);
    // Returns once the block is no longer running and will not run again.
    // The node stays linked and plays silence until it is started again.
    void stop();
    // Stopped, off the streams and inactive, but still linked to its device
    // and its private sink: a node of ours unlinked from a device that plays
    // costs the players there a cycle (PipeWire 0.3.65). That version still
    // runs it while the device plays, on silence, once a cycle. Started
    // again by start(). Main thread only.
    void park();
    bool isStarted() const { return m_started; }

    // The streams (by serial) each tap slot reads now (held on our sink):
    // links are made for new ones and dropped for those no longer listed.
    // Main thread only.
    void readStreams(const std::vector<QList<uint64_t>>& streamsPerSlot);
    // Drops the links to these streams, whatever slot reads them: they are
    // about to be sent to another device's private sink. Main thread only.
    void unlinkStreams(const QSet<uint64_t>& streams);
    // Whether it is linked to any of these streams. Main thread only.
    bool readsAny(const QSet<uint64_t>& streams) const;

    // The rate the graph runs at, for the tap format.
    static Float64 sampleRate(const pw_graph::Graph& graph);

    // PipeWire's process event; see the definition. Real-time safe: the data
    // thread only.
    static void onProcessThunk(void* data, struct spa_io_position* position);
    // PipeWire's state_changed event (a pw_filter_state), on the main thread.
    static void onStateChanged(void* data, int state, const char* error);

private:
    struct Port;
    struct LinkProxy;

    void clearBlockOnDataThread();
    void processCycle(struct spa_io_position* position);
    void awaitCycleEnd() const;
    void choosePairs(const QStringList& slotKeys);
    bool pairHasLinks(int pair) const;
    bool linkHold(uint32_t holdSink);
    uint32_t portId(const QString& name) const;
    // A passive link wakes neither end: what it carries is ours.
    pw_proxy* link(uint32_t outputNode, uint32_t outputPort, uint32_t inputNode, uint32_t inputPort,
                   bool passive = false);

    PipeWireConnection& m_connection;
    pw_filter* m_filter = nullptr;
    spa_hook m_listener{};
    std::vector<Port*> m_inputs;    // two per tap slot: left, right
    std::vector<Port*> m_outputs;
    Port* m_holdOutput = nullptr;
    QStringList m_inputNames;
    QStringList m_outputNames;
    QStringList m_outputChannels;
    QString m_masterName;
    uint32_t m_masterNode = 0;
    uint32_t m_holdNode = 0;
    uint32_t m_holdWanted = 0;   // the private sink it was last started on
    std::vector<std::unique_ptr<LinkProxy>> m_outputLinks;
    std::vector<std::unique_ptr<LinkProxy>> m_holdLinks;
    // What each pair of input ports read last (a slot key), kept while the
    // pair is unused so that its application finds it again.
    QStringList m_pairKeys;
    // (pair of input ports, stream serial) → its links. By serial: a new
    // stream can be given the id of one that has just gone, and needs links
    // of its own.
    std::vector<std::pair<std::pair<int, uint64_t>, std::vector<std::unique_ptr<LinkProxy>>>> m_inputLinks;
    bool m_started = false;
    bool m_active = false;
    bool m_failed = false;
    bool m_closing = false;

    // Shared with the data thread: written here only while the callback
    // cannot run the block (before start, or after stop has waited for the
    // data thread), the count before the block.
    std::atomic<const DeviceIOBlock*> m_block{nullptr};
    std::atomic<int> m_inputCount{0};
    // The pair of input ports each slot reads; written with the count.
    std::array<int, kSlots> m_pairOfSlot{};
    // Written by the data thread: how many cycles of ours have begun and
    // ended, when the last ended (steady clock, ns), and how long it was.
    std::atomic<uint64_t> m_cyclesBegun{0};
    std::atomic<uint64_t> m_cyclesDone{0};
    std::atomic<int64_t> m_lastCycleEndNs{0};
    std::atomic<int64_t> m_cycleNs{0};
    // Fixed storage for the callback: never resized once made.
    std::vector<std::max_align_t> m_inputList;
    std::vector<std::max_align_t> m_outputList;
    std::vector<float> m_silence;
    std::vector<float> m_scratch;
};
