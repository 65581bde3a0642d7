#pragma once

// Only one Ravlet mixes an audio server. Two would each aim the same
// streams at their own private sinks, and each would take the other's
// moves for the user's: the applications end up silenced or at the wrong
// level for good. Each mixer marks its client with a property of ours; a
// mixer that finds the mark on a client older than its own (a lower
// object.serial: the daemon's order, the same for both) taps nothing and
// says why, until that client goes. Never told by a node's name, which any
// client may copy; and the mark itself is any client's to set, so it counts
// only on a client of this user whose pid, as the daemon checked it, runs
// this very program. Main thread only.

#include "graph_model.h"

#include <QString>

class MixerClaim {
public:
    // The client property that marks a mixer; its value is the connection's
    // own mark (PipeWireConnection::mixerMark()).
    static constexpr const char* kProperty = "ravlet.mixer";

    // The client of the older mixer this one leaves the server to; null when
    // there is none. Our own client is the one with our mark; while it is
    // not seen yet, any other mixer is taken for the older.
    static const pw_graph::Client* olderMixer(const pw_graph::Graph& graph, const QString& ownMark);
    // Why this one taps nothing, in the user's words: as the other client's
    // claim, which no check makes more than likely.
    static QString reason(const pw_graph::Client& other);
    // Whether a client's mark may be believed (see above).
    static bool believable(const pw_graph::Client& client);

    // Looks again after the graph changed, and says in the log when this one
    // stands back or takes over.
    void update(const pw_graph::Graph& graph, const QString& ownMark);

private:
    bool m_standingBack = false;
};
