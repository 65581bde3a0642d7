#include "graph_model.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace pw_graph {

const Node* Graph::nodeNamed(const QString& name, const QString& mediaClass) const
{
    if (name.isEmpty())
        return nullptr;
    for (const Node& node : nodes) {
        if (node.name == name && (mediaClass.isEmpty() || node.mediaClass == mediaClass))
            return &node;
    }
    return nullptr;
}

const Node* Graph::nodeWithSerial(uint64_t serial) const
{
    if (serial == 0)
        return nullptr;
    for (const Node& node : nodes) {
        if (node.serial == serial)
            return &node;
    }
    return nullptr;
}

bool Graph::isOurs(const Node& node) const
{
    const auto client = clients.constFind(node.clientId);
    return client != clients.cend() && client->ours;
}

QList<const Port*> Graph::portsOf(uint32_t nodeId, Direction direction, bool includeMonitors) const
{
    QList<const Port*> result;
    for (const Port& port : ports) {
        if (port.nodeId == nodeId && port.direction == direction && (includeMonitors || !port.monitor))
            result.append(&port);
    }
    // Hash order is no order: the daemon numbers a node's ports as it makes them.
    std::sort(result.begin(), result.end(), [](const Port* a, const Port* b) { return a->id < b->id; });
    return result;
}

QString Graph::defaultName(const char* key) const
{
    const auto subject = metadata.constFind(0);
    if (subject == metadata.cend())
        return {};
    const auto value = subject->constFind(QLatin1String(key));
    return value == subject->cend() ? QString() : nameFromJson(value->value);
}

QString nameFromJson(const QString& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    return document.isObject() ? document.object().value(QStringLiteral("name")).toString() : QString();
}

QString jsonForName(const QString& name)
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("name"), name}}).toJson(QJsonDocument::Compact));
}

} // namespace pw_graph
