// The running audio machinery: one process tap per application, and for
// each output device the tapped applications play on, one private aggregate
// device holding their taps, with one I/O procedure whose block mixes them
// into that device's output.

#include "engine.h"

#include "cf_string.h"
#include "gain_slots.h"
#include "hal_access.h"
#include "meters.h"
#include "system_log.h"

#include <QScopeGuard>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <cmath>

namespace {

const QString kSetupName = QStringLiteral("Ravlet");
const QString kAggregateUIDPrefix = QStringLiteral("io.morvik.ravlet.agg.");

QString uuidString(const QUuid& uuid)
{
    return uuid.toString(QUuid::WithoutBraces).toUpper();
}

QVariantMap uidEntry(const QString& uid)
{
    return {{QString::fromLatin1(kAudioSubDeviceUIDKey), uid}};
}

} // namespace

// The new setup is built and started before the old one stops. A tap mutes
// its application only while a started device reads it, so stopping first
// would leave every tapped application playing unscaled on its device (a
// muted one at full level) for as long as the taps and aggregate devices
// take to make; and the device plays on meanwhile. Instead the new mixes
// start with their gain slots at 0 beside the old ones, which go on mixing
// every application at its level; once the old mixes have stopped, the
// gains are pushed. An application is thus muted by both setups' taps and
// heard through the old mix only, then through the new one only. The calls
// are those of a teardown followed by a build, in a changed order: the
// old setup's stop and destruction come after the new devices' start and
// before the "started" lines; the diagnostics lines and messages are the same.
void RavletEngine::rebuild(QStringList ids)
{
    if (!m_supported)
        return;
    ++m_rebuilds;
    std::vector<DeviceMix> outgoing = std::move(m_mixes);
    m_mixes.clear();
    m_activeIDs.clear();
    m_setupPids.clear();
    m_setupDefault = kAudioObjectUnknown;
    // Whatever the new setup comes to, the old one ends with this rebuild.
    const auto endOutgoing = qScopeGuard([&] { retire(outgoing); });
    const bool handOver = !outgoing.empty();
    if (ids.isEmpty())
        return;

    const AudioObjectID defaultDevice = hal::defaultOutputDevice(m_hardware);
    const std::optional<QString> defaultUID = defaultDevice == kAudioObjectUnknown
        ? std::nullopt
        : hal::cfStringProp(m_hardware, defaultDevice, kAudioDevicePropertyDeviceUID);
    if (!defaultUID) {
        systemLog(QStringLiteral("[ravlet] no output device"));
        return;
    }
    // Ids and UIDs are concatenated, never passed through arg(): a "%1" in a
    // bundle path must stay text.
    m_diagLog.restart(QStringLiteral("=== rebuild ") + QString::number(ids.size()) + QStringLiteral(" app(s) out=")
                      + *defaultUID + QStringLiteral(" authAudio=")
                      + QString::number(m_hardware.audioCaptureAuthorizationStatus()) + QStringLiteral(" ==="));

    // One mix per device the applications play on, the default device's
    // first; within each, the applications keep the order they came in.
    std::vector<DeviceMix> mixes;
    mixes.push_back(DeviceMix{defaultDevice, *defaultUID, {}, {}, {}, {}, {}, {}, {}});
    for (const QString& id : std::as_const(ids)) {
        const AudioObjectID device = playsOn(id);
        auto mix = std::find_if(mixes.begin(), mixes.end(), [device](const DeviceMix& m) { return m.device == device; });
        if (mix == mixes.end()) {
            const std::optional<QString> uid = hal::cfStringProp(m_hardware, device, kAudioDevicePropertyDeviceUID);
            if (!uid) {
                systemLog(QStringLiteral("[ravlet] no device UID for ") + id);
                continue;
            }
            mixes.push_back(DeviceMix{device, *uid, {}, {}, {}, {}, {}, {}, {}});
            mix = std::prev(mixes.end());
        }
        mix->ids.append(id);
    }

    bool tapped = false;
    bool failed = false;
    for (DeviceMix& mix : mixes) {
        const QStringList tapUIDs = createTaps(mix, mix.ids, false);
        if (mix.taps.isEmpty())
            continue;
        mix.slotIDs = mix.ids;
        tapped = true;
        mix.state = takeState();
        if (!startMix(mix, tapUIDs, handOver)) {
            failed = true;
            retryFailedMixSoon();
            continue;
        }
        for (const QString& id : std::as_const(mix.ids)) {
            m_activeIDs.append(id);
            m_setupPids.insert(id, m_pidsByID.value(id));
        }
        m_mixes.push_back(std::move(mix));
    }
    if (!failed)
        m_failingSince.invalidate();
    if (m_mixes.empty()) {
        if (!tapped)
            systemLog(QStringLiteral("[ravlet] no taps created"));
        return;
    }
    m_setupDefault = defaultDevice;
    retire(outgoing);
    pushGains();

    m_diagPumpsLeft = kDiagPumpsPerStart;
    resumeMeters();
    for (const DeviceMix& mix : m_mixes) {
        appendDiag(QStringLiteral("started %1 app(s) agg=%2").arg(mix.ids.size()).arg(mix.aggregate));
        for (qsizetype slot = 0; slot < mix.taps.size(); ++slot)
            appendDiag(QStringLiteral("tap[%1] obj=%2 fmt=%3").arg(slot).arg(mix.taps.at(slot)).arg(tapFormat(mix.taps.at(slot))));
        systemLog(QStringLiteral("[ravlet] started ") + QString::number(mix.ids.size()) + QStringLiteral(" app(s) out=")
                  + mix.deviceUID + QStringLiteral(" agg=") + QString::number(mix.aggregate));
    }
}

QStringList RavletEngine::createTaps(DeviceMix& mix, QStringList& ids, bool metered)
{
    QStringList tapUIDs;
    QStringList made;
    for (const QString& id : std::as_const(ids)) {
        if (const std::optional<MadeTap> tap = createTap(id, metered)) {
            mix.taps.append(tap->tap);
            tapUIDs.append(tap->uid);
            made.append(id);
        }
    }
    ids = made;
    return tapUIDs;
}

std::optional<RavletEngine::MadeTap> RavletEngine::createTap(const QString& id, bool metered)
{
    const QList<qint32> pids = m_pidsByID.value(id);
    std::vector<AudioObjectID> objects;
    for (const qint32 pid : pids) {
        const AudioObjectID object = hal::processObject(m_hardware, pid);
        if (object != kAudioObjectUnknown)
            objects.push_back(object);
        // The diagnostics log is the record of the mix.
        if (metered)
            continue;
        OSStatus status = kAudioHardwareUnspecifiedError;
        const UInt32 running = object == kAudioObjectUnknown
            ? 0
            : hal::readFixed<UInt32>(m_hardware, object, hal::globalAddress(kAudioProcessPropertyIsRunningOutput),
                                     &status);
        const bool runningOutput = status == kAudioHardwareNoError && running != 0;
        appendDiag(QStringLiteral("  will tap ") + id + QStringLiteral(": pid=") + QString::number(pid)
                   + QStringLiteral(" obj=") + QString::number(object) + QStringLiteral(" runningOutput=")
                   + (runningOutput ? QStringLiteral("true") : QStringLiteral("false")));
    }
    // An application without processes to tap (one that stopped playing: a
    // player between two tracks, a browser between two clips; one
    // remembered as muted that has not played yet; one whose processes went
    // a moment ago) gets a tap that takes its processes in when they start,
    // where the hardware can: left out, its next sound would be heard
    // unscaled until the refresh after.
    const bool waitsForProcesses = objects.empty();
    // A tap only to listen takes the processes that play now.
    if (metered && waitsForProcesses)
        return std::nullopt;

    ProcessTapDescription description;
    description.processes = objects;
    description.stereoMixdown = true;
    description.name = kSetupName;
    description.uuid = QUuid::createUuid();
    description.muteBehavior = metered ? kTapUnmuted : kTapMutedWhenTapped;
    description.isPrivate = true;
    description.bundleIDs = {id};
    description.processRestoreEnabled = true;
    AudioObjectID tap = kAudioObjectUnknown;
    const OSStatus status = m_hardware.createProcessTap(description, &tap);
    if (waitsForProcesses && (status != kAudioHardwareNoError || tap == kAudioObjectUnknown)) {
        // Hardware that only taps processes that exist is not asked for the
        // applications that have not played yet again.
        if (status == kAudioHardwareIllegalOperationError || status == kAudioHardwareUnsupportedOperationError)
            m_tapsCannotWait = true;
        systemLog(QStringLiteral("[ravlet] no process objects for ") + id);
        return std::nullopt;
    }
    if (status != kAudioHardwareNoError || tap == kAudioObjectUnknown) {
        // Hardware that cannot listen without silencing is not asked again;
        // those rows show no level.
        if (metered
            && (status == kAudioHardwareUnsupportedOperationError || status == kAudioHardwareIllegalOperationError)) {
            m_meterTapsRefused = true;
            systemLog(QStringLiteral("[ravlet] levels of unmixed applications are not available"));
            return std::nullopt;
        }
        systemLog(QStringLiteral("[ravlet] tap create failed ") + id + QStringLiteral(": ") + QString::number(status));
        return std::nullopt;
    }
    const QString descriptionUUID = uuidString(description.uuid);
    const QString tapUID = hal::cfStringProp(m_hardware, tap, kAudioTapPropertyUID).value_or(descriptionUUID);
    if (!metered)
        appendDiag(QStringLiteral("  tap obj=") + QString::number(tap) + QStringLiteral(" descUUID=") + descriptionUUID
                   + QStringLiteral(" realUID=") + tapUID);
    return MadeTap{tap, tapUID};
}

// Listening leaves the sound alone (its taps do not mute), so the old taps
// may go before the new ones come. Each application is listened to on the
// device it plays on: a sound server reads there only what plays there, and
// one aggregate over two devices would tie them to one clock.
void RavletEngine::rebuildMeters(const QStringList& ids)
{
    retire(m_meterMixes);
    m_meteredIDs.clear();
    m_meterPids.clear();
    if (!m_supported)
        return;
    std::vector<DeviceMix> mixes;
    for (const QString& id : ids) {
        const AudioObjectID device = playsOn(id);
        auto mix = std::find_if(mixes.begin(), mixes.end(), [device](const DeviceMix& m) { return m.device == device; });
        if (mix == mixes.end()) {
            const std::optional<QString> uid = device == kAudioObjectUnknown
                ? std::nullopt
                : hal::cfStringProp(m_hardware, device, kAudioDevicePropertyDeviceUID);
            if (!uid)
                continue;
            mixes.push_back(DeviceMix{device, *uid, {}, {}, {}, {}, {}, {}, {}});
            mix = std::prev(mixes.end());
        }
        mix->meterIDs.append(id);
    }
    for (DeviceMix& mix : mixes) {
        const QStringList tapUIDs = createTaps(mix, mix.meterIDs, true);
        if (mix.taps.isEmpty())
            continue;
        mix.slotIDs = mix.meterIDs;
        mix.state = takeState();
        if (!startMix(mix, tapUIDs, false))
            continue;
        for (const QString& id : std::as_const(mix.meterIDs)) {
            m_meteredIDs.append(id);
            m_meterPids.insert(id, m_pidsByID.value(id));
        }
        m_meterMixes.push_back(std::move(mix));
    }
    if (!m_meterMixes.empty())
        resumeMeters();
}

bool RavletEngine::metersAreStale() const
{
    for (const DeviceMix& mix : m_meterMixes) {
        for (const QString& id : mix.slotIDs) {
            if (playsOn(id) != mix.device)
                return true;
        }
    }
    for (auto it = m_meterPids.cbegin(); it != m_meterPids.cend(); ++it) {
        const auto running = m_pidsByID.constFind(it.key());
        if (running != m_pidsByID.cend() && *running != it.value())
            return true;
    }
    return false;
}

std::shared_ptr<RenderState> RavletEngine::takeState()
{
    // Held by the spares alone: no mix, running or stopping, uses it.
    auto free = std::find_if(m_spareStates.begin(), m_spareStates.end(),
                             [](const std::shared_ptr<RenderState>& state) { return state.use_count() == 1; });
    if (free == m_spareStates.end()) {
        m_spareStates.push_back(std::make_shared<RenderState>());
        free = std::prev(m_spareStates.end());
    }
    RenderState& state = **free;
    state.activeCount.store(0, std::memory_order_relaxed);
    state.meterOnlyCount.store(0, std::memory_order_relaxed);
    state.preventClipping.store(m_preventClipping, std::memory_order_relaxed);
    state.clearMeters();
    return *free;
}

bool RavletEngine::startMix(DeviceMix& mix, const QStringList& tapUIDs, bool silent)
{
    // The switches are numbers, 1 or 0, as Core Audio documents them: a
    // boolean would reach it as a CFBoolean, which is no CFNumber.
    QVariantList tapList;
    for (const QString& uid : tapUIDs) {
        tapList.append(QVariantMap{{QString::fromLatin1(kAudioSubTapUIDKey), uid},
                                   {QString::fromLatin1(kAudioSubTapDriftCompensationKey), 1}});
    }
    const QVariantMap aggregate{
        {QString::fromLatin1(kAudioAggregateDeviceNameKey), kSetupName},
        {QString::fromLatin1(kAudioAggregateDeviceUIDKey), kAggregateUIDPrefix + uuidString(QUuid::createUuid())},
        {QString::fromLatin1(kAudioAggregateDeviceMainSubDeviceKey), mix.deviceUID},
        {QString::fromLatin1(kAudioAggregateDeviceIsPrivateKey), 1},
        {QString::fromLatin1(kAudioAggregateDeviceIsStackedKey), 0},
        {QString::fromLatin1(kAudioAggregateDeviceTapAutoStartKey), 1},
        {QString::fromLatin1(kAudioAggregateDeviceSubDeviceListKey), QVariantList{uidEntry(mix.deviceUID)}},
        {QString::fromLatin1(kAudioAggregateDeviceTapListKey), tapList},
    };
    mix.state->activeCount.store(int(mix.ids.size()), std::memory_order_relaxed);
    mix.state->meterOnlyCount.store(int(mix.meterIDs.size()), std::memory_order_relaxed);
    OSStatus status = m_hardware.createAggregateDevice(aggregate, &mix.aggregate);
    if (status != kAudioHardwareNoError || mix.aggregate == kAudioObjectUnknown) {
        systemLog(QStringLiteral("[ravlet] aggregate create failed: %1").arg(status));
        mix.aggregate = kAudioObjectUnknown;
        stopMix(mix);
        return false;
    }
    if (silent)
        silenceSlots(*mix.state, mix.ids.size());
    else
        pushSlotGains(*mix.state, mix.ids, m_gains, m_mutes);

    // The block holds the render storage weakly. Whatever it holds while it
    // renders is never the last reference: the engine keeps the storage for
    // as long as a block may run, so nothing is ever freed on the I/O thread.
    const std::weak_ptr<RenderState> weakState = mix.state;
    DeviceIOBlock block = [weakState](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                                      AudioBufferList* output, const AudioTimeStamp*) {
        if (const std::shared_ptr<RenderState> state = weakState.lock(); state && input && output)
            ::render(*state, *input, *output);
    };
    status = m_hardware.createIOProcIDWithBlock(&mix.ioProc, mix.aggregate, nullptr, std::move(block));
    if (status != kAudioHardwareNoError || !mix.ioProc) {
        systemLog(QStringLiteral("[ravlet] IOProc create failed: %1").arg(status));
        mix.ioProc = nullptr;
        stopMix(mix);
        return false;
    }
    status = m_hardware.deviceStart(mix.aggregate, mix.ioProc);
    if (status != kAudioHardwareNoError) {
        systemLog(QStringLiteral("[ravlet] device start failed: %1").arg(status));
        stopMix(mix);
        return false;
    }
    return true;
}

void RavletEngine::stopMix(DeviceMix& mix)
{
    if (mix.aggregate != kAudioObjectUnknown) {
        // A stop that returns means the block has finished and will not run
        // again; so does an I/O procedure or a device that is gone.
        bool blockEnded = true;
        if (mix.ioProc) {
            const bool stopped = m_hardware.deviceStop(mix.aggregate, mix.ioProc) == kAudioHardwareNoError;
            const bool destroyed = m_hardware.destroyIOProcID(mix.aggregate, mix.ioProc) == kAudioHardwareNoError;
            blockEnded = stopped || destroyed;
            mix.ioProc = nullptr;
        }
        if (m_hardware.destroyAggregateDevice(mix.aggregate) != kAudioHardwareNoError && !blockEnded)
            m_blockMayRun = true;
        mix.aggregate = kAudioObjectUnknown;
    }
    if (m_supported) {
        for (const AudioObjectID tap : std::as_const(mix.taps)) {
            if (tap != kAudioObjectUnknown)
                m_hardware.destroyProcessTap(tap);
        }
    }
    mix.taps.clear();
    if (mix.state) {
        mix.state->activeCount.store(0, std::memory_order_relaxed);
        mix.state->meterOnlyCount.store(0, std::memory_order_relaxed);
        // With nothing left to mix the meters must fall back to silence
        // rather than hold the last peak of the old setup.
        mix.state->clearMeters();
    }
}

void RavletEngine::retire(std::vector<DeviceMix>& mixes)
{
    for (DeviceMix& mix : mixes)
        stopMix(mix);
    mixes.clear();
}

void RavletEngine::teardown()
{
    retire(m_mixes);
    retire(m_meterMixes);
    m_activeIDs.clear();
    m_meteredIDs.clear();
    m_setupPids.clear();
    m_meterPids.clear();
    m_setupDefault = kAudioObjectUnknown;
}

QList<AudioObjectID> RavletEngine::taps() const
{
    QList<AudioObjectID> all;
    for (const DeviceMix& mix : m_mixes)
        all.append(mix.taps);
    return all;
}

QString RavletEngine::tapFormat(AudioObjectID tap)
{
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof(format);
    if (m_hardware.getPropertyData(tap, hal::globalAddress(kAudioTapPropertyFormat), 0, nullptr, &size, &format)
        != kAudioHardwareNoError)
        return QStringLiteral("?");
    // A rate that is not a representable whole number is shown as 0.
    const double rate = std::isfinite(format.mSampleRate) && std::fabs(format.mSampleRate) < 9.0e18
        ? std::trunc(format.mSampleRate)
        : 0.0;
    return QStringLiteral("%1Hz ch%2 flags%3 bpf%4")
        .arg(qint64(rate))
        .arg(format.mChannelsPerFrame)
        .arg(format.mFormatFlags)
        .arg(format.mBytesPerFrame);
}

// A device's mix that could not start is tried again at the next look, every
// kAppTimerMs; for a while after the first failure sooner: an audio server
// that answered late (its session manager stopped a moment) has what the mix
// needs ready within milliseconds of answering, and the applications of that
// mix play unmixed until then.
void RavletEngine::retryFailedMixSoon()
{
    if (!m_failingSince.isValid())
        m_failingSince.start();
    if (m_quickRetryQueued || m_failingSince.hasExpired(kQuickRetriesForMs))
        return;
    m_quickRetryQueued = true;
    QTimer::singleShot(kQuickRetryMs, this, [this] {
        m_quickRetryQueued = false;
        refresh();
    });
}
