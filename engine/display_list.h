#pragma once

// The rows the mixer shows: running applications plus remembered ones the
// user has configured, without hidden ones unless asked, in the user's order
// with the rest sorted by name.

#include "records.h"

#include <QMap>
#include <QSet>
#include <QStringList>

#include <optional>

struct DisplayInputs {
    const QList<AudioApp>& apps;
    const QMap<QString, float>& gains;
    const QMap<QString, bool>& mutes;
    const QSet<QString>& hidden;
    bool showHidden;
    const QStringList& order;
    const KnownApps& known;
};

// Ids with a gain more than 0.001 from unity, a mute, or a hidden flag.
QSet<QString> configuredIDs(const DisplayInputs& in);

QList<AppEntry> displayList(const DisplayInputs& in);

// The order after moving `moved` before `target` in the displayed ids, or
// nothing when the move changes nothing (same id, or `moved` not shown).
// A target that is not shown places the moved id last.
std::optional<QStringList> orderAfterMove(const QStringList& displayedIDs, const QStringList& order,
                                          const QString& moved, const QString& target);
