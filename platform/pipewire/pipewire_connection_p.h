#pragma once

// The connection's private state, shared by the files that implement it:
// the loop and the core (pipewire_connection.cpp) and the objects bound to
// follow the graph (graph_binding.cpp).

#include <pipewire/pipewire.h>
#include <pipewire/extensions/metadata.h>

#include "pipewire_connection.h"

#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <unordered_map>

// One global we follow: its proxy and listeners, freed together.
struct BoundObject {
    PipeWireConnection::Private* owner = nullptr;
    uint32_t id = 0;
    enum class Kind { Node, Client, Device, Metadata } kind = Kind::Node;
    pw_proxy* proxy = nullptr;
    spa_hook objectListener{};
    spa_hook proxyListener{};

    ~BoundObject();
};

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
    BoundObject* defaultMetadata = nullptr;
    pw_graph::Graph graph;
    QTimer reconnectTimer;
    int pendingSync = -1;
    bool synced = false;
    bool lost = false;                 // the daemon went away; tear down from the event loop
    bool changeQueued = false;
    QString problem;
    QByteArray mixerMark;

    void connect();
    void disconnect();
    void pump();
    void markChanged();

    // graph_binding.cpp
    void onGlobal(uint32_t id, const char* type, const spa_dict* props);
    void onGlobalRemove(uint32_t id);
    void bind(uint32_t id, BoundObject::Kind kind, const char* type, uint32_t version, const void* events);
    void updateProblem();
};
