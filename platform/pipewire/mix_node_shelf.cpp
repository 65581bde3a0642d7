#include "mix_node_shelf.h"

#include "aggregate_node.h"

#include <QStringList>

namespace {

// The session manager moves a stream within a few milliseconds of its new
// target; one that takes longer is not waited for.
constexpr int kRetireWaitMs = 1000;
constexpr int kRetireCheckMs = 10;

} // namespace

MixNodeShelf::MixNodeShelf(std::function<bool(const QString&)> released, std::function<bool(const QString&)> othersPlay,
                           std::function<void(const QString&)> retired)
    : m_released(std::move(released))
    , m_othersPlay(std::move(othersPlay))
    , m_retired(std::move(retired))
{
    m_expiry.setSingleShot(true);
    QObject::connect(&m_expiry, &QTimer::timeout, [this] { expire(); });
}

MixNodeShelf::~MixNodeShelf() = default;

void MixNodeShelf::park(std::unique_ptr<AggregateNode> node)
{
    if (!node)
        return;
    const QString sink = node->masterName();
    // The one kept before goes first: two nodes of ours on one sink would
    // both play on it.
    m_kept.erase(sink);
    m_kept.emplace(sink, Kept{std::move(node), QDeadlineTimer(kRetireWaitMs), false});
    // Never put off once started: the mover gives the streams back on a
    // timer started after ours, and our links to them must go first.
    if (!m_expiry.isActive())
        m_expiry.start(0);
}

std::unique_ptr<AggregateNode> MixNodeShelf::take(const QString& masterName, const QStringList& channels)
{
    const auto found = m_kept.find(masterName);
    if (found == m_kept.end())
        return nullptr;
    std::unique_ptr<AggregateNode> node = std::move(found->second.node);
    m_kept.erase(found);
    if (m_kept.empty())
        m_expiry.stop();
    if (node && node->isReady() && node->masterName() == masterName && node->channels() == channels)
        return node;
    return nullptr;
}

void MixNodeShelf::parkAll()
{
    for (auto& [sink, kept] : m_kept) {
        if (kept.node && !kept.parked)
            kept.node->park();
        kept.parked = true;
    }
}

void MixNodeShelf::graphChanged()
{
    if (!m_kept.empty() && !m_expiry.isActive())
        m_expiry.start(0);
}

void MixNodeShelf::discardReaders(const QSet<uint64_t>& streams)
{
    for (auto& [sink, kept] : m_kept) {
        if (!kept.node || !kept.node->readsAny(streams))
            continue;
        if (m_othersPlay(sink)) {
            kept.node->park();
            kept.parked = true;
        } else {
            kept.node.reset();
        }
    }
}

void MixNodeShelf::clear()
{
    m_expiry.stop();
    m_kept.clear();
}

void MixNodeShelf::expire()
{
    QStringList retired;
    bool waiting = false;
    for (auto it = m_kept.begin(); it != m_kept.end();) {
        Kept& kept = it->second;
        // The first time round no aggregate device took the node, and the
        // streams it read are still held: the mover gives them back on a
        // timer started after ours. Our links to them go now, before the
        // session manager links them anew: PipeWire before 0.3.72 can crash
        // when a link of a stream is destroyed while another of its links
        // starts.
        if (!kept.parked && kept.node) {
            kept.node->park();
            kept.parked = true;
        }
        const bool released = m_released(it->first) || kept.deadline.hasExpired();
        if (!kept.node || (released && !m_othersPlay(it->first))) {
            retired.append(it->first);
            it = m_kept.erase(it);
            continue;
        }
        // Looked at again while the streams leave; after that, when the
        // graph changes, never on a timer that would wake us for nothing.
        waiting = waiting || !released;
        ++it;
    }
    if (waiting)
        m_expiry.start(kRetireCheckMs);
    // Last: dropping a sink runs the loop, which may park or take a node.
    for (const QString& sink : std::as_const(retired))
        m_retired(sink);
}

void MixNodeShelf::followHoldSinks(const std::function<uint32_t(const QString&)>& holdSinkOf)
{
    for (auto& [sink, kept] : m_kept) {
        if (kept.node)
            kept.node->followHoldSink(holdSinkOf(sink));
    }
}
