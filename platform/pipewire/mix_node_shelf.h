#pragma once

// The mix nodes of aggregate devices that were just destroyed, one per sink,
// each kept for the next aggregate device built on the same sink. The engine
// tears a setup down completely before it builds the next one, within one
// turn of the event loop, and a setup may play on several devices at once; a
// node that stays in the graph across that seam, linked as it was, keeps the
// change from being heard by the applications that play on its sink
// directly. A node no aggregate device took by the next turn of the event
// loop is parked (see AggregateNode::park()): off the streams, inactive,
// still linked to its device. Our links to a device that plays
// cannot go without costing its players a cycle (PipeWire 0.3.65), so a
// parked node goes only once nothing else plays on its device, and once the
// streams it held have left the device's private sink: until then it keeps
// them under the device's clock (see AggregateNode). The private sinks may
// go right after the last node of ours, with nothing linked to them any
// more (see StreamMover::dropSink). Main thread only.

#include <QDeadlineTimer>
#include <QSet>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

class AggregateNode;

class MixNodeShelf {
public:
    // released(sink): whether nothing plays into that device's private sink
    // any more; othersPlay(sink): whether anything but ours plays on the
    // device itself; retired(sink): a kept node of that device just went.
    MixNodeShelf(std::function<bool(const QString&)> released, std::function<bool(const QString&)> othersPlay,
                 std::function<void(const QString&)> retired);
    ~MixNodeShelf();

    MixNodeShelf(const MixNodeShelf&) = delete;
    MixNodeShelf& operator=(const MixNodeShelf&) = delete;

    // Keeps node (stopped) until the next turn of the event loop; a node
    // kept before for the same sink goes now.
    void park(std::unique_ptr<AggregateNode> node);
    // The node kept for the sink named masterName when it plays through the
    // given channels and is still whole; nothing otherwise, and then that
    // node goes at once. The nodes of other sinks stay kept.
    std::unique_ptr<AggregateNode> take(const QString& masterName, const QStringList& channels);
    // Parks every kept node now, as expire() would at its first turn: off
    // the streams it read while they are still held, and stopped.
    void parkAll();
    // The graph changed: a device may have fallen quiet.
    void graphChanged();
    // The kept nodes that read any of these streams leave them in this same
    // call: the streams are about to move to another device's private sink.
    // Where others play on its device, such a node is parked, as going would
    // cost them a cycle; elsewhere it goes at once. Its device's private
    // sink still goes once the streams have left it.
    void discardReaders(const QSet<uint64_t>& streams);
    // Each kept node plays its silence into its device's private sink as
    // it is now (see AggregateNode::followHoldSink()).
    void followHoldSinks(const std::function<uint32_t(const QString&)>& holdSinkOf);
    void clear();
    bool isEmpty() const { return m_kept.empty(); }

private:
    struct Kept {
        std::unique_ptr<AggregateNode> node;
        QDeadlineTimer deadline;
        bool parked = false;
    };

    void expire();

    std::function<bool(const QString&)> m_released;
    std::function<bool(const QString&)> m_othersPlay;
    std::function<void(const QString&)> m_retired;
    std::map<QString, Kept> m_kept;   // by the sink's node.name
    QTimer m_expiry;
};
