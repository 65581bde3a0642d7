#pragma once

// One connection to the PipeWire daemon, driven from Qt's event loop: the
// PipeWire main loop's descriptor is watched by a QSocketNotifier, so every
// PipeWire event (registry, object info, metadata) is handled on the main
// thread, where the engine's calls read the resulting graph without locks.
// Real-time processing runs on PipeWire's own data thread (see
// AggregateNode). When the daemon goes away the graph empties and the
// connection retries every second by itself. Main thread only, all of it.

#include "graph_model.h"

#include <QObject>

#include <sys/types.h>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

struct pw_context;
struct pw_core;
struct pw_loop;
struct pw_proxy;
struct pw_properties;
struct spa_pod_builder;

class PipeWireConnection : public QObject {
    Q_OBJECT
public:
    // A mixer's client carries a mark of ours, by which other mixers on the
    // same daemon know it (see MixerClaim); a restorer, which only puts back
    // what an ended run left, is none and carries none.
    enum class Role { Mixer, Restorer };

    explicit PipeWireConnection(QObject* parent = nullptr, Role role = Role::Mixer);
    ~PipeWireConnection() override;

    // The mark our client carries, new for each connection object; empty for
    // a restorer.
    QString mixerMark() const;

    bool isConnected() const;
    // Why there is no usable audio server, in the user's words; empty when
    // there is one.
    QString problem() const;
    const pw_graph::Graph& graph() const;

    pw_context* context() const;
    pw_core* core() const;   // null while disconnected
    // The thread PipeWire runs real-time callbacks (our mix) on, for
    // measuring them; 0 while the data loop has no thread of its own yet.
    pid_t dataThread() const;

    // Runs PipeWire's loop here until done() holds or timeoutMs passed; true
    // when done() held. Never call it from inside a PipeWire callback.
    bool runUntil(const std::function<bool()>& done, int timeoutMs);
    // Until the daemon has handled everything sent so far.
    bool roundTrip(int timeoutMs);

    // Writes to the "default" metadata; a null value removes the key. The
    // write shows in graph() at once, without waiting for the daemon's echo.
    bool setMetadata(uint32_t subject, const QString& key, const QString& type, const QString* value);
    // Reads the "default" metadata afresh, for what the daemon's word of a
    // change never told us (it tells nobody while another client binds the
    // metadata); graphChanged() follows. Nothing while a read is under way.
    void readMetadataAgain();
    // A sink's volumes: through its device's route when it has one (as the
    // session manager's own mixer does, saved), else its own Props.
    bool setVolumes(uint32_t nodeId, const std::vector<float>& volumes);
    // The same for its mute.
    bool setMute(uint32_t nodeId, bool muted);
    // How long the main thread waits for the daemon to place an object of
    // ours in the graph: far longer than a daemon that answers takes, short
    // of a wait anyone notices. One not there by then is not waited for
    // again but kept, and taken once it is there (the daemon answers late
    // while the session manager is stopped).
    static constexpr int kPlacedWaitMs = 500;
    // An object made by one of the daemon's factories, owned by this
    // connection: it goes away with us. Destroy it with pw_proxy_destroy().
    pw_proxy* createObject(const char* factory, const char* type, uint32_t version, pw_properties* props);
    // The global id a proxy made by createObject() was given; 0 until the
    // daemon has told (a round trip).
    static uint32_t boundId(pw_proxy* proxy);
    // Asks the daemon to destroy a global of anyone's (a link); false while
    // disconnected.
    bool destroyGlobal(uint32_t id);

signals:
    // Before the connection's objects go (the daemon left, or we close):
    // the last moment to destroy what was made on it.
    void aboutToDisconnect();
    void connectedChanged(bool connected);
    // After the graph changed; queued, at most once per event-loop turn.
    void graphChanged();
    // Emitted at once, from inside the daemon's event, with the graph
    // already updated: the session manager links a new stream a few
    // milliseconds after it appears, and what must happen first cannot wait
    // for graphChanged(). Handlers may write (metadata) but must not run
    // the loop (runUntil(), roundTrip()).
    // A client's properties came or changed (the process it runs).
    void clientDescribed(uint32_t id);
    // A node's first full properties came (node.dont-reconnect and
    // node.link-group among them).
    void nodeDescribed(uint32_t id);

public:
    // Shared by the files that implement the connection.
    struct Private;

private:
    // Writes the Props that addProps adds, by the way setVolumes() says.
    bool setSinkProps(uint32_t nodeId, const std::function<void(spa_pod_builder&)>& addProps);

    std::unique_ptr<Private> d;
};
