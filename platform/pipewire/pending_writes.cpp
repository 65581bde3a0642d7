#include "pending_writes.h"

#include <algorithm>

namespace {

// A key written more often than this before any word comes back keeps only
// its latest writes: the oldest words, should they come, are taken as news,
// and the later ones put ours back.
constexpr std::size_t kMaxPerKey = 16;

} // namespace

void PendingWrites::wrote(uint32_t subject, const QString& key, const std::optional<QString>& value)
{
    std::deque<Write>& writes = m_writes[{subject, key}];
    writes.push_back({value, QDeadlineTimer(kWaitMs)});
    if (writes.size() > kMaxPerKey)
        writes.pop_front();
}

bool PendingWrites::overtaken(uint32_t subject, const QString& key, const std::optional<QString>& value)
{
    const auto found = m_writes.find({subject, key});
    if (found == m_writes.end())
        return false;
    std::deque<Write>& writes = *found;
    std::erase_if(writes, [](const Write& write) { return write.expires.hasExpired(); });
    // Words come in the order of the writes: one that matches tells that
    // those before it came (or were lost, or changed nothing). One that
    // matches none is another program's.
    const auto match = std::find_if(writes.begin(), writes.end(), [&](const Write& write) { return write.value == value; });
    if (match == writes.end()) {
        if (writes.empty())
            m_writes.erase(found);
        return false;
    }
    writes.erase(writes.begin(), std::next(match));
    const bool overtaken = !writes.empty() && writes.back().value != value;
    if (writes.empty())
        m_writes.erase(found);
    return overtaken;
}

bool PendingWrites::isOverwritten(uint32_t subject, const QString& key, const std::optional<QString>& value) const
{
    const auto found = m_writes.constFind({subject, key});
    if (found == m_writes.cend() || found->empty() || found->back().value == value)
        return false;
    return std::any_of(found->begin(), found->end(),
                       [&](const Write& write) { return !write.expires.hasExpired() && write.value == value; });
}

void PendingWrites::read(uint32_t subject, const QString& key, const std::optional<QString>& value)
{
    const auto found = m_writes.find({subject, key});
    if (found != m_writes.end() && (found->empty() || found->back().value == value))
        m_writes.erase(found);
}

void PendingWrites::forget(uint32_t subject)
{
    m_writes.removeIf([subject](const auto& entry) { return entry.key().first == subject; });
}
