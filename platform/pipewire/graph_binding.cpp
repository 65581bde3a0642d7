// Following the daemon's graph: globals from the registry, and the objects
// bound to learn more than the registry tells (a node's state, properties and
// volumes, a client's process, a device's routes, the "default" metadata).
// All of it on the main thread, as the loop is iterated there.

#include "pipewire_connection_p.h"

#include "mixer_claim.h"

#include <spa/param/audio/raw.h>
#include <spa/param/props.h>
#include <spa/param/route.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>
#include <spa/utils/dict.h>

#include <unistd.h>

namespace {

using pw_graph::Direction;

QString text(const spa_dict* props, const char* key)
{
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

qint64 number(const spa_dict* props, const char* key, qint64 fallback = 0)
{
    bool ok = false;
    const qint64 value = text(props, key).toLongLong(&ok);
    return ok ? value : fallback;
}

bool truth(const spa_dict* props, const char* key)
{
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return value && spa_atob(value);
}

QVariantMap toMap(const spa_dict* props)
{
    QVariantMap map;
    if (!props)
        return map;
    const spa_dict_item* item = nullptr;
    spa_dict_for_each(item, props)
        map.insert(QString::fromUtf8(item->key), QString::fromUtf8(item->value ? item->value : ""));
    return map;
}

void fillNode(pw_graph::Node& node, const spa_dict* props)
{
    node.serial = quint64(number(props, PW_KEY_OBJECT_SERIAL, qint64(node.serial)));
    node.clientId = uint32_t(number(props, PW_KEY_CLIENT_ID, node.clientId));
    node.deviceId = uint32_t(number(props, PW_KEY_DEVICE_ID, node.deviceId));
    node.mediaClass = text(props, PW_KEY_MEDIA_CLASS);
    node.name = text(props, PW_KEY_NODE_NAME);
    node.description = text(props, PW_KEY_NODE_DESCRIPTION);
    if (node.description.isEmpty())
        node.description = text(props, PW_KEY_NODE_NICK);
    if (node.description.isEmpty())
        node.description = node.name;
    node.dontReconnect = truth(props, PW_KEY_NODE_DONT_RECONNECT);
    node.inLinkGroup = !text(props, PW_KEY_NODE_LINK_GROUP).isEmpty();
    node.profileDevice = int(number(props, "card.profile.device", -1));
    node.properties = toMap(props);
}

// channelVolumes, channelMap and mute of a Props object.
void readVolumes(const spa_pod* param, std::optional<std::vector<float>>& volumes, QStringList& channels,
                 std::optional<bool>& mute)
{
    if (!param || !spa_pod_is_object(param))
        return;
    const auto* object = reinterpret_cast<const spa_pod_object*>(param);
    const spa_pod_prop* prop = nullptr;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        if (prop->key == SPA_PROP_channelVolumes) {
            float values[SPA_AUDIO_MAX_CHANNELS];
            const uint32_t n = spa_pod_copy_array(&prop->value, SPA_TYPE_Float, values, SPA_AUDIO_MAX_CHANNELS);
            volumes = std::vector<float>(values, values + n);
        } else if (prop->key == SPA_PROP_channelMap) {
            uint32_t ids[SPA_AUDIO_MAX_CHANNELS];
            const uint32_t n = spa_pod_copy_array(&prop->value, SPA_TYPE_Id, ids, SPA_AUDIO_MAX_CHANNELS);
            channels.clear();
            for (uint32_t i = 0; i < n; ++i)
                channels.append(QString::number(ids[i]));
        } else if (prop->key == SPA_PROP_mute) {
            bool muted = false;
            if (spa_pod_get_bool(&prop->value, &muted) >= 0)
                mute = muted;
        }
    }
}

std::optional<pw_graph::Route> readRoute(const spa_pod* param)
{
    int32_t index = -1;
    int32_t device = -1;
    uint32_t direction = 0;
    const spa_pod* props = nullptr;
    if (!param
        || spa_pod_parse_object(param, SPA_TYPE_OBJECT_ParamRoute, nullptr, SPA_PARAM_ROUTE_index, SPA_POD_Int(&index),
                                SPA_PARAM_ROUTE_direction, SPA_POD_Id(&direction), SPA_PARAM_ROUTE_device,
                                SPA_POD_Int(&device), SPA_PARAM_ROUTE_props, SPA_POD_OPT_Pod(&props))
               < 0
        || direction != SPA_DIRECTION_OUTPUT)
        return std::nullopt;
    pw_graph::Route route{index, device, {}};
    std::optional<std::vector<float>> volumes;
    QStringList ignored;
    std::optional<bool> mute;
    readVolumes(props, volumes, ignored, mute);
    route.channelVolumes = volumes.value_or(std::vector<float>{});
    return route;
}

const pw_node_events& nodeEvents()
{
    static const pw_node_events events = [] {
        pw_node_events e{};
        e.version = PW_VERSION_NODE_EVENTS;
        e.info = [](void* data, const pw_node_info* info) {
            auto* object = static_cast<BoundObject*>(data);
            auto& graph = object->owner->graph;
            const auto node = graph.nodes.find(object->id);
            if (node == graph.nodes.end())
                return;
            const bool first = !node->described && (info->change_mask & PW_NODE_CHANGE_MASK_PROPS);
            if (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) {
                fillNode(*node, info->props);
                node->described = true;
            }
            if (info->change_mask & PW_NODE_CHANGE_MASK_STATE)
                node->running = info->state == PW_NODE_STATE_RUNNING;
            object->owner->markChanged();
            if (first)
                emit object->owner->q->nodeDescribed(object->id);
        };
        e.param = [](void* data, int /*seq*/, uint32_t id, uint32_t /*index*/, uint32_t /*next*/, const spa_pod* param) {
            auto* object = static_cast<BoundObject*>(data);
            auto& graph = object->owner->graph;
            const auto node = graph.nodes.find(object->id);
            if (node == graph.nodes.end() || id != SPA_PARAM_Props)
                return;
            readVolumes(param, node->channelVolumes, node->channelMap, node->mute);
            object->owner->markChanged();
        };
        return e;
    }();
    return events;
}

const pw_client_events& clientEvents()
{
    static const pw_client_events events = [] {
        pw_client_events e{};
        e.version = PW_VERSION_CLIENT_EVENTS;
        e.info = [](void* data, const pw_client_info* info) {
            auto* object = static_cast<BoundObject*>(data);
            auto& graph = object->owner->graph;
            const auto client = graph.clients.find(object->id);
            if (client == graph.clients.end() || !(info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS))
                return;
            const spa_dict* props = info->props;
            client->securePid = int32_t(number(props, PW_KEY_SEC_PID));
            client->secureUid = number(props, PW_KEY_SEC_UID, -1);
            client->claimedPid = int32_t(number(props, PW_KEY_APP_PROCESS_ID));
            client->binary = text(props, PW_KEY_APP_PROCESS_BINARY);
            client->applicationName = text(props, PW_KEY_APP_NAME);
            client->iconName = text(props, PW_KEY_APP_ICON_NAME);
            client->mixerMark = text(props, MixerClaim::kProperty);
            client->ours = client->securePid == ::getpid();
            client->described = true;
            object->owner->markChanged();
            emit object->owner->q->clientDescribed(object->id);
        };
        return e;
    }();
    return events;
}

const pw_device_events& deviceEvents()
{
    static const pw_device_events events = [] {
        pw_device_events e{};
        e.version = PW_VERSION_DEVICE_EVENTS;
        e.info = [](void* data, const pw_device_info* info) {
            auto* object = static_cast<BoundObject*>(data);
            // Routes change with the port plugged in or the profile chosen.
            for (uint32_t i = 0; i < info->n_params; ++i) {
                if (info->params[i].id == SPA_PARAM_Route && (info->params[i].flags & SPA_PARAM_INFO_READ)) {
                    object->owner->graph.devices[object->id].routes.clear();
                    pw_device_enum_params(reinterpret_cast<pw_device*>(object->proxy), 0, SPA_PARAM_Route, 0,
                                          UINT32_MAX, nullptr);
                }
            }
        };
        e.param = [](void* data, int /*seq*/, uint32_t id, uint32_t /*index*/, uint32_t /*next*/, const spa_pod* param) {
            auto* object = static_cast<BoundObject*>(data);
            if (id != SPA_PARAM_Route)
                return;
            if (const auto route = readRoute(param)) {
                auto& routes = object->owner->graph.devices[object->id].routes;
                routes.removeIf([&](const pw_graph::Route& r) { return r.index == route->index; });
                routes.append(*route);
                object->owner->markChanged();
            }
        };
        return e;
    }();
    return events;
}

const pw_metadata_events& metadataEvents()
{
    static const pw_metadata_events events = [] {
        pw_metadata_events e{};
        e.version = PW_VERSION_METADATA_EVENTS;
        e.property = [](void* data, uint32_t subject, const char* key, const char* type, const char* value) -> int {
            auto* object = static_cast<BoundObject*>(data);
            if (!object->owner->noteMetadataEvent(object, subject, key, value))
                return 0;
            auto& metadata = object->owner->graph.metadata;
            auto& pendingClears = object->owner->pendingClears;
            // The clear of a node that went was done here when it went: done
            // now, it would erase what a new node under the same id has been
            // given since. Anything else said of the subject comes after it.
            if (!key && pendingClears.remove(subject))
                return 0;
            pendingClears.remove(subject);
            if (!key)
                metadata.remove(subject);
            else if (!value)
                metadata[subject].remove(QString::fromUtf8(key));
            else
                metadata[subject].insert(QString::fromUtf8(key),
                                         {QString::fromUtf8(type ? type : ""), QString::fromUtf8(value)});
            object->owner->markChanged();
            return 0;
        };
        return e;
    }();
    return events;
}

const pw_proxy_events& proxyEvents()
{
    static const pw_proxy_events events = [] {
        pw_proxy_events e{};
        e.version = PW_VERSION_PROXY_EVENTS;
        // The global is gone: so is what we bound of it.
        e.removed = [](void* data) {
            auto* object = static_cast<BoundObject*>(data);
            if (object->proxy)
                pw_proxy_destroy(object->proxy);
        };
        // Destroyed by us, by the global's removal or with the core.
        e.destroy = [](void* data) {
            auto* object = static_cast<BoundObject*>(data);
            spa_hook_remove(&object->objectListener);
            spa_hook_remove(&object->proxyListener);
            object->proxy = nullptr;
        };
        return e;
    }();
    return events;
}

} // namespace

BoundObject::~BoundObject()
{
    // The proxy's destroy event takes the listeners off it.
    if (proxy)
        pw_proxy_destroy(proxy);
}

void PipeWireConnection::Private::bind(uint32_t id, BoundObject::Kind kind, const char* type, uint32_t version,
                                       const void* events)
{
    auto object = std::make_unique<BoundObject>();
    object->owner = this;
    object->id = id;
    object->kind = kind;
    object->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, version, 0));
    if (!object->proxy)
        return;
    pw_proxy_add_listener(object->proxy, &object->proxyListener, &proxyEvents(), object.get());
    pw_proxy_add_object_listener(object->proxy, &object->objectListener, events, object.get());
    bound[id] = std::move(object);
}

void PipeWireConnection::Private::bindDefaultMetadata(uint32_t id)
{
    bind(id, BoundObject::Kind::Metadata, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, &metadataEvents());
    defaultMetadata = bound.count(id) ? bound[id].get() : nullptr;
    graph.hasDefaultMetadata = defaultMetadata != nullptr;
    updateProblem();
}

void PipeWireConnection::Private::onGlobal(uint32_t id, const char* type, const spa_dict* props)
{
    if (spa_streq(type, PW_TYPE_INTERFACE_Node)) {
        pw_graph::Node node;
        node.id = id;
        fillNode(node, props);
        graph.nodes.insert(id, node);
        bind(id, BoundObject::Kind::Node, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &nodeEvents());
        // A stream's own volume multiplies with ours: what a row says is heard.
        if ((node.mediaClass == QLatin1String("Audio/Sink") || node.mediaClass == QLatin1String("Stream/Output/Audio"))
            && bound.count(id)) {
            uint32_t ids[] = {SPA_PARAM_Props};
            pw_node_subscribe_params(reinterpret_cast<pw_node*>(bound[id]->proxy), ids, 1);
        }
    } else if (spa_streq(type, PW_TYPE_INTERFACE_Port)) {
        pw_graph::Port port;
        port.id = id;
        port.nodeId = uint32_t(number(props, PW_KEY_NODE_ID));
        port.direction = text(props, PW_KEY_PORT_DIRECTION) == QLatin1String("in") ? Direction::In : Direction::Out;
        port.name = text(props, PW_KEY_PORT_NAME);
        port.channel = text(props, PW_KEY_AUDIO_CHANNEL);
        port.monitor = truth(props, PW_KEY_PORT_MONITOR);
        graph.ports.insert(id, port);
    } else if (spa_streq(type, PW_TYPE_INTERFACE_Link)) {
        graph.links.insert(id, pw_graph::Link{id, uint32_t(number(props, PW_KEY_LINK_OUTPUT_NODE)),
                                              uint32_t(number(props, PW_KEY_LINK_OUTPUT_PORT)),
                                              uint32_t(number(props, PW_KEY_LINK_INPUT_NODE)),
                                              uint32_t(number(props, PW_KEY_LINK_INPUT_PORT))});
    } else if (spa_streq(type, PW_TYPE_INTERFACE_Client)) {
        pw_graph::Client client;
        client.id = id;
        client.serial = quint64(number(props, PW_KEY_OBJECT_SERIAL));
        client.securePid = int32_t(number(props, PW_KEY_SEC_PID));
        client.ours = client.securePid == ::getpid();
        graph.clients.insert(id, client);
        bind(id, BoundObject::Kind::Client, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, &clientEvents());
    } else if (spa_streq(type, PW_TYPE_INTERFACE_Device)) {
        if (text(props, PW_KEY_MEDIA_CLASS) != QLatin1String("Audio/Device"))
            return;
        graph.devices.insert(id, pw_graph::Device{id, {}});
        bind(id, BoundObject::Kind::Device, PW_TYPE_INTERFACE_Device, PW_VERSION_DEVICE, &deviceEvents());
        if (bound.count(id)) {
            uint32_t ids[] = {SPA_PARAM_Route};
            pw_device_subscribe_params(reinterpret_cast<pw_device*>(bound[id]->proxy), ids, 1);
        }
    } else if (spa_streq(type, PW_TYPE_INTERFACE_Metadata)) {
        if (text(props, PW_KEY_METADATA_NAME) != QLatin1String("default"))
            return;
        graph.metadata.clear();
        resetMetadataWatch();
        bindDefaultMetadata(id);
    } else {
        return;
    }
    markChanged();
}

void PipeWireConnection::Private::onGlobalRemove(uint32_t id)
{
    std::erase_if(leaving, [](const auto& object) { return !object->proxy; });
    const auto found = bound.find(id);
    if (found != bound.end()) {
        if (found->second.get() == defaultMetadata) {
            defaultMetadata = nullptr;
            graph.metadata.clear();
            graph.hasDefaultMetadata = false;
            resetMetadataWatch();
            updateProblem();
        }
        // Its proxy goes with the daemon's "removed", which comes next;
        // nothing it says until then is about the graph.
        if (found->second->proxy) {
            spa_hook_remove(&found->second->objectListener);
            spa_zero(found->second->objectListener);
            leaving.push_back(std::move(found->second));
        }
        bound.erase(found);
    }
    // The daemon drops a node's keys with it; its word of that comes later,
    // and of a write to them, never.
    std::erase_if(awaitedEchoes, [&](const AwaitedEcho& echo) { return echo.subject == id; });
    if (graph.nodes.remove(id) && graph.metadata.remove(id))
        pendingClears.insert(id);
    graph.ports.remove(id);
    graph.links.remove(id);
    graph.clients.remove(id);
    graph.devices.remove(id);
    markChanged();
}
