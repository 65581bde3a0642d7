#pragma once

// Taking streams off their devices and giving them back. A tapped
// application's streams are sent to a private silent sink of ours (through
// the "target.object" key of the "default" metadata, which the session
// manager follows), where nothing hears them directly; the mix reads them
// there. Each move is journalled in the runtime folder, so that the keys a
// crashed run left behind are put back at the next start; the sink's name is
// new every run, so a target the session manager remembers from a run that
// ended never silences anything.
//
// Streams are known by their object.serial: the daemon gives a new stream the
// id of one that has just gone, and what was true of the old one (where it
// played before we moved it) is not true of the new one. The id is looked up
// from the serial whenever the daemon is asked.
//
// A held stream that another program moves (its target written anew, or a
// link made from it to another device) has been sent where the user wants
// the application: that device is what it gets back once it is no longer
// held. Until then it stays held, so that it plays as loud as its row says.
//
// Main thread only.

#include "hold_sink.h"
#include "pipewire_connection.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

class StreamMover : public QObject {
    Q_OBJECT
public:
    // How long a stream may take to reach our sink before its move is undone.
    static constexpr int kMoveDeadlineMs = 3000;

    explicit StreamMover(PipeWireConnection& connection, QString journalPath = defaultJournalPath());
    ~StreamMover() override;

    static QString defaultJournalPath();

    // The private sink, made on first use; false when it could not be made.
    // Runs the loop: never from inside a PipeWire event.
    bool ensureSink();
    bool isOurs(const pw_graph::Node& node) const { return m_sink.isOurs(node); }
    uint32_t sinkNode() const { return m_sink.nodeId(); }
    // Destroys the sink, and waits until it is gone; the next ensureSink()
    // makes it anew. Only once nothing is linked to it: PipeWire before
    // 0.3.72 can leave a node destroyed under its links behind in the nodes
    // at their other ends, and crashes on it later. Runs the loop: never
    // from inside a PipeWire event.
    void dropSink();

    // The streams (by serial) that must be held from now on. Newly wanted
    // ones are moved at once; those no longer wanted go back a moment later,
    // unless wanted again by then (a rebuild tears down and sets up in one
    // go, and the application must not reach its device in between).
    void hold(const QSet<uint64_t>& streams);
    // One more stream to hold, at once: one that has only just appeared,
    // before the session manager links it anywhere. Safe from inside a
    // PipeWire event; does nothing while our sink does not exist.
    void holdNow(uint64_t stream);
    // Whether the stream plays into our sink alone, so the mix may read it.
    bool isHeld(uint64_t stream) const;
    // Gives every stream back at once (the connection is closing).
    void releaseAll();
    // Whether the stream is one we moved and hold; then *target is what it
    // goes back to: the user's own target, or none (the default device).
    bool givesBack(const pw_graph::Node& stream, std::optional<pw_graph::MetadataValue>* target) const;

private:
    struct Moved {
        uint64_t serial = 0;
        // What the stream had before, or what another program chose for it
        // since: the user's, given back on release.
        std::optional<pw_graph::MetadataValue> previous;
        QElapsedTimer since;            // since our target was last written
        bool settled = false;           // seen held since then
        bool givenUp = false;
    };

    void move(const pw_graph::Node& node);
    void writeTarget(uint32_t node, const QString* value, const Moved& moved, const QString& type = {});
    void keepSavedTarget(uint32_t node, const Moved& moved);
    void sweep();
    // Whether the stream had to be sent to our sink again: it took another
    // program's move, or names a sink of ours that went (see HoldSink).
    bool adoptMove(const pw_graph::Node& node, Moved& moved);
    void restore(uint32_t node, const Moved& moved);
    void recoverJournal();
    void scheduleJournal();
    void writeJournal() const;
    void onConnected();
    std::optional<pw_graph::MetadataValue> targetOf(uint32_t node) const;

    PipeWireConnection& m_connection;
    QString m_journalPath;
    HoldSink m_sink;
    QSet<uint64_t> m_wanted;
    QHash<uint64_t, Moved> m_moved;
    bool m_sweepQueued = false;
    bool m_journalQueued = false;
};
