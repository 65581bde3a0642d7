#pragma once

// Taking streams off their devices and giving them back. A tapped
// application's streams are sent to a private silent sink of ours (through
// the "target.object" key of the "default" metadata, which the session
// manager follows), where nothing hears them directly; the mix reads them
// there. There is one such sink for each output device that mixes, and a
// stream is held on the one of the device its mix plays on: the mix node
// ties that sink to its device's clock, and a sink shared by two devices
// would tie both devices to one clock (see AggregateNode). Each move is
// journalled in the runtime folder, so that the keys a crashed run left
// behind are put back at the next start; the sinks' names are new every
// run, so a target the session manager remembers from a run that ended
// never silences anything.
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
// Devices are known by their sink's node.name. Main thread only.

#include "hold_sink.h"
#include "pipewire_connection.h"
#include "settling.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

class StreamMover : public QObject {
    Q_OBJECT
public:
    // How long a stream may take to reach our sink before its move is undone.
    static constexpr int kMoveDeadlineMs = 3000;

    explicit StreamMover(PipeWireConnection& connection, QString journalPath = defaultJournalPath());
    ~StreamMover() override;

    static QString defaultJournalPath();

    // The private sink of a device, made on first use; false when it could
    // not be made. Runs the loop: never from inside a PipeWire event.
    bool ensureSink(const QString& device);
    // Made by this program's connection, our sinks among them.
    bool isOurs(const pw_graph::Node& node) const;
    // The device's private sink's node; 0 while there is none.
    uint32_t sinkNode(const QString& device) const;
    // The private sinks' nodes that exist, by device.
    std::map<QString, uint32_t> sinkNodes() const;
    // Destroys the device's sink, and waits until it is gone; the next
    // ensureSink() makes it anew. Only once nothing is linked to it:
    // PipeWire before 0.3.72 can leave a node destroyed under its links
    // behind in the nodes at their other ends, and crashes on it later. Runs
    // the loop: never from inside a PipeWire event.
    void dropSink(const QString& device);

    // The streams (by serial) that must be held from now on, each with the
    // device whose sink holds it. Newly wanted ones are moved at once, and
    // so are those wanted on another device than before; those no longer
    // wanted go back a moment later, unless wanted again by then (a rebuild
    // tears down and sets up in one go, and the application must not reach
    // its device in between).
    void hold(const QHash<uint64_t, QString>& streams);
    // One more stream to hold, at once: one that has only just appeared,
    // before the session manager links it anywhere. Safe from inside a
    // PipeWire event; does nothing while the device's sink does not exist.
    void holdNow(uint64_t stream, const QString& device);
    // The device whose sink holds the stream, or is about to; empty when it
    // is not held.
    QString heldOn(uint64_t stream) const;
    // Whether the stream plays into the device's sink alone, so that
    // device's mix may read it.
    bool isHeld(uint64_t stream, const QString& device) const;
    // Gives every stream back at once (the connection is closing).
    void releaseAll();
    // Whether the stream is one we moved and hold; then *target is what it
    // goes back to: the user's own target, or none (the default device).
    bool givesBack(const pw_graph::Node& stream, std::optional<pw_graph::MetadataValue>* target) const;
    // The user chose where a held stream plays once it is given back:
    // target as "target.object" takes it, or none. Nothing moves now; false
    // when the stream is not held.
    bool setGivesBack(uint64_t stream, const std::optional<pw_graph::MetadataValue>& target);
    // Whether a target value names a private sink of ours, of this run.
    bool namesOurSink(const QString& value) const;
    // When the session manager has settled, as of the last look at the graph.
    Settling& settling() { return m_settling; }

private:
    struct Moved {
        uint64_t serial = 0;
        QString device;                 // whose sink holds it
        // What the stream had before, or what another program chose for it
        // since: the user's, given back on release.
        std::optional<pw_graph::MetadataValue> previous;
        QElapsedTimer since;            // since our target was last written
        bool settled = false;           // seen held since then
        bool mayLag = false;            // given back moments before, or held on another device's sink
        bool givenUp = false;
        // Since it was last given up, and how often: a session manager that
        // was stopped acts on a move again once it runs.
        QElapsedTimer givenUpAt;
        int retries = 0;
    };

    void move(const pw_graph::Node& node, const QString& device);
    // The device's sink, made as an object (not yet in the graph) on first
    // use.
    HoldSink& sinkOf(const QString& device);
    const HoldSink* findSink(const QString& device) const;
    void writeTarget(uint32_t node, const QString* value, const Moved& moved, const QString& type = {});
    void keepSavedTarget(uint32_t node, const Moved& moved);
    void sweep();
    // Adopted: the stream had to be sent to our sink again, as it took
    // another program's move or names a sink of ours that went (see
    // HoldSink). Waiting: it is linked elsewhere, not long enough to tell.
    enum class Adoption { None, Adopted, Waiting };
    Adoption adoptMove(const pw_graph::Node& node, Moved& moved);
    void restore(uint32_t node, const Moved& moved);
    // Removes the keys that would keep a stream we no longer hold on a sink
    // of ours; true when there was one.
    bool dropTargetsAtOurSinks(uint32_t node);
    // Whether a stream given back moments ago still plays into a sink of
    // ours, which a key we never heard of may keep it on (see sweep()).
    bool watchGivenBack();
    void recoverJournal();
    void scheduleJournal();
    void writeJournal() const;
    void onConnected();
    std::optional<pw_graph::MetadataValue> targetOf(uint32_t node) const;

    PipeWireConnection& m_connection;
    QString m_journalPath;
    // Every device's sink this run made, kept once dropped: the names it had
    // still tell a stream sent there by an earlier move.
    std::map<QString, std::unique_ptr<HoldSink>> m_sinks;
    QHash<uint64_t, QString> m_wanted;
    QHash<uint64_t, Moved> m_moved;
    struct GivenBack {
        QElapsedTimer since;
        bool reread = false;  // the metadata was read again for it
        void start()
        {
            since.start();
            reread = false;
        }
    };
    std::unordered_map<uint64_t, GivenBack> m_givenBack;  // streams given back, by serial
    Settling m_settling;
    QTimer m_recheck;  // the next sweep while a move or a give-back is pending
    bool m_sweepQueued = false;
    bool m_journalQueued = false;
};
