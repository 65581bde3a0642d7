#include "pw_dump.h"

#include <QJsonDocument>

namespace pwdump {

namespace {

const QString kPrefix = QStringLiteral("PipeWire:Interface:");

bool isType(const QJsonObject& object, const QString& type)
{
    const QString actual = object.value(QStringLiteral("type")).toString();
    return type.startsWith(kPrefix) ? actual == type : actual == kPrefix + type;
}

quint32 id(const QJsonValue& value)
{
    return static_cast<quint32>(value.toInteger(-1));
}

Node toNode(const QJsonObject& object)
{
    const QJsonObject info = object.value(QStringLiteral("info")).toObject();
    Node node;
    node.id = id(object.value(QStringLiteral("id")));
    node.state = info.value(QStringLiteral("state")).toString();
    node.props = info.value(QStringLiteral("props")).toObject();
    node.serial = static_cast<quint64>(node.props.value(QStringLiteral("object.serial")).toInteger());
    return node;
}

std::optional<QJsonObject> metadataObject(const QJsonArray& dump, const QString& name)
{
    for (const QJsonValue& value : dump) {
        const QJsonObject object = value.toObject();
        if (isType(object, QStringLiteral("Metadata"))
            && object.value(QStringLiteral("props")).toObject().value(QStringLiteral("metadata.name")).toString() == name)
            return object;
    }
    return std::nullopt;
}

} // namespace

int countObjects(const QJsonArray& dump, const QString& type)
{
    int count = 0;
    for (const QJsonValue& value : dump)
        count += isType(value.toObject(), type) ? 1 : 0;
    return count;
}

std::vector<Node> nodes(const QJsonArray& dump)
{
    std::vector<Node> result;
    for (const QJsonValue& value : dump) {
        if (isType(value.toObject(), QStringLiteral("Node")))
            result.push_back(toNode(value.toObject()));
    }
    return result;
}

std::optional<Node> nodeByName(const QJsonArray& dump, const QString& nodeName)
{
    for (Node& node : nodes(dump)) {
        if (node.prop(QStringLiteral("node.name")) == nodeName)
            return std::move(node);
    }
    return std::nullopt;
}

std::optional<Node> nodeById(const QJsonArray& dump, quint32 nodeId)
{
    for (Node& node : nodes(dump)) {
        if (node.id == nodeId)
            return std::move(node);
    }
    return std::nullopt;
}

std::vector<Node> nodesByApplication(const QJsonArray& dump, const QString& applicationName)
{
    std::vector<Node> result;
    for (Node& node : nodes(dump)) {
        if (node.prop(QStringLiteral("application.name")) == applicationName)
            result.push_back(std::move(node));
    }
    return result;
}

std::optional<QJsonObject> clientProps(const QJsonArray& dump, quint32 clientId)
{
    for (const QJsonValue& value : dump) {
        const QJsonObject object = value.toObject();
        if (isType(object, QStringLiteral("Client")) && id(object.value(QStringLiteral("id"))) == clientId)
            return object.value(QStringLiteral("info")).toObject().value(QStringLiteral("props")).toObject();
    }
    return std::nullopt;
}

std::vector<Link> links(const QJsonArray& dump)
{
    std::vector<Link> result;
    for (const QJsonValue& value : dump) {
        const QJsonObject object = value.toObject();
        if (!isType(object, QStringLiteral("Link")))
            continue;
        const QJsonObject info = object.value(QStringLiteral("info")).toObject();
        result.push_back({id(object.value(QStringLiteral("id"))),
                          id(info.value(QStringLiteral("output-node-id"))),
                          id(info.value(QStringLiteral("output-port-id"))),
                          id(info.value(QStringLiteral("input-node-id"))),
                          id(info.value(QStringLiteral("input-port-id"))),
                          info.value(QStringLiteral("state")).toString()});
    }
    return result;
}

int countLinks(const QJsonArray& dump, quint32 outputNode, quint32 inputNode)
{
    int count = 0;
    for (const Link& link : links(dump))
        count += link.outputNode == outputNode && link.inputNode == inputNode ? 1 : 0;
    return count;
}

int countPorts(const QJsonArray& dump, quint32 node, const QString& direction)
{
    int count = 0;
    for (const QJsonValue& value : dump) {
        const QJsonObject object = value.toObject();
        if (!isType(object, QStringLiteral("Port")))
            continue;
        const QJsonObject info = object.value(QStringLiteral("info")).toObject();
        const QJsonObject props = info.value(QStringLiteral("props")).toObject();
        if (id(props.value(QStringLiteral("node.id"))) == node
            && info.value(QStringLiteral("direction")).toString() == direction)
            ++count;
    }
    return count;
}

int countMetadataKeys(const QJsonArray& dump, const QString& metadataName, const QString& key)
{
    const auto object = metadataObject(dump, metadataName);
    if (!object)
        return 0;
    int count = 0;
    for (const QJsonValue& entry : object->value(QStringLiteral("metadata")).toArray())
        count += key.isEmpty() || entry.toObject().value(QStringLiteral("key")).toString() == key ? 1 : 0;
    return count;
}

std::optional<QJsonValue> metadataValue(const QJsonArray& dump, const QString& metadataName,
                                        quint32 subject, const QString& key)
{
    const auto object = metadataObject(dump, metadataName);
    if (!object)
        return std::nullopt;
    for (const QJsonValue& value : object->value(QStringLiteral("metadata")).toArray()) {
        const QJsonObject entry = value.toObject();
        if (id(entry.value(QStringLiteral("subject"))) == subject
            && entry.value(QStringLiteral("key")).toString() == key)
            return entry.value(QStringLiteral("value"));
    }
    return std::nullopt;
}

QString metadataText(const QJsonValue& value)
{
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble())
        return value.toVariant().toString();
    return value.toString();
}

} // namespace pwdump
