#pragma once

// The mix node of an aggregate device that was just destroyed, kept for the
// next one built on the same sink. The engine tears a setup down completely
// before it builds the next one, within one turn of the event loop; a node
// that stays in the graph across that seam, linked as it was, keeps the
// change from being heard by the applications that play on the sink
// directly. A node no aggregate device took by the next turn of the event
// loop is destroyed, once the streams it held have left our private sink:
// until then it keeps them under the device's clock (see AggregateNode).
// Our sink goes right after it, with nothing linked to it any more (see
// StreamMover::dropSink). Main thread only.

#include <QDeadlineTimer>
#include <QTimer>

#include <functional>
#include <memory>

class AggregateNode;

class MixNodeShelf {
public:
    // mayRetire: whether nothing plays into our private sink any more;
    // retired: destroys that sink, right after a kept node went.
    MixNodeShelf(std::function<bool()> mayRetire, std::function<void()> retired);
    ~MixNodeShelf();

    MixNodeShelf(const MixNodeShelf&) = delete;
    MixNodeShelf& operator=(const MixNodeShelf&) = delete;

    // Keeps node (stopped) until the next turn of the event loop; a node
    // kept before goes now.
    void park(std::unique_ptr<AggregateNode> node);
    // The kept node when it plays on the sink named masterName through the
    // given channels and is still whole; nothing otherwise, and then the
    // kept node goes at once: two nodes of ours on two sinks, both linked to
    // our private sink, would tie the two sinks to one clock.
    std::unique_ptr<AggregateNode> take(const QString& masterName, const QStringList& channels);
    // Unlinks the kept node from the streams it read, while they are still
    // held (see expire()).
    void unlinkStreams();
    void clear();

private:
    void expire();

    std::function<bool()> m_mayRetire;
    std::function<void()> m_retired;
    std::unique_ptr<AggregateNode> m_node;
    QTimer m_expiry;
    QDeadlineTimer m_deadline;
    bool m_unlinked = false;
};
