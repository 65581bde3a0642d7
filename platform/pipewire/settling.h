#pragma once

// When the session manager has settled: on the sink a stream plays on, and
// on the default it follows. It links a stream where it is sent, or where
// the default it follows is, moments after the write; a busy machine makes
// that seconds, and until then a link says nothing of anyone's choice. One
// rule, one constant, asked by everything that waits on the session manager.

#include "graph_model.h"

#include <QHash>

#include <functional>

class Settling {
public:
    // How long a stream stays linked to one sink, or the default the session
    // manager follows stays the same, before it counts as settled.
    static constexpr qint64 kSettleMs = 1500;

    // now: milliseconds on a steady clock; the monotonic clock unless given.
    explicit Settling(std::function<qint64()> now = {});

    // Takes the graph as it is now: a stream linked to another sink than
    // before, or to several, starts anew, and so does a new default. Cheap
    // when nothing changed; may be called more than once for one change.
    void update(const pw_graph::Graph& graph);
    // Where a stream (by serial) plays says nothing until it has settled
    // again: we just sent it elsewhere.
    void forget(uint64_t stream);

    // Whether the stream has played on that sink (by serial) for kSettleMs,
    // on others too or not.
    bool settledOn(uint64_t stream, uint64_t sink) const;
    // The one sink the stream has played on, and on no other, for kSettleMs,
    // while the default it follows has settled too; 0 otherwise.
    uint64_t settledSink(uint64_t stream) const;
    // The default the session manager follows, by name.
    const QString& followedDefault() const { return m_followed; }
    // Whether the device named so is the default, or was a moment ago (twice
    // kSettleMs): a session manager catching up with defaults that changed
    // while it lagged links the streams that follow the default to each in
    // turn.
    bool wasDefaultLately(const QString& name) const;

private:
    struct Link {
        uint64_t sink = 0;   // by serial
        qint64 since = 0;
    };
    std::function<qint64()> m_now;
    QHash<uint64_t, Link> m_alone;                     // stream serial → the one sink it plays on
    QHash<uint64_t, QHash<uint64_t, qint64>> m_links;  // stream serial → each sink it plays on, since
    QString m_followed;
    qint64 m_followedSince = 0;
    QHash<QString, qint64> m_defaultUntil;   // device name → when it stopped being the default
};
