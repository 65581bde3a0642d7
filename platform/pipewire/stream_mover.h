#pragma once

// Taking streams off their devices and giving them back. A tapped
// application's streams are sent to a private silent sink of ours (through
// the "target.object" key of the "default" metadata, which the session
// manager follows), where nothing hears them directly; the mix reads them
// there. Each move is journalled in the runtime folder, so that the keys a
// crashed run left behind are put back at the next start; the sink's name is
// new every run, so a target the session manager remembers from a run that
// ended never silences anything. Main thread only.

#include "pipewire_connection.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

struct pw_proxy;

class StreamMover : public QObject {
    Q_OBJECT
public:
    // How long a stream may take to reach our sink before its move is undone.
    static constexpr int kMoveDeadlineMs = 3000;

    explicit StreamMover(PipeWireConnection& connection, QString journalPath = defaultJournalPath());
    ~StreamMover() override;

    static QString defaultJournalPath();

    // The private sink, made on first use; false when it could not be made.
    bool ensureSink();
    // Destroys the sink, and waits until it is gone; the next ensureSink()
    // makes it anew. Only once nothing is linked to it: PipeWire before
    // 0.3.72 can leave a node destroyed under its links behind in the nodes
    // at their other ends, and crashes on it later. Runs the loop: never
    // from inside a PipeWire event.
    void dropSink();
    bool isOurs(const pw_graph::Node& node) const;
    uint32_t sinkNode() const;

    // The streams that must be held from now on. Newly wanted ones are
    // moved at once; those no longer wanted go back a moment later, unless
    // wanted again by then (a rebuild tears down and sets up in one go, and
    // the application must not reach its device in between).
    void hold(const QSet<uint32_t>& streams);
    // Whether the stream plays into our sink alone, so the mix may read it.
    bool isHeld(uint32_t stream) const;
    // Gives every stream back at once (the connection is closing).
    void releaseAll();

private:
    struct Moved {
        uint64_t serial = 0;
        std::optional<pw_graph::MetadataValue> previous;
        QElapsedTimer since;
        bool givenUp = false;
    };

    void sweep();
    void restore(uint32_t stream, const Moved& moved);
    void recoverJournal();
    void writeJournal() const;
    void onConnected();

    PipeWireConnection& m_connection;
    QString m_journalPath;
    QString m_sinkName;
    pw_proxy* m_sink = nullptr;
    QSet<uint32_t> m_wanted;
    QHash<uint32_t, Moved> m_moved;
    bool m_sweepQueued = false;
};
