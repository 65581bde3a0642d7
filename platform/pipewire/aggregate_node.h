#pragma once

// The private aggregate device: one filter node of ours with two input
// ports per tap and one output port per channel of the sink it plays on.
// While started, its process callback runs on PipeWire's data thread, in the
// same graph cycle as the streams it reads, and calls the I/O block with
// buffer lists over PipeWire's own buffers. The session manager leaves it
// alone (it has no media class and does not autoconnect); its links are
// made here, by us, and die with it.

#include <spa/utils/hook.h>

#include "audio_hardware.h"
#include "pipewire_connection.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

struct pw_filter;
struct pw_proxy;

class AggregateNode {
public:
    // The channels of the sink it plays on, in its port order ("FL", "FR", …).
    AggregateNode(PipeWireConnection& connection, const QString& uid, int taps, const QStringList& masterChannels);
    ~AggregateNode();

    AggregateNode(const AggregateNode&) = delete;
    AggregateNode& operator=(const AggregateNode&) = delete;

    // Whether the node made it into the graph, with its ports.
    bool isReady() const;
    uint32_t nodeId() const;

    // Starts calling block every cycle and plays on the sink; false when
    // the sink or our ports are gone.
    bool start(const DeviceIOBlock* block, const QString& masterName);
    // Returns once the block is no longer running and will not run again.
    void stop();
    bool isStarted() const { return m_started; }

    // The streams each tap slot reads now (held on our sink): links are made
    // for new ones and dropped for those no longer listed.
    void readStreams(const std::vector<QList<uint32_t>>& streamsPerSlot);

    // The rate the graph runs at, for the tap format.
    static Float64 sampleRate(const pw_graph::Graph& graph);

    // PipeWire's process event; see the definition.
    static void onProcessThunk(void* data, struct spa_io_position* position);

private:
    struct Port;
    struct LinkProxy;

    void clearBlockOnDataThread();
    uint32_t portId(const QString& name) const;
    pw_proxy* link(uint32_t outputNode, uint32_t outputPort, uint32_t inputNode, uint32_t inputPort);

    PipeWireConnection& m_connection;
    pw_filter* m_filter = nullptr;
    spa_hook m_listener{};
    std::vector<Port*> m_inputs;    // two per tap: left, right
    std::vector<Port*> m_outputs;
    QStringList m_inputNames;
    QStringList m_outputNames;
    QStringList m_masterChannels;
    std::vector<std::unique_ptr<LinkProxy>> m_outputLinks;
    // (slot, stream node) → its links
    std::vector<std::pair<std::pair<int, uint32_t>, std::vector<std::unique_ptr<LinkProxy>>>> m_inputLinks;
    bool m_started = false;

    // Shared with the data thread: written here only while the callback
    // cannot run (before start, or on the data thread itself at stop).
    std::atomic<const DeviceIOBlock*> m_block{nullptr};
    // Fixed storage for the callback: never resized once made.
    std::vector<std::max_align_t> m_inputList;
    std::vector<std::max_align_t> m_outputList;
    std::vector<float> m_silence;
    std::vector<float> m_scratch;
};
