#include "engine.h"

#include "gain_slots.h"
#include "meters.h"
#include "settings.h"

#include <QCoreApplication>
#include <QMetaMethod>

#include <array>
#include <cmath>
#include <span>
#include <vector>

RavletEngine::RavletEngine(const EnginePlatform& platform, QObject* parent)
    : QObject(parent)
    , m_hardware(platform.hardware)
    , m_processes(platform.processes)
    , m_defaults(platform.defaults)
    , m_gainsWrite([this] { settings::saveGains(m_defaults, m_gains); })
    , m_diagLog(platform.diagLogPath)
    , m_renderState(std::make_shared<RenderState>())
    , m_recording(platform.hardware)
{
    connect(&m_recording, &RecordingProbe::changed, this, [this] {
        emit recordingPermissionChanged();
        reconcile();
    });

    m_supported = m_hardware.processTapsSupported();

    settings::Loaded loaded = settings::load(m_defaults);
    m_hidden = std::move(loaded.hidden);
    m_order = std::move(loaded.order);
    m_gains = std::move(loaded.gains);
    m_mutes = std::move(loaded.mutes);
    m_known = std::move(loaded.known);
    m_preventClipping = loaded.limiter;
    m_outputChoices = std::move(loaded.outputs);
    m_renderState->preventClipping.store(m_preventClipping, std::memory_order_relaxed);

    for (auto input : {&RavletEngine::appsChanged, &RavletEngine::gainsChanged, &RavletEngine::mutesChanged,
                       &RavletEngine::hiddenChanged, &RavletEngine::showHiddenChanged, &RavletEngine::orderChanged,
                       &RavletEngine::knownChanged, &RavletEngine::beyondSlotsChanged})
        connect(this, input, this, &RavletEngine::displayAppsChanged);

    m_renderState->clearMeters();
    refresh();

    // A quit ends the event loop before the engine is destroyed; nothing the
    // user set may be left behind in between.
    if (const QCoreApplication* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &RavletEngine::flushSettings);

    // Queued, so that a refresh runs as its own task on the main thread and
    // one still pending when the engine goes away is dropped with it.
    m_appTimer.setInterval(kAppTimerMs);
    connect(&m_appTimer, &QTimer::timeout, this, &RavletEngine::refresh, Qt::QueuedConnection);
    m_appTimer.start();

    m_meterTimer.setTimerType(Qt::PreciseTimer);
    m_meterTimer.setInterval(std::chrono::round<std::chrono::milliseconds>(
        std::chrono::duration<double>(kMeterTimerSeconds)));
    // Direct, unlike the refresh: the timer is the engine's own, so no tick
    // can outlive it, and a queued hop would wake an idle program twice per
    // tick, sixty times a second.
    connect(&m_meterTimer, &QTimer::timeout, this, &RavletEngine::pumpMeters);
}

bool RavletEngine::metersObserved() const
{
    return isSignalConnected(QMetaMethod::fromSignal(&RavletEngine::levelsChanged))
        || isSignalConnected(QMetaMethod::fromSignal(&RavletEngine::masterLevelChanged));
}

// Merely waking up thirty times a second costs an idle program more than
// all it does in the tray otherwise, so the meters tick only while someone
// follows them (the open popover does) or diagnostics lines are due.
void RavletEngine::resumeMeters()
{
    if (m_meterTimer.isActive())
        return;
    // After a pause the shown levels would long have decayed to the raw
    // peaks; they start from there, so that a meter coming into view shows
    // the sound of now from its first frame.
    m_levels.clear();
    m_masterLevel = 0.0f;
    pumpMeterSources(m_masterLevel);
    m_meterTimer.start();
}

// Called with Qt's connection lock held: nothing here may ask the engine
// about its connections. A follower leaving is noticed by the next tick.
void RavletEngine::connectNotify(const QMetaMethod& signal)
{
    if (!m_destroying
        && (signal == QMetaMethod::fromSignal(&RavletEngine::levelsChanged)
            || signal == QMetaMethod::fromSignal(&RavletEngine::masterLevelChanged))) {
        resumeMeters();
        QMetaObject::invokeMethod(this, &RavletEngine::followMeters, Qt::QueuedConnection);
    }
}

void RavletEngine::followMeters()
{
    // The popover opening is when the user may just have given the leave.
    if (m_recording.missing())
        m_recording.retry();
    if (m_metering || !metersObserved())
        return;
    m_metering = true;
    reconcile();
}

// The I/O thread may be inside render() until the device is stopped, so the
// setup goes first and the storage it touches after. A device that would not
// stop may still call its block, which must then never end up holding the
// storage's last reference: the storage is kept for the rest of the run.
RavletEngine::~RavletEngine()
{
    // A receiver connecting during the teardown (a slot it runs) must not
    // restart the meters over storage that is going away.
    m_destroying = true;
    flushSettings();
    teardown();
    if (m_blockMayRun) {
        static auto* const kept = new std::vector<std::shared_ptr<RenderState>>;
        kept->push_back(std::move(m_renderState));
        for (std::shared_ptr<RenderState>& state : m_spareStates)
            kept->push_back(std::move(state));
    }
}

void RavletEngine::setGains(const QMap<QString, float>& gains)
{
    publish(m_gains, gains, &RavletEngine::gainsChanged);
}

void RavletEngine::setMutes(const QMap<QString, bool>& mutes)
{
    publish(m_mutes, mutes, &RavletEngine::mutesChanged);
}

void RavletEngine::setShowHidden(bool showHidden)
{
    publish(m_showHidden, showHidden, &RavletEngine::showHiddenChanged);
}

void RavletEngine::setPreventClipping(bool on)
{
    m_renderState->preventClipping.store(on, std::memory_order_relaxed);
    for (const std::shared_ptr<RenderState>& state : m_spareStates)
        state->preventClipping.store(on, std::memory_order_relaxed);
    publish(m_preventClipping, on, &RavletEngine::preventClippingChanged);
    settings::saveLimiter(m_defaults, on);
}

void RavletEngine::setGain(const QString& id, float gain)
{
    // A gain that is not a number has no meaning to store or to hear.
    if (!std::isfinite(gain))
        return;
    QMap<QString, float> gains = m_gains;
    gains.insert(id, gain);
    setGains(gains);
    saveGains();
    reconcile();
}

void RavletEngine::setMuted(const QString& id, bool muted)
{
    QMap<QString, bool> mutes = m_mutes;
    mutes.insert(id, muted);
    setMutes(mutes);
    saveMutes();
    reconcile();
}

void RavletEngine::saveGains()
{
    m_gainsWrite.request();
}

void RavletEngine::flushSettings()
{
    m_gainsWrite.flush();
}

void RavletEngine::saveMutes()
{
    settings::saveMutes(m_defaults, m_mutes);
}

void RavletEngine::saveKnown()
{
    settings::saveKnown(m_defaults, m_known);
}

void RavletEngine::pushGains()
{
    for (const DeviceMix& mix : m_mixes)
        pushSlotGains(*mix.state, mix.ids, m_gains, m_mutes);
}

void RavletEngine::pumpMeters()
{
    // In place: thirty times a second, a new map each time would be thirty
    // allocations and frees a second for levels that rarely change shape.
    float master = m_masterLevel;
    pumpMeterSources(master);
    emit levelsChanged();
    publish(m_masterLevel, master, &RavletEngine::masterLevelChanged);

    if (m_diagPumpsLeft > 0) {
        --m_diagPumpsLeft;
        for (const DeviceMix& mix : m_mixes)
            appendDiag(ioDiagnosticsLine(*mix.state, mix.state->activeCount.load(std::memory_order_relaxed)));
    }
    if (!metersObserved()) {
        // No one looks: nothing more is read of the applications that play
        // unmixed.
        if (m_metering) {
            m_metering = false;
            reconcile();
        }
        if (m_diagPumpsLeft <= 0)
            m_meterTimer.stop();
    }
}

void RavletEngine::pumpMeterSources(float& master)
{
    // At most one mix per output device, and the listening one: fixed
    // storage, no allocation.
    std::array<MeterSource, 8> fixed;
    std::vector<MeterSource> more;
    std::span<MeterSource> sources;
    const std::size_t count = m_mixes.size() + m_meterMixes.size();
    if (count <= fixed.size()) {
        sources = std::span<MeterSource>(fixed.data(), count);
    } else {
        more.resize(count);
        sources = more;
    }
    // The master meter is the default device's mix, or silence while
    // nothing is mixed there.
    const RenderState* masterState = m_renderState.get();
    std::size_t i = 0;
    for (const std::vector<DeviceMix>* mixes : {&m_mixes, &m_meterMixes}) {
        for (const DeviceMix& mix : *mixes) {
            sources[i++] = MeterSource{mix.state.get(), &mix.slotIDs};
            if (mixes == &m_mixes && mix.device == m_setupDefault && masterState == m_renderState.get())
                masterState = mix.state.get();
        }
    }
    pumpLevels(sources, *masterState, m_levels, master);
}

void RavletEngine::appendDiag(const QString& line)
{
    m_diagLog.append(line);
}

QVariantList RavletEngine::outputList() const
{
    QVariantList list;
    for (const OutputDevice& device : m_outputs)
        list.append(QVariantMap{{QStringLiteral("id"), device.id},
                                {QStringLiteral("name"), device.name},
                                {QStringLiteral("uid"), device.uid}});
    return list;
}
