#pragma once

// What the PipeWire daemon's graph holds, as far as Ravlet cares: nodes,
// their ports and links, clients, and the "default" metadata. Kept up to date
// by PipeWireConnection from the registry and from the objects it binds;
// read by everything else on the main thread, without asking the daemon.
// Ids are the daemon's and are handed out again as soon as an object goes:
// what must outlive a moment is keyed by object.serial, which never is.

#include <QHash>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <optional>
#include <vector>

namespace pw_graph {

enum class Direction { In, Out };

struct Node {
    uint32_t id = 0;
    uint64_t serial = 0;
    uint32_t clientId = 0;
    uint32_t deviceId = 0;
    QString mediaClass;
    QString name;          // node.name
    QString description;   // node.description, else node.nick, else node.name
    bool running = false;
    // The registry announces a node with a few of its properties; the rest
    // (node.dont-reconnect, node.link-group among them) come with its first
    // info. Until then it cannot be told whether it may be moved.
    bool described = false;
    bool dontReconnect = false;
    bool inLinkGroup = false;          // part of a filter chain or loopback
    int profileDevice = -1;            // card.profile.device, for Route volumes
    std::optional<std::vector<float>> channelVolumes;   // Props, linear
    std::optional<bool> mute;                           // Props
    QStringList channelMap;            // the channels of channelVolumes
    QVariantMap properties;            // the rest, as the daemon gave them
};

struct Port {
    uint32_t id = 0;
    uint32_t nodeId = 0;
    Direction direction = Direction::Out;
    QString name;
    QString channel;       // audio.channel ("FL", "MONO", …)
    bool monitor = false;
};

struct Link {
    uint32_t id = 0;
    uint32_t outputNode = 0;
    uint32_t outputPort = 0;
    uint32_t inputNode = 0;
    uint32_t inputPort = 0;
};

struct Client {
    uint32_t id = 0;
    uint64_t serial = 0;
    int32_t securePid = 0;       // pipewire.sec.pid: checked by the daemon
    int64_t secureUid = -1;      // pipewire.sec.uid
    int32_t claimedPid = 0;      // application.process.id: the client's own word
    QString binary;              // application.process.binary
    QString applicationName;
    QString iconName;
    QString mixerMark;           // a Ravlet's that mixes (MixerClaim)
    bool ours = false;
    // Its info has come: until then the process behind it is not known.
    bool described = false;
};

struct Route {
    int index = -1;
    int device = -1;             // the card profile device it serves
    std::vector<float> channelVolumes;
};

struct Device {
    uint32_t id = 0;
    QList<Route> routes;         // the active ones (SPA_PARAM_Route)
};

struct MetadataValue {
    QString type;
    QString value;
};

// Main thread only, all of it.
struct Graph {
    QHash<uint32_t, Node> nodes;
    QHash<uint32_t, Port> ports;
    QHash<uint32_t, Link> links;
    QHash<uint32_t, Client> clients;
    QHash<uint32_t, Device> devices;
    // The "default" metadata: subject → key → value.
    QHash<uint32_t, QHash<QString, MetadataValue>> metadata;
    bool hasDefaultMetadata = false;
    bool hasSessionManager = false;

    const Node* nodeNamed(const QString& name, const QString& mediaClass = {}) const;
    // The node that has this serial now; null once it is gone.
    const Node* nodeWithSerial(uint64_t serial) const;
    // Made by this program's own connection.
    bool isOurs(const Node& node) const;
    QList<const Port*> portsOf(uint32_t nodeId, Direction direction, bool includeMonitors = false) const;
    // The node.name a "default" metadata key names, from its JSON {"name": …}.
    QString defaultName(const char* key) const;
};

// {"name": "alsa_output…"} → "alsa_output…"; empty when it is not that.
QString nameFromJson(const QString& json);
QString jsonForName(const QString& name);

} // namespace pw_graph
