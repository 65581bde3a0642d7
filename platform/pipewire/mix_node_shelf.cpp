#include "mix_node_shelf.h"

#include "aggregate_node.h"

namespace {

// The session manager moves a stream within a few milliseconds of its new
// target; one that takes longer is not waited for.
constexpr int kRetireWaitMs = 1000;
constexpr int kRetireCheckMs = 10;

} // namespace

MixNodeShelf::MixNodeShelf(std::function<bool()> mayRetire, std::function<void()> retired)
    : m_mayRetire(std::move(mayRetire))
    , m_retired(std::move(retired))
{
    m_expiry.setSingleShot(true);
    QObject::connect(&m_expiry, &QTimer::timeout, [this] { expire(); });
}

MixNodeShelf::~MixNodeShelf() = default;

void MixNodeShelf::park(std::unique_ptr<AggregateNode> node)
{
    m_node = std::move(node);
    if (!m_node)
        return;
    m_deadline = QDeadlineTimer(kRetireWaitMs);
    m_unlinked = false;
    m_expiry.start(0);
}

std::unique_ptr<AggregateNode> MixNodeShelf::take(const QString& masterName, const QStringList& channels)
{
    m_expiry.stop();
    std::unique_ptr<AggregateNode> node = std::move(m_node);
    if (node && node->isReady() && node->masterName() == masterName && node->channels() == channels)
        return node;
    return nullptr;
}

void MixNodeShelf::unlinkStreams()
{
    if (m_node)
        m_node->readStreams({});
    m_unlinked = true;
}

void MixNodeShelf::clear()
{
    m_expiry.stop();
    m_node.reset();
}

void MixNodeShelf::expire()
{
    // The first time round no aggregate device took the node, and the
    // streams it read are still held: the mover gives them back on a timer
    // started after ours. Our links to them go now, before the session
    // manager links them anew: PipeWire before 0.3.72 can crash when a link
    // of a stream is destroyed while another of its links starts.
    if (!m_unlinked)
        unlinkStreams();
    if (!m_mayRetire() && !m_deadline.hasExpired()) {
        m_expiry.start(kRetireCheckMs);
        return;
    }
    clear();
    m_retired();
}
