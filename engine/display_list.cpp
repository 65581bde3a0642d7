#include "display_list.h"

#include "engine.h"
#include "settings.h"

#include <QCollator>
#include <QHash>

#include <algorithm>
#include <cmath>
#include <limits>

QSet<QString> configuredIDs(const DisplayInputs& in)
{
    QSet<QString> ids = in.hidden;
    for (auto it = in.gains.cbegin(); it != in.gains.cend(); ++it) {
        if (std::fabs(it.value() - 1.0f) > 0.001f)
            ids.insert(it.key());
    }
    for (auto it = in.mutes.cbegin(); it != in.mutes.cend(); ++it) {
        if (it.value())
            ids.insert(it.key());
    }
    return ids;
}

QList<AppEntry> displayList(const DisplayInputs& in)
{
    QList<AppEntry> entries;
    QSet<QString> seen;
    for (const AudioApp& app : in.apps) {
        if (!in.showHidden && in.hidden.contains(app.id))
            continue;
        entries.append(AppEntry{app.id, app.name, app.iconPath, true});
        seen.insert(app.id);
    }

    // Sorted, so that remembered entries with equal names come out the same
    // way on every read.
    QStringList configured = configuredIDs(in).values();
    std::sort(configured.begin(), configured.end());
    for (const QString& id : std::as_const(configured)) {
        if (seen.contains(id) || (!in.showHidden && in.hidden.contains(id)))
            continue;
        const auto meta = in.known.constFind(id);
        if (meta == in.known.cend())
            entries.append(AppEntry{id, id, std::nullopt, false});
        else
            entries.append(AppEntry{id, meta->name, meta->iconPath, false});
        seen.insert(id);
    }

    QHash<QString, qint64> position;
    for (qsizetype i = in.order.size() - 1; i >= 0; --i)
        position.insert(in.order.at(i), i);   // the first occurrence wins
    constexpr qint64 unplaced = std::numeric_limits<qint64>::max();
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(entries.begin(), entries.end(), [&](const AppEntry& a, const AppEntry& b) {
        const qint64 ia = position.value(a.id, unplaced);
        const qint64 ib = position.value(b.id, unplaced);
        if (ia != ib)
            return ia < ib;
        return collator.compare(a.name, b.name) < 0;
    });
    return entries;
}

std::optional<QStringList> orderAfterMove(const QStringList& displayedIDs, const QStringList& order,
                                          const QString& moved, const QString& target)
{
    if (moved == target)
        return std::nullopt;
    QStringList ids = displayedIDs;
    const qsizetype from = ids.indexOf(moved);
    if (from < 0)
        return std::nullopt;
    ids.removeAt(from);
    const qsizetype to = ids.indexOf(target);
    ids.insert(to < 0 ? ids.size() : to, moved);

    QStringList next = ids;
    const QSet<QString> shown(ids.cbegin(), ids.cend());
    for (const QString& id : order) {
        if (!shown.contains(id))
            next.append(id);
    }
    return next;
}

QList<AppEntry> RavletEngine::displayApps() const
{
    return displayList({m_apps, m_gains, m_mutes, m_hidden, m_showHidden, m_order, m_known});
}

void RavletEngine::moveApp(const QString& id, const QString& beforeID)
{
    QStringList shown;
    for (const AppEntry& entry : displayApps())
        shown.append(entry.id);
    std::optional<QStringList> order = orderAfterMove(shown, m_order, id, beforeID);
    if (!order)
        return;
    publish(m_order, std::move(*order), &RavletEngine::orderChanged);
    settings::saveOrder(m_defaults, m_order);
}

void RavletEngine::setHidden(const QString& id, bool hidden)
{
    QSet<QString> next = m_hidden;
    if (hidden)
        next.insert(id);
    else
        next.remove(id);
    publish(m_hidden, std::move(next), &RavletEngine::hiddenChanged);
    settings::saveHidden(m_defaults, m_hidden);
    reconcile();
}
