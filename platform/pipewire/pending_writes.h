#pragma once

// Our own writes to the "default" metadata whose word has not come back
// yet. The session manager owns that metadata and applies writes in the
// order they reach it; where it lags behind (a busy machine, a moment
// stopped), the word of an earlier write of ours can come after we wrote
// the key again, and taken as news it would undo our later choice until
// its own word comes (a default device picked twice would flip back to the
// first for a moment, and everything built on it with it). Such a word is
// known as old: it matches a write of ours that another of ours followed.
// Main thread only.

#include <QDeadlineTimer>
#include <QHash>
#include <QPair>
#include <QString>

#include <cstdint>
#include <deque>
#include <optional>

class PendingWrites {
public:
    // How long a write's word may take, a session manager that lags
    // included; a word lost for longer is no longer waited for.
    static constexpr int kWaitMs = 10000;

    // value none: the key removed.
    void wrote(uint32_t subject, const QString& key, const std::optional<QString>& value);
    // The daemon told the key's value: whether that is the word of a write
    // of ours that a later write of ours, still under way, overtook. What
    // the word answers is waited for no more.
    bool overtaken(uint32_t subject, const QString& key, const std::optional<QString>& value);
    // Whether a value the metadata holds is one we wrote before the key's
    // last write of ours, which is still under way; nothing is forgotten.
    bool isOverwritten(uint32_t subject, const QString& key, const std::optional<QString>& value) const;
    // A fresh read told the key's value: the latest of ours, it is no
    // longer waited for (its word may have been lost).
    void read(uint32_t subject, const QString& key, const std::optional<QString>& value);
    // The subject's keys went all at once.
    void forget(uint32_t subject);
    void clear() { m_writes.clear(); }

private:
    struct Write {
        std::optional<QString> value;
        QDeadlineTimer expires;
    };
    QHash<QPair<uint32_t, QString>, std::deque<Write>> m_writes;  // oldest first
};
