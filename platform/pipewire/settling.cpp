#include "settling.h"

#include <QElapsedTimer>

namespace {

const QString kSinkClass = QStringLiteral("Audio/Sink");

} // namespace

Settling::Settling(std::function<qint64()> now)
    : m_now(now ? std::move(now) : [] {
        static QElapsedTimer clock = [] {
            QElapsedTimer started;
            started.start();
            return started;
        }();
        return clock.elapsed();
    })
{
}

void Settling::update(const pw_graph::Graph& graph)
{
    const qint64 now = m_now();
    const QString followed = graph.defaultName("default.audio.sink");
    if (followed != m_followed) {
        if (!m_followed.isEmpty())
            m_defaultUntil.insert(m_followed, now);
        m_followed = followed;
        m_followedSince = now;
    }
    m_defaultUntil.remove(followed);
    m_defaultUntil.removeIf([now](const auto& until) { return now - until.value() > 2 * kSettleMs; });
    QHash<uint64_t, QHash<uint64_t, qint64>> links;
    for (const pw_graph::Link& link : graph.links) {
        const auto from = graph.nodes.constFind(link.outputNode);
        const auto to = graph.nodes.constFind(link.inputNode);
        if (from == graph.nodes.cend() || to == graph.nodes.cend() || to->mediaClass != kSinkClass)
            continue;
        const qint64 before = m_links.value(from->serial).value(to->serial, -1);
        links[from->serial].insert(to->serial, before >= 0 ? before : now);
    }
    QHash<uint64_t, Link> alone;
    for (auto it = links.cbegin(); it != links.cend(); ++it) {
        if (it->size() != 1)
            continue;
        const uint64_t sink = it->cbegin().key();
        const auto before = m_alone.constFind(it.key());
        alone.insert(it.key(), before != m_alone.cend() && before->sink == sink ? *before : Link{sink, now});
    }
    m_links = std::move(links);
    m_alone = std::move(alone);
}

void Settling::forget(uint64_t stream)
{
    m_links.remove(stream);
    m_alone.remove(stream);
}

bool Settling::settledOn(uint64_t stream, uint64_t sink) const
{
    const qint64 since = m_links.value(stream).value(sink, -1);
    return since >= 0 && m_now() - since >= kSettleMs;
}

uint64_t Settling::settledSink(uint64_t stream) const
{
    const auto link = m_alone.constFind(stream);
    const qint64 now = m_now();
    if (link == m_alone.cend() || now - link->since < kSettleMs || now - m_followedSince < kSettleMs)
        return 0;
    return link->sink;
}

bool Settling::wasDefaultLately(const QString& name) const
{
    if (name == m_followed)
        return true;
    const auto until = m_defaultUntil.constFind(name);
    return until != m_defaultUntil.cend() && m_now() - *until <= 2 * kSettleMs;
}
