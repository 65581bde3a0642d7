#include "pipewire_connection_p.h"

#include "mixer_claim.h"
#include "system_log.h"

#include <spa/param/props.h>
#include <spa/param/route.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <unistd.h>

namespace {

constexpr int kReconnectMs = 1000;

const pw_core_events& coreEvents()
{
    static const pw_core_events events = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = [](void* data, uint32_t id, int seq) {
            auto* d = static_cast<PipeWireConnection::Private*>(data);
            if (id == PW_ID_CORE && seq == d->pendingSync)
                d->synced = true;
            if (id == PW_ID_CORE && d->refreshing && seq == d->refreshSync)
                d->finishRefresh();
        };
        e.error = [](void* data, uint32_t id, int /*seq*/, int res, const char* message) {
            auto* d = static_cast<PipeWireConnection::Private*>(data);
            // A broken pipe on the core means the daemon has gone.
            if (id == PW_ID_CORE && res == -EPIPE) {
                d->lost = true;
                return;
            }
            // What we follow of the graph can go while we ask about it (a
            // client that comes and goes before we bind it), and what we
            // let go of can be gone already (a link whose stream ended):
            // the removal answers both. Anything else the daemon refused us
            // is said in its own words.
            if ((res == -ENOENT || res == -ESTALE) && (id == PW_ID_CORE || d->isBoundProxy(id)))
                return;
            systemLog(QStringLiteral("[ravlet] PipeWire refused a request on object %1: %2 (%3)")
                          .arg(id)
                          .arg(QString::fromUtf8(message ? message : ""), QString::fromUtf8(spa_strerror(res))));
        };
        return e;
    }();
    return events;
}

const pw_registry_events& registryEvents()
{
    static const pw_registry_events events = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = [](void* data, uint32_t id, uint32_t /*permissions*/, const char* type, uint32_t /*version*/,
                      const spa_dict* props) { static_cast<PipeWireConnection::Private*>(data)->onGlobal(id, type, props); };
        e.global_remove = [](void* data, uint32_t id) {
            static_cast<PipeWireConnection::Private*>(data)->onGlobalRemove(id);
        };
        return e;
    }();
    return events;
}

} // namespace

PipeWireConnection::PipeWireConnection(QObject* parent, Role role)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    d->q = this;
    if (role == Role::Mixer)
        d->mixerMark = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    pw_init(nullptr, nullptr);
    d->loop = pw_loop_new(nullptr);
    // This thread owns the loop for good: every iteration happens here.
    pw_loop_enter(d->loop);
    d->notifier = std::make_unique<QSocketNotifier>(pw_loop_get_fd(d->loop), QSocketNotifier::Read);
    QObject::connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] { d->pump(); });
    // client-rt.conf asks for a real-time data thread where one can be had.
    d->context = pw_context_new(d->loop, pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    d->reconnectTimer.setInterval(kReconnectMs);
    QObject::connect(&d->reconnectTimer, &QTimer::timeout, this, [this] { d->connect(); });
    QObject::connect(&d->metadataWatch, &QTimer::timeout, this, [this] { d->checkMetadata(); });
    d->connect();
}

PipeWireConnection::~PipeWireConnection()
{
    d->reconnectTimer.stop();
    d->disconnect();
    d->notifier.reset();
    if (d->context)
        pw_context_destroy(d->context);
    pw_loop_leave(d->loop);
    pw_loop_destroy(d->loop);
}

bool PipeWireConnection::isConnected() const
{
    return d->core != nullptr;
}

QString PipeWireConnection::mixerMark() const
{
    return QString::fromLatin1(d->mixerMark);
}

QString PipeWireConnection::problem() const
{
    return d->problem;
}

const pw_graph::Graph& PipeWireConnection::graph() const
{
    return d->graph;
}

pw_context* PipeWireConnection::context() const
{
    return d->context;
}

pid_t PipeWireConnection::dataThread() const
{
    pid_t tid = 0;
    pw_data_loop_invoke(
        pw_context_get_data_loop(d->context),
        [](spa_loop*, bool, uint32_t, const void*, size_t, void* user) -> int {
            *static_cast<pid_t*>(user) = gettid();
            return 0;
        },
        0, nullptr, 0, true, &tid);
    // Run here, on the caller's thread, when the loop has no thread yet.
    return tid == gettid() ? 0 : tid;
}

pw_core* PipeWireConnection::core() const
{
    return d->core;
}

void PipeWireConnection::Private::connect()
{
    if (core || !context)
        return;
    pw_properties* properties = pw_properties_new(PW_KEY_APP_NAME, "Ravlet", nullptr);
    if (!mixerMark.isEmpty())
        pw_properties_set(properties, MixerClaim::kProperty, mixerMark.constData());
    core = pw_context_connect(context, properties, 0);
    if (!core) {
        graph = {};
        updateProblem();
        reconnectTimer.start();
        return;
    }
    reconnectTimer.stop();
    lost = false;
    pw_core_add_listener(core, &coreListener, &coreEvents(), this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &registryListener, &registryEvents(), this);
    // The registry announces everything there is before it answers a sync:
    // the engine's first look finds the graph whole.
    // Twice: the first answer brings the globals, which are bound on the
    // spot; the second brings what the bound objects tell at once (a node's
    // state, the metadata's keys).
    for (int pass = 0; pass < 2; ++pass) {
        pendingSync = pw_core_sync(core, PW_ID_CORE, 0);
        synced = false;
        q->runUntil([this] { return synced; }, 2000);
    }
    // The "default" metadata tells a client that has just bound it what it
    // holds only once the session manager that owns it has answered the
    // daemon, which a busy machine puts after the round trips above. Without
    // it, a stream the user sent elsewhere would look sent nowhere, and a
    // stream moved then would be given back to nowhere. The defaults come
    // first; one more round trip brings the rest, sent with them.
    if (defaultMetadata && q->runUntil([this] { return graph.metadata.contains(PW_ID_CORE); }, 1000)) {
        pendingSync = pw_core_sync(core, PW_ID_CORE, 0);
        synced = false;
        q->runUntil([this] { return synced; }, 2000);
    }
    updateProblem();
    emit q->connectedChanged(true);
    markChanged();
}

void PipeWireConnection::Private::disconnect()
{
    if (!core)
        return;
    emit q->aboutToDisconnect();
    defaultMetadata = nullptr;
    resetMetadataWatch();
    toldDeaf = false;
    bound.clear();
    leaving.clear();
    pendingClears.clear();
    spa_hook_remove(&registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    registry = nullptr;
    spa_hook_remove(&coreListener);
    pw_core_disconnect(core);
    core = nullptr;
    graph = {};
    updateProblem();
    emit q->connectedChanged(false);
    markChanged();
}

void PipeWireConnection::Private::pump()
{
    pw_loop_iterate(loop, 0);
    if (lost && core) {
        // Not from inside the loop's own dispatch: the core is destroyed here.
        QTimer::singleShot(0, q, [this] {
            disconnect();
            reconnectTimer.start();
        });
    }
}

bool PipeWireConnection::Private::isBoundProxy(uint32_t proxyId) const
{
    const auto is = [&](const std::unique_ptr<BoundObject>& object) {
        return object->proxy && pw_proxy_get_id(object->proxy) == proxyId;
    };
    return std::any_of(bound.begin(), bound.end(), [&](const auto& entry) { return is(entry.second); })
        || std::any_of(leaving.begin(), leaving.end(), is);
}

void PipeWireConnection::Private::markChanged()
{
    if (changeQueued)
        return;
    changeQueued = true;
    QMetaObject::invokeMethod(
        q,
        [this] {
            changeQueued = false;
            emit q->graphChanged();
        },
        Qt::QueuedConnection);
}

bool PipeWireConnection::runUntil(const std::function<bool()>& done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired() || !d->core || d->lost)
            return false;
        pw_loop_iterate(d->loop, int(std::min<qint64>(deadline.remainingTime(), 50)));
    }
    return true;
}

bool PipeWireConnection::roundTrip(int timeoutMs)
{
    if (!d->core)
        return false;
    d->pendingSync = pw_core_sync(d->core, PW_ID_CORE, 0);
    d->synced = false;
    return runUntil([this] { return d->synced; }, timeoutMs);
}

bool PipeWireConnection::setMetadata(uint32_t subject, const QString& key, const QString& type, const QString* value)
{
    if (!d->defaultMetadata)
        return false;
    const QByteArray keyBytes = key.toUtf8();
    const QByteArray typeBytes = type.toUtf8();
    const QByteArray valueBytes = value ? value->toUtf8() : QByteArray();
    pw_metadata_set_property(reinterpret_cast<pw_metadata*>(d->defaultMetadata->proxy), subject, keyBytes.constData(),
                             value && !type.isEmpty() ? typeBytes.constData() : nullptr,
                             value ? valueBytes.constData() : nullptr);
    // Taken as written at once, not when the daemon echoes it: the daemon
    // drops a metadata's events to everyone else while any client is
    // binding it, so an echo can be lost, and with it our own choice. The
    // daemon applies writes in order, so later events still win. An echo
    // that never comes is how a daemon that tells nobody anymore shows.
    auto& keys = d->graph.metadata[subject];
    const auto was = keys.constFind(key);
    const bool changes = value ? was == keys.cend() || was->value != *value : was != keys.cend();
    if (changes && (subject == PW_ID_CORE || d->graph.nodes.contains(subject)))
        d->awaitEcho(subject, key);
    if (d->refreshing)
        d->writtenWhileRefreshing.insert({subject, key});
    d->pendingWrites.wrote(subject, key, value ? std::optional(*value) : std::nullopt);
    if (value)
        keys.insert(key, {type, *value});
    else
        keys.remove(key);
    d->markChanged();
    return true;
}

void PipeWireConnection::readMetadataAgain()
{
    d->refreshMetadata();
}

bool PipeWireConnection::setVolumes(uint32_t nodeId, const std::vector<float>& volumes)
{
    if (volumes.empty())
        return false;
    return setSinkProps(nodeId, [&](spa_pod_builder& b) {
        spa_pod_builder_prop(&b, SPA_PROP_channelVolumes, 0);
        spa_pod_builder_array(&b, sizeof(float), SPA_TYPE_Float, uint32_t(volumes.size()), volumes.data());
    });
}

bool PipeWireConnection::setMute(uint32_t nodeId, bool muted)
{
    return setSinkProps(nodeId, [&](spa_pod_builder& b) {
        spa_pod_builder_prop(&b, SPA_PROP_mute, 0);
        spa_pod_builder_bool(&b, muted);
    });
}

bool PipeWireConnection::setSinkProps(uint32_t nodeId, const std::function<void(spa_pod_builder&)>& addProps)
{
    const auto node = d->graph.nodes.constFind(nodeId);
    if (node == d->graph.nodes.cend())
        return false;
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame outer{};
    spa_pod_frame inner{};

    const auto device = d->graph.devices.constFind(node->deviceId);
    if (device != d->graph.devices.cend() && node->profileDevice >= 0) {
        for (const pw_graph::Route& route : device->routes) {
            if (route.device != node->profileDevice)
                continue;
            const auto boundDevice = d->bound.find(node->deviceId);
            if (boundDevice == d->bound.end())
                return false;
            spa_pod_builder_push_object(&b, &outer, SPA_TYPE_OBJECT_ParamRoute, SPA_PARAM_Route);
            spa_pod_builder_add(&b, SPA_PARAM_ROUTE_index, SPA_POD_Int(route.index), SPA_PARAM_ROUTE_device,
                                SPA_POD_Int(route.device), 0);
            spa_pod_builder_prop(&b, SPA_PARAM_ROUTE_props, 0);
            spa_pod_builder_push_object(&b, &inner, SPA_TYPE_OBJECT_Props, SPA_PARAM_Route);
            addProps(b);
            spa_pod_builder_pop(&b, &inner);
            // Saved, as the desktop's own mixer saves it.
            spa_pod_builder_prop(&b, SPA_PARAM_ROUTE_save, 0);
            spa_pod_builder_bool(&b, true);
            auto* pod = static_cast<spa_pod*>(spa_pod_builder_pop(&b, &outer));
            pw_device_set_param(reinterpret_cast<pw_device*>(boundDevice->second->proxy), SPA_PARAM_Route, 0, pod);
            return true;
        }
    }
    const auto boundNode = d->bound.find(nodeId);
    if (boundNode == d->bound.end())
        return false;
    spa_pod_builder_push_object(&b, &outer, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    addProps(b);
    auto* pod = static_cast<spa_pod*>(spa_pod_builder_pop(&b, &outer));
    pw_node_set_param(reinterpret_cast<pw_node*>(boundNode->second->proxy), SPA_PARAM_Props, 0, pod);
    return true;
}

pw_proxy* PipeWireConnection::createObject(const char* factory, const char* type, uint32_t version, pw_properties* props)
{
    if (!d->core) {
        pw_properties_free(props);
        return nullptr;
    }
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(d->core, factory, type, version, &props->dict, 0));
    pw_properties_free(props);
    return proxy;
}

uint32_t PipeWireConnection::boundId(pw_proxy* proxy)
{
    const uint32_t id = proxy ? pw_proxy_get_bound_id(proxy) : SPA_ID_INVALID;
    return id == SPA_ID_INVALID ? 0 : id;
}

bool PipeWireConnection::destroyGlobal(uint32_t id)
{
    if (!d->registry)
        return false;
    pw_registry_destroy(d->registry, id);
    return true;
}

void PipeWireConnection::Private::updateProblem()
{
    if (!core) {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        // A PulseAudio server of its own answers where PipeWire's would.
        if (!runtime.isEmpty() && QFileInfo::exists(QString::fromLocal8Bit(runtime) + QStringLiteral("/pulse/native")))
            problem = QStringLiteral("Ravlet needs PipeWire: this desktop's sound server is PulseAudio, not PipeWire.");
        else
            problem = QStringLiteral("Ravlet needs PipeWire: no audio server answered.");
        return;
    }
    problem = graph.hasDefaultMetadata
                ? QString()
                : QStringLiteral("Ravlet needs PipeWire: PipeWire runs without its session manager (WirePlumber).");
}
