#pragma once

// Queries over the JSON array that pw-dump prints: one element per object,
// with "id", "type" ("PipeWire:Interface:Node", ...), and for most types an
// "info" object whose "props" hold the properties. Metadata objects carry
// their entries in "metadata" instead, with JSON values already parsed.

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <vector>

namespace pwdump {

struct Node {
    quint32 id = 0;
    quint64 serial = 0;
    QString state;       // "running", "idle", "suspended", "error", ...
    QJsonObject props;

    QString prop(const QString& key) const { return props.value(key).toVariant().toString(); }
};

struct Link {
    quint32 id = 0;
    quint32 outputNode = 0;
    quint32 outputPort = 0;
    quint32 inputNode = 0;
    quint32 inputPort = 0;
    QString state;       // "active" once data flows
};

// type is either the short name ("Node", "Link", "Port", "Metadata", ...)
// or the full interface name.
int countObjects(const QJsonArray& dump, const QString& type);

std::vector<Node> nodes(const QJsonArray& dump);
std::optional<Node> nodeByName(const QJsonArray& dump, const QString& nodeName);
std::optional<Node> nodeById(const QJsonArray& dump, quint32 id);
// Every node whose application.name matches, in pw-dump's order.
std::vector<Node> nodesByApplication(const QJsonArray& dump, const QString& applicationName);
// The properties of a client (a node's "client.id"): application.process.id,
// application.process.binary and the like live there for native streams.
std::optional<QJsonObject> clientProps(const QJsonArray& dump, quint32 clientId);
std::vector<Link> links(const QJsonArray& dump);
// Links from one node's output ports to another's input ports.
int countLinks(const QJsonArray& dump, quint32 outputNode, quint32 inputNode);
// The ports of a node with the given direction ("input" or "output").
int countPorts(const QJsonArray& dump, quint32 node, const QString& direction);

// Entries of one metadata object (by metadata.name), optionally only those
// with the given key.
int countMetadataKeys(const QJsonArray& dump, const QString& metadataName, const QString& key = {});
std::optional<QJsonValue> metadataValue(const QJsonArray& dump, const QString& metadataName,
                                        quint32 subject, const QString& key);

// A metadata value as the text pw-metadata would show: strings as they are,
// objects and arrays as compact JSON, numbers and booleans as written.
QString metadataText(const QJsonValue& value);

} // namespace pwdump
