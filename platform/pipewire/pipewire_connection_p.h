#pragma once

// The connection's private state, shared by the files that implement it:
// the loop and the core (pipewire_connection.cpp) and the objects bound to
// follow the graph (graph_binding.cpp).

#include <pipewire/pipewire.h>
#include <pipewire/extensions/metadata.h>

#include "pending_writes.h"
#include "pipewire_connection.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <QSet>

#include <memory>
#include <unordered_map>
#include <vector>

// One global we follow: its proxy and listeners, freed together. The proxy
// goes when the daemon removes the global, whichever of the two events comes
// first, and its listeners with it. Main thread only.
struct BoundObject {
    PipeWireConnection::Private* owner = nullptr;
    uint32_t id = 0;
    enum class Kind { Node, Client, Device, Metadata } kind = Kind::Node;
    pw_proxy* proxy = nullptr;
    spa_hook objectListener{};
    spa_hook proxyListener{};

    ~BoundObject();
};

// Main thread only.
struct PipeWireConnection::Private {
    PipeWireConnection* q = nullptr;
    pw_loop* loop = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    std::unordered_map<uint32_t, std::unique_ptr<BoundObject>> bound;
    // Globals gone whose proxies wait for the daemon's word that it dropped
    // them too: destroyed sooner, they would ask it to drop what it no
    // longer has.
    std::vector<std::unique_ptr<BoundObject>> leaving;
    BoundObject* defaultMetadata = nullptr;
    pw_graph::Graph graph;
    // Nodes that went with keys in the "default" metadata: the daemon clears
    // those keys by itself, and its word of it can come after a new node has
    // been given the same id (and keys of ours).
    QSet<uint32_t> pendingClears;
    QTimer reconnectTimer;
    int pendingSync = -1;
    bool synced = false;
    bool lost = false;                 // the daemon went away; tear down from the event loop
    bool changeQueued = false;
    QString problem;
    QByteArray mixerMark;

    // PipeWire 0.3.65 stops telling every client of the "default"
    // metadata's changes, for as long as the daemon runs, once a client
    // that was binding it leaves before the session manager answered. Our
    // own writes show it: their word not back within a while, the metadata
    // is read afresh by binding it again and a change of our own is made;
    // its word lost too, the metadata is read again every while until word
    // of a change comes again. metadata_watch.cpp.
    struct AwaitedEcho {
        uint32_t subject = 0;
        QString key;
        QDeadlineTimer due;
    };
    std::vector<AwaitedEcho> awaitedEchoes;
    QTimer metadataWatch;
    bool metadataDeaf = false;
    bool metadataDoubted = false;       // one word lost: read afresh, then a change of ours tells
    uint32_t probeSubject = 0;          // our client, where that change is made
    QDeadlineTimer probeDue {QDeadlineTimer::Forever};
    int probeCount = 0;
    int probesLost = 0;                 // of this doubt
    bool toldDeaf = false;              // said once a connection
    BoundObject* refreshing = nullptr;  // a new binding, telling what the metadata holds now
    QElapsedTimer refreshStarted;
    int refreshSync = -1;               // answered once all of it has been told
    QSet<QPair<uint32_t, QString>> refreshedKeys;
    QSet<QPair<uint32_t, QString>> writtenWhileRefreshing;
    PendingWrites pendingWrites;        // ours whose word has not come back

    void connect();
    void disconnect();
    void pump();
    void markChanged();
    // Whether a proxy id is one of an object we follow (bound or leaving).
    bool isBoundProxy(uint32_t proxyId) const;

    // graph_binding.cpp
    void onGlobal(uint32_t id, const char* type, const spa_dict* props);
    void onGlobalRemove(uint32_t id);
    void bind(uint32_t id, BoundObject::Kind kind, const char* type, uint32_t version, const void* events);
    void bindDefaultMetadata(uint32_t id);
    void updateProblem();

    // metadata_watch.cpp
    void awaitEcho(uint32_t subject, const QString& key);
    // A property event of the "default" metadata, seen by the binding it
    // came on.
    bool noteMetadataEvent(const BoundObject* from, uint32_t subject, const char* key, const char* value);
    void checkMetadata();
    void refreshMetadata();
    // The read took lagMs, the session manager's answer among it.
    void probeMetadata(qint64 lagMs);
    void becomeDeaf();
    void clearProbe();
    void finishRefresh();
    void resetMetadataWatch();
};
